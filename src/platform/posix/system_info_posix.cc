// System message texts and thread ids on Linux, where the Windows message texts come from our own
// table of the codes the library reports.
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <string>

#include "platform/system_info.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

struct Message {
  uint32_t code;
  const char* text;
};

// The English Windows texts, without their trailing CR LF.
constexpr Message kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {21, "The device is not ready."},
    {32, "The process cannot access the file because it is being used by another process."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {145, "The directory is not empty."},
    {183, "Cannot create a file when that file already exists."},
    {267, "The directory name is invalid."},
    {358, "The cloud sync root metadata is corrupted."},
    {362, "The cloud file provider is not running."},
    {363, "The cloud file metadata is corrupt and unreadable."},
    {364, "The cloud file metadata is too large."},
    {376, "The file is not a cloud file."},
    {377, "The file is not in sync with the cloud."},
    {378, "The cloud sync root is already connected with another cloud sync provider."},
    {379, "The operation is not supported by the cloud sync provider."},
    {380, "The cloud operation is invalid."},
    {381, "The cloud operation is not supported on a read-only volume."},
    {382, "The operation is reserved for a connected cloud sync provider."},
    {383, "The cloud sync provider failed to validate the downloaded data."},
    {386, "The cloud sync provider failed user authentication."},
    {387, "The cloud sync provider failed to perform the operation due to low system resources."},
    {388, "The cloud sync provider failed to perform the operation due to network being unavailable."},
    {389, "The cloud operation was unsuccessful."},
    {390, "The operation is only supported on files under a cloud sync root."},
    {391, "The operation cannot be performed on cloud files in use."},
    {392, "The operation cannot be performed on pinned cloud files."},
    {393, "The cloud operation was aborted."},
    {394, "The cloud file's property store is corrupt."},
    {395, "Access to the cloud file is denied."},
    {396, "The cloud operation cannot be performed on a file with incompatible hardlinks."},
    {397, "The operation failed due to a conflicting cloud file property lock."},
    {398, "The cloud operation was canceled by user."},
    {404, "The cloud file provider exited unexpectedly."},
    {405, "The file is not a cloud sync root."},
    {426, "The cloud operation was not completed before the time-out period expired."},
    {434, "Dehydration of the cloud file is disallowed by the cloud sync provider."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {1022, "A notify change request is being completed and the information is not being returned in the "
           "caller's buffer. The caller now needs to enumerate the files to find the changes."},
    {1168, "Element not found."},
    {1359, "An internal error occurred."},
    {0x80070057, "The parameter is incorrect."},
    {0x80010106, "Cannot change thread mode after it is set."},
};

const char* Find(uint32_t code) {
  for (const Message& message : kMessages) {
    if (message.code == code) return message.text;
  }
  return nullptr;
}

// An HRESULT wrapping a Win32 error (severity 1, FACILITY_WIN32) reads as that error, as
// FormatMessage does on Windows.
constexpr uint32_t kWin32HresultMask = 0xFFFF0000;
constexpr uint32_t kWin32HresultBase = 0x80070000;

}  // namespace

std::string SystemMessage(uint32_t code) {
  const char* text = Find(code);
  if (text == nullptr && (code & kWin32HresultMask) == kWin32HresultBase) text = Find(code & 0xFFFF);
  if (text == nullptr) return {};
  try {
    return text;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

// The table holds only English texts, so the default language is English here.
std::u16string SystemMessageUtf16(uint32_t code) { return Utf8ToUtf16(SystemMessage(code)); }

bool SystemMessagesAreWindowsTexts() { return true; }

bool RunningUnderWine() { return false; }

namespace {

// A thread's id never changes, and the engine asks for it on every item it handles (its per-thread
// error slots are keyed by it), so each thread asks the kernel once. The one thread of a forked
// child is a copy of the forking thread, carrying that thread's id: the child asks again.
thread_local uint32_t cached_thread_id = 0;

void ForgetThreadIdInChild() { cached_thread_id = 0; }

[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);

}  // namespace

uint32_t CurrentThreadId() {
  if (cached_thread_id == 0) cached_thread_id = static_cast<uint32_t>(gettid());
  return cached_thread_id;
}

}  // namespace ostrasync::platform
