// The user a sync-root id names: the SID of the calling thread's effective token, as text.
#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr Win32Error kNoToken = 1008;       // ERROR_NO_TOKEN: the thread impersonates nobody
constexpr Win32Error kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY

class TokenHandle {
 public:
  TokenHandle() = default;
  ~TokenHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  TokenHandle(const TokenHandle&) = delete;
  TokenHandle& operator=(const TokenHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }

 private:
  HANDLE handle_ = nullptr;
};

// Text that ConvertSidToStringSidW allocated, freed with LocalFree.
class LocalText {
 public:
  LocalText() = default;
  ~LocalText() {
    if (text_ != nullptr) LocalFree(text_);
  }
  LocalText(const LocalText&) = delete;
  LocalText& operator=(const LocalText&) = delete;
  const wchar_t* get() const { return text_; }
  LPWSTR* out() { return &text_; }

 private:
  LPWSTR text_ = nullptr;
};

// GetLastError after a failed call, never 0: a failure must not read as success.
Win32Error LastError() {
  const DWORD error = GetLastError();
  return error != 0 ? error : win32::kInternalError;
}

// The token whose user counts for this call: the one the thread impersonates, if any, else the
// process's. The thread's token is opened with the process's own rights (OpenAsSelf), since the
// impersonated user may not be allowed to query its own token.
Win32Error OpenEffectiveToken(TokenHandle* token) {
  if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token->out())) return 0;
  const Win32Error error = LastError();
  if (error != kNoToken) return error;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token->out())) return 0;
  return LastError();
}

Win32Error UserSid(std::u16string* sid) {
  TokenHandle token;
  Win32Error error = OpenEffectiveToken(&token);
  if (error != 0) return error;
  // The first call only sizes the buffer; it must fail with ERROR_INSUFFICIENT_BUFFER.
  DWORD size = 0;
  if (GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size)) return win32::kInternalError;
  error = LastError();
  if (error != win32::kInsufficientBuffer) return error;
  // 8-byte units keep the TOKEN_USER (pointer first) aligned.
  std::vector<uint64_t> buffer((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(uint64_t)),
                           &size)) {
    return LastError();
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  LocalText text;
  if (!ConvertSidToStringSidW(user->User.Sid, text.out())) return LastError();
  *sid = reinterpret_cast<const char16_t*>(text.get());
  return 0;
}

class WindowsUserIdentity final : public UserIdentity {
 public:
  Win32Error CurrentUserSid(std::u16string* sid) override {
    if (sid == nullptr) return win32::kInvalidParameter;
    sid->clear();
    try {
      std::u16string text;
      const Win32Error error = UserSid(&text);
      if (error == 0) *sid = std::move(text);
      return error;
    } catch (const std::bad_alloc&) {
      return kNotEnoughMemory;
    }
  }
};

}  // namespace

std::unique_ptr<UserIdentity> NewWindowsUserIdentity() { return std::make_unique<WindowsUserIdentity>(); }

}  // namespace ostrasync::platform
