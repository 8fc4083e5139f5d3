// The payloads a task owns for its type: the buffer of a data transfer and the buffer of a folder
// listing. Their subsystems give them their content.
#ifndef OSTRASYNC_ENGINE_TASK_PAYLOADS_H_
#define OSTRASYNC_ENGINE_TASK_PAYLOADS_H_

namespace ostrasync::engine {

// Data the host supplied for a fetch and not yet sent to the OS.
struct TransferBuffer {};

// Items the host listed for a folder and not yet put on disk.
struct EnumerationBuffer {};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_TASK_PAYLOADS_H_
