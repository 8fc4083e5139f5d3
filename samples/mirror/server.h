/* server: the mirror's remote side, a plain folder whose tree the host serves into the sync root.
 *
 * It answers the library's two questions about remote content: ListDirectory (the entries of a
 * folder, reported with ListFile and ListFolder under the event's TaskId) and GetFileData (a
 * range of a file, supplied in order with PutFileData and closed with FinalizeTask). By default
 * it answers inside the event handler. With `answer_later` the handler only queues the request
 * and returns 0x21000001; the server's worker thread answers afterwards and finishes the task
 * with FinalizeTask, as a host whose data comes over a network would. */
#ifndef MIRROR_SERVER_H_
#define MIRROR_SERVER_H_

#include <stdint.h>

typedef struct ServerOptions {
  const char* folder;       /* absolute path of the folder served */
  int answer_later;         /* answer from the worker thread instead of inside the handler */
  int64_t bytes_per_second; /* pretend to be a slow network; 0 sends as fast as the disk reads */
} ServerOptions;

/* Starts serving for `component`; 0, or -1 when the worker thread cannot start. */
int ServerStart(void* component, const ServerOptions* options);
/* Ends the worker thread after the request it is answering. Call it after Deactivate, which has
 * cancelled every open task: requests still queued then are simply dropped. */
void ServerStop(void);

/* CancelTask: the work for the task stops before its next part. */
void ServerCancelTask(int64_t task_id);

/* The event handlers' work; each returns the ResultCode for the event. */
int ServerListDirectory(int64_t task_id, const char* path);
int ServerGetFileData(int64_t task_id, const char* path, int64_t offset, int64_t length);

#endif /* MIRROR_SERVER_H_ */
