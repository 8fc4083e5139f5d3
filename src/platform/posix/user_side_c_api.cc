// The C functions of ostrasync_emulation.h: UTF-8 Linux paths in, the user side's Windows codes
// out. Nothing here may throw past the boundary.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "ostrasync_emulation.h"
#include "platform/posix/emulation_hub.h"
#include "platform/posix/file_system_posix.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/user_side.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

constexpr int32_t kInvalidArg = static_cast<int32_t>(kEInvalidArg);

UserSide& TheUserSide() {
  static UserSide* user = NewUserSide().release();  // used until the process ends
  return *user;
}

FileSystem& TheFileSystem() {
  static FileSystem* file_system = NewPosixFileSystem().release();
  return *file_system;
}

// The Win32 path the user side takes for an absolute Linux path; false for a missing or relative
// one, which no Windows call would accept either.
bool ToUserPath(const char* path, std::u16string* out) {
  if (path == nullptr || path[0] != '/') return false;
  *out = ToWin32Path(path);
  return true;
}

template <typename Call>
int32_t WithPath(const char* path, Call call) try {
  std::u16string win32;
  if (!ToUserPath(path, &win32)) return kInvalidArg;
  return static_cast<int32_t>(call(win32));
} catch (...) {
  return static_cast<int32_t>(kEFail);
}

int32_t Stat(const char* path, ostrasync_user_state* state) {
  std::u16string win32;
  if (state == nullptr || !ToUserPath(path, &win32)) return kInvalidArg;
  *state = ostrasync_user_state{};
  std::vector<FindData> found;
  if (Win32Error e = TheFileSystem().Find(win32, &found)) return static_cast<int32_t>(HResultFromWin32(e));
  if (found.empty()) return static_cast<int32_t>(HResultFromWin32(win32::kFileNotFound));
  state->attributes = found.front().attributes;
  state->size = found.front().file_size;
  state->pin_state = (state->attributes & attr::kPinned) ? OSTRASYNC_USER_PINNED
                     : (state->attributes & attr::kUnpinned) ? OSTRASYNC_USER_UNPINNED
                                                             : OSTRASYNC_USER_PIN_UNSPECIFIED;
  const bool folder = (state->attributes & attr::kDirectory) != 0;
  const std::string posix(path);  // the target refers to it
  const auto target = xattrs::Target::Path(posix);
  xattrs::PlaceholderRecord record;
  if (xattrs::ReadPlaceholder(target, &record) != 0) {
    state->on_disk_bytes = folder ? 0 : state->size;
    return 0;
  }
  state->is_placeholder = 1;
  state->in_sync = (record.flags & xattrs::kPlaceholderInSync) ? 1 : 0;
  if (folder) return 0;
  std::vector<FileRange> ranges;
  if (int rc = xattrs::ReadRanges(target, &ranges); rc != 0) {
    return static_cast<int32_t>(HResultFromWin32(Win32ErrorFromErrno(rc)));
  }
  xattrs::ClipRanges(&ranges, record.logical_size);
  state->range_count = static_cast<uint32_t>(ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    state->on_disk_bytes += ranges[i].length;
    if (i < std::size(state->ranges)) state->ranges[i] = {ranges[i].offset, ranges[i].length};
  }
  return 0;
}

}  // namespace
}  // namespace ostrasync::platform

using ostrasync::platform::FindData;
using ostrasync::platform::TheUserSide;
using ostrasync::platform::WithPath;

extern "C" {

int32_t ostrasync_user_list(const char* folder, ostrasync_user_entry_fn each, void* context) {
  if (each == nullptr) return ostrasync::platform::kInvalidArg;
  std::vector<FindData> entries;
  const int32_t rc = WithPath(folder, [&](const std::u16string& path) { return TheUserSide().List(path, &entries); });
  if (rc != 0) return rc;
  try {
    for (const FindData& found : entries) {
      const std::string name = ostrasync::platform::Utf16ToUtf8(found.name);
      const ostrasync_user_entry entry{name.c_str(), found.attributes, found.file_size,
                                       static_cast<int64_t>(found.last_write_time)};
      if (each(context, &entry) != 0) break;
    }
  } catch (...) {
    return static_cast<int32_t>(ostrasync::platform::kEFail);
  }
  return 0;
}

int32_t ostrasync_user_read(const char* path, int64_t offset, void* buffer, uint32_t size, uint32_t* bytes_read) {
  if (bytes_read == nullptr || (buffer == nullptr && size > 0)) return ostrasync::platform::kInvalidArg;
  *bytes_read = 0;
  return WithPath(path, [&](const std::u16string& win32) {
    return TheUserSide().Read(win32, offset, std::span<uint8_t>(static_cast<uint8_t*>(buffer), size), bytes_read);
  });
}

int32_t ostrasync_user_write(const char* path, int64_t offset, const void* data, uint32_t size) {
  if (data == nullptr && size > 0) return ostrasync::platform::kInvalidArg;
  return WithPath(path, [&](const std::u16string& win32) {
    return TheUserSide().Write(win32, offset, std::span<const uint8_t>(static_cast<const uint8_t*>(data), size));
  });
}

int32_t ostrasync_user_delete(const char* path) {
  return WithPath(path, [](const std::u16string& win32) { return TheUserSide().Delete(win32); });
}

int32_t ostrasync_user_rename(const char* from, const char* to) {
  std::u16string target;
  if (!ostrasync::platform::ToUserPath(to, &target)) return ostrasync::platform::kInvalidArg;
  return WithPath(from, [&](const std::u16string& source) { return TheUserSide().Rename(source, target); });
}

int32_t ostrasync_user_set_pin(const char* path, uint32_t pin_state) {
  if (pin_state > OSTRASYNC_USER_UNPINNED) return ostrasync::platform::kInvalidArg;
  return WithPath(path, [&](const std::u16string& win32) { return TheUserSide().SetPin(win32, pin_state); });
}

int32_t ostrasync_user_dehydrate(const char* path) {
  return WithPath(path, [](const std::u16string& win32) { return TheUserSide().Dehydrate(win32); });
}

int32_t ostrasync_user_cancel_io(pthread_t thread) {
  try {
    return static_cast<int32_t>(ostrasync::platform::emulation::CancelSynchronousIo(thread));
  } catch (...) {
    return static_cast<int32_t>(ostrasync::platform::kEFail);
  }
}

int32_t ostrasync_user_stat(const char* path, ostrasync_user_state* state) {
  try {
    return ostrasync::platform::Stat(path, state);
  } catch (...) {
    return static_cast<int32_t>(ostrasync::platform::kEFail);
  }
}

uint32_t ostrasync_user_message(int32_t code, char* text, uint32_t size) {
  try {
    const std::string message = ostrasync::platform::SystemMessage(static_cast<uint32_t>(code));
    if (text != nullptr && size > 0) {
      const size_t n = std::min<size_t>(message.size(), size - 1);
      std::memcpy(text, message.data(), n);
      text[n] = '\0';
    }
    return static_cast<uint32_t>(message.size());
  } catch (...) {
    if (text != nullptr && size > 0) text[0] = '\0';
    return 0;
  }
}

}  // extern "C"
