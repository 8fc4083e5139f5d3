// The provider's answers to the emulated facility's requests (CfExecute and
// CfReportProviderProgress): data transfers, their validation, restarts, placeholder transfers
// and acknowledgements, each checked as Windows checks it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/emulation_connection.h"
#include "platform/posix/emulation_hub.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_creation.h"
#include "platform/posix/placeholder_data.h"
#include "platform/posix/placeholder_xattrs.h"

namespace ostrasync::platform::emulation {
namespace {

constexpr int64_t kPage = 4096;
constexpr uint32_t kRestartMarkInSync = 0x1;   // CF_OPERATION_RESTART_HYDRATION_FLAG_MARK_IN_SYNC
constexpr uint32_t kExplicitHydration = 0x2;   // CF_CALLBACK_*_FLAG_EXPLICIT_HYDRATION

HResult FromErrno(int error) { return HResultFromWin32(Win32ErrorFromErrno(error)); }
HResult InvalidRequest() { return HResultFromWin32(win32::kCloudFileInvalidRequest); }

// The callback each operation answers; kCallbackNone for one that answers none.
cf::CallbackType Answers(uint32_t operation) {
  switch (operation) {
    case cf::kTransferData:
    case cf::kRetrieveData:
    case cf::kAckData:
    case cf::kRestartHydration: return cf::kFetchData;
    case cf::kTransferPlaceholders: return cf::kFetchPlaceholders;
    case cf::kAckDehydrate: return cf::kNotifyDehydrate;
    case cf::kAckDelete: return cf::kNotifyDelete;
    case cf::kAckRename: return cf::kNotifyRename;
    default: return cf::kCallbackNone;
  }
}

// Whether an operation carries a completion status (RETRIEVE_DATA and RESTART_HYDRATION do not).
bool HasCompletionStatus(uint32_t operation) {
  return operation != cf::kRetrieveData && operation != cf::kRestartHydration;
}

// A range a provider names for data: 4 KiB aligned, a whole number of pages unless it reaches the
// end of the file, and inside the file.
bool ValidDataRange(int64_t offset, int64_t length, int64_t logical_size) {
  return offset >= 0 && length > 0 && offset < logical_size && offset % kPage == 0 &&
         (length % kPage == 0 || offset + length >= logical_size);
}

// Writes one TRANSFER_DATA chunk. Without validation the byte-range record claims it after the
// write, so that a crash in between leaves bytes unclaimed (fetched again later), never a claim
// without bytes. Where validation is required the claim waits for ACK_DATA, and a claim the chunk
// overwrites is withdrawn first: new bytes are not valid until the provider says so. No fsync:
// like data Windows writes into a placeholder, it reaches the disk with the page cache. `claimed`
// receives the file's claimed ranges afterwards.
HResult WriteData(Request& request, const OperationArgs& args, bool validation, std::vector<FileRange>* claimed,
                  FileRange* written) {
  const int fd = request.fd.get();
  FileStateGuard file_lock(request.device, request.inode);
  const auto target = xattrs::Target::Fd(fd);
  xattrs::PlaceholderRecord record;
  if (xattrs::ReadPlaceholder(target, &record) != 0) return HResultFromWin32(win32::kNotACloudFile);
  if (!ValidDataRange(args.offset, args.length, record.logical_size)) return InvalidRequest();
  if (args.buffer == nullptr) return kEInvalidArg;
  const int64_t length = std::min(args.length, record.logical_size - args.offset);
  if (int rc = xattrs::ReadRanges(target, claimed); rc != 0) return FromErrno(rc);
  if (validation) {
    std::vector<FileRange> kept = *claimed;
    xattrs::RemoveRange(&kept, args.offset, length);
    if (xattrs::BytesIn(kept) != xattrs::BytesIn(*claimed)) {
      if (int rc = xattrs::WriteRanges(target, kept); rc != 0) return FromErrno(rc);
      *claimed = std::move(kept);
    }
  }
  KeptTimes times;
  if (int rc = times.Take(fd); rc != 0) return FromErrno(rc);
  const auto* bytes = static_cast<const uint8_t*>(args.buffer);
  for (int64_t done = 0; done < length;) {
    const ssize_t n = pwrite(fd, bytes + done, static_cast<size_t>(length - done), args.offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    done += n;
  }
  // Where this process may not set the file's times (it does not own the file), the bytes still
  // count: a transfer refused for that would leave the file unreadable, a worse fault than a
  // moved time.
  (void)times.Restore();
  *written = {args.offset, length};
  if (!validation) {
    xattrs::AddRange(claimed, args.offset, length);
    if (int rc = xattrs::WriteRanges(target, *claimed); rc != 0) return FromErrno(rc);
  }
  return kSOk;
}

// Tells the provider that the bytes of these fetches are all here and want its validation.
void AskForValidation(Connection& connection, const std::vector<std::shared_ptr<Request>>& requests) {
  for (const auto& request : requests) {
    CallbackArgs args;
    args.flags = request->fetch_flags & kExplicitHydration;
    args.required_file_offset = request->offset;
    args.required_length = request->length;
    // Without a VALIDATE_DATA callback the provider may still answer with ACK_DATA on its own.
    (void)connection.Raise(cf::kValidateData, request->posix_path, request->fd.get(), args, request->transfer_key,
                           request->request_key);
  }
}

HResult TransferData(Connection& connection, const std::shared_ptr<Request>& request, const OperationArgs& args) {
  const bool validation = connection.ValidationRequired();
  std::vector<FileRange> claimed;
  FileRange written;
  if (HResult hr = WriteData(*request, args, validation, &claimed, &written); hr != kSOk) return hr;
  (void)connection.Progress(request);
  AskForValidation(connection,
                   connection.AfterTransfer(request->device, request->inode, claimed, validation ? &written : nullptr));
  return kSOk;
}

// The claimed ranges and logical size of the request's file.
HResult ReadFileState(const Request& request, std::vector<FileRange>* claimed, int64_t* logical_size) {
  const auto target = xattrs::Target::Fd(request.fd.get());
  xattrs::PlaceholderRecord record;
  if (xattrs::ReadPlaceholder(target, &record) != 0) return HResultFromWin32(win32::kNotACloudFile);
  if (int rc = xattrs::ReadRanges(target, claimed); rc != 0) return FromErrno(rc);
  *logical_size = record.logical_size;
  return kSOk;
}

// RETRIEVE_DATA: the provider reads back bytes it sent, to check them. Only bytes that are here
// can be read: anything else would hand the provider zeros it never sent.
HResult RetrieveData(Connection& connection, const std::shared_ptr<Request>& request, OperationArgs* args) {
  if (!connection.ValidationRequired()) return InvalidRequest();
  if (args->buffer == nullptr || args->offset < 0 || args->length <= 0) return kEInvalidArg;
  std::vector<FileRange> claimed;
  int64_t size = 0;
  if (HResult hr = ReadFileState(*request, &claimed, &size); hr != kSOk) return hr;
  if (args->offset >= size) return InvalidRequest();
  const int64_t length = std::min(args->length, size - args->offset);
  if (!connection.Present(request->device, request->inode, claimed, args->offset, length)) return InvalidRequest();
  // The seam's buffer is the caller's to fill, as CfExecute fills RetrieveData.Buffer.
  auto* out = static_cast<uint8_t*>(const_cast<void*>(args->buffer));
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = pread(request->fd.get(), out + done, static_cast<size_t>(length - done), args->offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    done += n;
  }
  args->length = done;
  (void)connection.Progress(request);
  return kSOk;
}

// ACK_DATA with success: the range is valid, made durable and claimed; fetches now covered are
// done.
HResult AckData(Connection& connection, const std::shared_ptr<Request>& request, const OperationArgs& args) {
  if (!connection.ValidationRequired()) return InvalidRequest();
  std::vector<FileRange> claimed;
  {
    FileStateGuard file_lock(request->device, request->inode);
    int64_t size = 0;
    if (HResult hr = ReadFileState(*request, &claimed, &size); hr != kSOk) return hr;
    if (!ValidDataRange(args.offset, args.length, size)) return InvalidRequest();
    const int64_t length = std::min(args.length, size - args.offset);
    if (!connection.Present(request->device, request->inode, claimed, args.offset, length)) return InvalidRequest();
    // Validated data is on the disk before any reader is given it.
    if (fdatasync(request->fd.get()) != 0) return FromErrno(errno);
    xattrs::AddRange(&claimed, args.offset, length);
    if (int rc = xattrs::WriteRanges(xattrs::Target::Fd(request->fd.get()), claimed); rc != 0) return FromErrno(rc);
    connection.Settled(request->device, request->inode, args.offset, length);
  }
  (void)connection.Progress(request);
  AskForValidation(connection, connection.AfterTransfer(request->device, request->inode, claimed, nullptr));
  return kSOk;
}

// RESTART_HYDRATION: the provider's data for the file changed under way. Everything the file had
// on disk goes (mixing old and new bytes would corrupt it), the identity is replaced when one is
// given, and the fetches of the file wait for the new data.
HResult RestartHydration(Connection& connection, const std::shared_ptr<Request>& request, const OperationArgs& args) {
  if (args.file_identity.size() > cf::kMaxFileIdentityLength) return kEInvalidArg;
  {
    FileStateGuard file_lock(request->device, request->inode);
    const auto target = xattrs::Target::Fd(request->fd.get());
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(target, &record) != 0) return HResultFromWin32(win32::kNotACloudFile);
    if (HResult hr = DehydrateRange(request->fd.get(), record.logical_size, 0, record.logical_size); hr != kSOk) {
      return hr;
    }
    if (!args.file_identity.empty()) record.identity.assign(args.file_identity.begin(), args.file_identity.end());
    if (args.flags & kRestartMarkInSync) record.flags |= xattrs::kPlaceholderInSync;
    ++record.usn;
    if (int rc = xattrs::WritePlaceholder(target, record); rc != 0) return xattrs::IdentityWriteResult(target, rc);
  }
  connection.Restarted(request->device, request->inode);
  return kSOk;
}

HResult TransferPlaceholders(Connection& connection, const std::shared_ptr<Request>& request, OperationArgs* args) {
  HResult first_failure = kSOk;
  uint32_t processed = 0;
  for (PlaceholderCreateEntry& entry : args->placeholders) {
    ++processed;
    const HResult hr = CreatePlaceholderEntry(request->fd.get(), entry);
    if (hr != kSOk && first_failure == kSOk) first_failure = hr;
    if (hr != kSOk && (args->flags & cf::kTransferPlaceholdersStopOnError)) break;
  }
  args->entries_processed = processed;
  const bool populated = args->flags & cf::kTransferPlaceholdersDisableOnDemandPopulation;
  if (populated) {
    FileStateGuard file_lock(request->device, request->inode);
    const auto target = xattrs::Target::Fd(request->fd.get());
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(target, &record) == 0) {
      record.flags |= xattrs::kPlaceholderPopulated;
      ++record.usn;
      (void)xattrs::WritePlaceholder(target, record);
    }
  }
  connection.CountPlaceholders(request, static_cast<int64_t>(args->placeholders.size()),
                               args->placeholder_total_count, populated);
  return first_failure;
}

HResult AckDehydrate(Connection& connection, const std::shared_ptr<Request>& request, const OperationArgs& args) {
  if (!args.file_identity.empty()) {
    if (args.file_identity.size() > cf::kMaxFileIdentityLength) return kEInvalidArg;
    FileStateGuard file_lock(request->device, request->inode);
    const auto target = xattrs::Target::Fd(request->fd.get());
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(target, &record) == 0) {
      record.identity.assign(args.file_identity.begin(), args.file_identity.end());
      ++record.usn;
      if (int rc = xattrs::WritePlaceholder(target, record); rc != 0) return xattrs::IdentityWriteResult(target, rc);
    }
  }
  connection.Finish(request, kSOk);
  return kSOk;
}

}  // namespace

HResult HResultFromCompletionStatus(NtStatus status) {
  if (status == 0) return kSOk;
  static const struct {
    uint32_t status;
    Win32Error error;
  } kMap[] = {{0xC000CF00, 358}, {0xC000CF01, 362}, {0xC000CF02, 363}, {0xC000CF03, 364}, {0xC000CF07, 376},
              {0xC000CF08, 377}, {0xC000CF09, 378}, {0xC000CF0A, 379}, {0xC000CF0B, 380}, {0xC000CF0C, 381},
              {0xC000CF0D, 382}, {0xC000CF0E, 383}, {0xC000CF0F, 386}, {0xC000CF10, 387}, {0xC000CF11, 388},
              {0xC000CF12, 389}, {0xC000CF13, 390}, {0xC000CF14, 391}, {0xC000CF15, 392}, {0xC000CF16, 393},
              {0xC000CF17, 394}, {0xC000CF18, 395}, {0xC000CF19, 396}, {0xC000CF1A, 397}, {0xC000CF1B, 398},
              {0xC000CF1D, 404}, {0xC000CF1E, 405}, {0xC000CF1F, 426}, {0xC000CF20, 434}};
  for (const auto& m : kMap) {
    if (m.status == static_cast<uint32_t>(status)) return HResultFromWin32(m.error);
  }
  return HResultFromWin32(389);  // any other failure is "unsuccessful"
}

HResult Execute(const OperationInfo& info, OperationArgs* args) {
  if ((info.struct_size != 32 && info.struct_size != 48) || args == nullptr) return kEInvalidArg;
  std::shared_ptr<Connection> connection = ConnectionByKey(info.connection_key);
  if (connection == nullptr) return InvalidRequest();
  const cf::CallbackType answered = Answers(info.type);
  if (answered == cf::kCallbackNone) return InvalidRequest();
  std::shared_ptr<Request> request = connection->Find(info.transfer_key);
  if (request == nullptr || request->type != answered) return InvalidRequest();
  if (HasCompletionStatus(info.type) && args->completion_status != 0) {
    // A refusal ends the request at once for its requester: nobody waits for the time-out. Its
    // other fields (a data answer's buffer and range) carry nothing.
    if (info.type == cf::kAckData) {
      // Bytes the provider found wrong are never served: they are fetched again.
      const bool ranged = args->offset >= 0 && args->length > 0;
      connection->Settled(request->device, request->inode, ranged ? args->offset : request->offset,
                          ranged ? args->length : request->length);
    }
    connection->Finish(request, HResultFromCompletionStatus(args->completion_status));
    return kSOk;
  }
  switch (info.type) {
    case cf::kTransferData: return TransferData(*connection, request, *args);
    case cf::kRetrieveData: return RetrieveData(*connection, request, args);
    case cf::kAckData: return AckData(*connection, request, *args);
    case cf::kRestartHydration: return RestartHydration(*connection, request, *args);
    case cf::kTransferPlaceholders: return TransferPlaceholders(*connection, request, args);
    case cf::kAckDehydrate: return AckDehydrate(*connection, request, *args);
    default:  // ACK_DELETE, ACK_RENAME
      connection->Finish(request, kSOk);
      return kSOk;
  }
}

HResult ReportProgress(int64_t connection_key, int64_t transfer_key) {
  std::shared_ptr<Connection> connection = ConnectionByKey(connection_key);
  if (connection == nullptr) return InvalidRequest();
  std::shared_ptr<Request> request = connection->Find(transfer_key);
  if (request == nullptr || !connection->Progress(request)) return InvalidRequest();
  return kSOk;
}

}  // namespace ostrasync::platform::emulation
