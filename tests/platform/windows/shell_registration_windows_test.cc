// Tests of the shell's records of a sync root against the real system (Wine in CI): registry keys
// under HKEY_CURRENT_USER, the user's SID, and the storage-provider and Windows Search calls, which
// run where the system offers them and skip, saying why, where it does not (Wine has neither).

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/system_info.h"
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr uint32_t kRegDword = 4;

std::u16string Number(unsigned long value) {
  const std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

std::string Hex(HResult hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  return text;
}

// A key of its own under HKEY_CURRENT_USER\Software for each test, removed afterwards with the
// system's own call rather than the code under test.
class TestKey {
 public:
  TestKey()
      : path_(u"Software\\ostrasync-tests\\" + Number(GetCurrentProcessId()) + u"-" + Number(counter_++)) {}
  ~TestKey() { RegDeleteTreeW(HKEY_CURRENT_USER, Wide(path_)); }
  const std::u16string& path() const { return path_; }

 private:
  static inline unsigned counter_ = 0;
  std::u16string path_;
};

// ---- Registry ----

TEST(WindowsRegistry, WritesReadsAndDeletesAWholeTree) {
  TestKey key;
  const auto registry = NewWindowsRegistry();
  const std::u16string child = key.path() + u"\\Child\\Grandchild";
  ASSERT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path(), u"DisplayName", u"Ostra Drive"), 0u);
  ASSERT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, child, u"", u"default value"), 0u);

  uint32_t type = 0;
  std::u16string value;
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"DisplayName", &type, &value), 0u);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(value, u"Ostra Drive");
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, child, u"", &type, &value), 0u);
  EXPECT_EQ(value, u"default value");

  // Overwriting with a shorter text leaves no trace of the longer one.
  ASSERT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path(), u"DisplayName", u"O"), 0u);
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"DisplayName", &type, &value), 0u);
  EXPECT_EQ(value, u"O");

  // The key itself goes, not only what is below it.
  ASSERT_EQ(registry->DeleteTree(RegistryRoot::kCurrentUser, key.path()), 0u);
  HKEY opened = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Wide(key.path()), 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry->DeleteTree(RegistryRoot::kCurrentUser, key.path()), win32::kFileNotFound);
  EXPECT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, child, u"", &type, &value), win32::kFileNotFound);
}

TEST(WindowsRegistry, MissingKeysAndValuesAreNotFoundAndClearTheOutputs) {
  TestKey key;
  const auto registry = NewWindowsRegistry();
  uint32_t type = 99;
  std::u16string value = u"stale";
  EXPECT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"Name", &type, &value), win32::kFileNotFound);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(value, u"");

  ASSERT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path(), u"Present", u"x"), 0u);
  value = u"stale";
  EXPECT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"Absent", &type, &value),
            win32::kFileNotFound);
  EXPECT_EQ(value, u"");
}

// Verify that string data written by others is read as stored: without a terminator, with an odd
// byte count, and with text after an embedded NUL, which ends a REG_SZ for every reader.
TEST(WindowsRegistry, ReadsStringDataWithoutTrustingTheTerminator) {
  TestKey key;
  const auto registry = NewWindowsRegistry();
  ASSERT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path(), u"seed", u""), 0u);
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Wide(key.path()), 0, KEY_SET_VALUE, &opened), ERROR_SUCCESS);
  const wchar_t unterminated[] = {L'a', L'b', L'c'};
  const wchar_t inner_nul[] = {L'a', L'\0', L'z', L'\0'};
  const DWORD number = 7;
  EXPECT_EQ(RegSetValueExW(opened, L"Unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated),
                           sizeof unterminated),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(opened, L"Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated),
                           sizeof unterminated - 1),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(opened, L"InnerNul", 0, REG_SZ, reinterpret_cast<const BYTE*>(inner_nul), sizeof inner_nul),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(opened, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number),
            ERROR_SUCCESS);
  RegCloseKey(opened);

  uint32_t type = 0;
  std::u16string value;
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"Unterminated", &type, &value), 0u);
  EXPECT_EQ(value, u"abc");
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"Odd", &type, &value), 0u);
  EXPECT_EQ(value, u"ab");
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"InnerNul", &type, &value), 0u);
  EXPECT_EQ(value, u"a");
  ASSERT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"Number", &type, &value), 0u);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(value, u"");
}

TEST(WindowsRegistry, RefusesNamesAndValuesThatWouldBeCutShort) {
  TestKey key;
  const auto registry = NewWindowsRegistry();
  const std::u16string with_nul(u"a\0b", 3);
  EXPECT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path(), u"Name", with_nul), win32::kInvalidParameter);
  EXPECT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path() + with_nul, u"Name", u"v"),
            win32::kInvalidParameter);
  EXPECT_EQ(registry->DeleteTree(RegistryRoot::kCurrentUser, key.path() + with_nul), win32::kInvalidParameter);
  HKEY opened = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, Wide(key.path()), 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
}

// Verify that DeleteTree never takes an empty key name as the whole hive. Run only under Wine,
// whose registry belongs to the test run: should the guard ever go, this would empty the
// HKEY_CURRENT_USER of whoever runs it.
TEST(WindowsRegistry, RefusesToDeleteTheWholeHive) {
  if (!RunningUnderWine()) GTEST_SKIP() << "only run under Wine, where losing HKEY_CURRENT_USER costs nothing";
  TestKey key;
  const auto registry = NewWindowsRegistry();
  ASSERT_EQ(registry->WriteString(RegistryRoot::kCurrentUser, key.path(), u"Name", u"v"), 0u);
  EXPECT_EQ(registry->DeleteTree(RegistryRoot::kCurrentUser, u""), win32::kInvalidParameter);
  EXPECT_EQ(registry->DeleteTree(RegistryRoot::kCurrentUser, u"\\"), win32::kInvalidParameter);
  uint32_t type = 0;
  std::u16string value;
  EXPECT_EQ(registry->ReadValue(RegistryRoot::kCurrentUser, key.path(), u"Name", &type, &value), 0u);
}

// ---- User identity ----

// Verify the SID's form, and that a thread impersonating (here: itself) is answered from its own
// token, the same user, rather than failing for lack of a process token lookup.
TEST(WindowsUserIdentity, GivesTheUserSidFromTheProcessOrTheImpersonationToken) {
  const auto identity = NewWindowsUserIdentity();
  std::u16string sid;
  ASSERT_EQ(identity->CurrentUserSid(&sid), 0u);
  EXPECT_EQ(sid.rfind(u"S-1-5-", 0), 0u) << std::string(sid.begin(), sid.end());
  EXPECT_GT(sid.size(), 6u);

  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation)) << GetLastError();
  HANDLE thread_token = nullptr;
  const bool has_thread_token = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token);
  if (thread_token != nullptr) CloseHandle(thread_token);
  std::u16string impersonated;
  const Win32Error error = identity->CurrentUserSid(&impersonated);
  RevertToSelf();
  EXPECT_TRUE(has_thread_token);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(impersonated, sid);
}

// ---- Storage provider and Windows Search ----

// The answers of a system without the facility: the class is not registered or not implemented,
// COM cannot reach it, or the runtime's own DLL or entry points are missing.
bool Unavailable(HResult hr) {
  const auto code = static_cast<uint32_t>(hr);
  return code == 0x80040154u                    // REGDB_E_CLASSNOTREG
         || code == 0x80004001u                 // E_NOTIMPL
         || code == 0x80004002u                 // E_NOINTERFACE: a stand-in class without the interface
         || (code & 0xFFFFFFF0u) == 0x800401F0u  // CO_E_NOTINITIALIZED … CO_E_APPDIDNTREG
         || code == 0x80080005u                 // CO_E_SERVER_EXEC_FAILURE
         || code == 0x8007007Eu                 // ERROR_MOD_NOT_FOUND
         || code == 0x8007007Fu;                // ERROR_PROC_NOT_FOUND
}

class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    path_.assign(reinterpret_cast<const char16_t*>(base), length);
    if (!path_.empty() && path_.back() == u'\\') path_.pop_back();
    path_ += u"\\ostrasync-root-" + Number(GetCurrentProcessId()) + u"-" + Number(GetTickCount());
    CreateDirectoryW(Wide(path_), nullptr);
  }
  ~TempFolder() { RemoveDirectoryW(Wide(path_)); }
  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
};

TEST(WindowsShellRegistration, RefusesAnEmptyIdOrPathBeforeAskingTheSystem) {
  const auto shell = NewWindowsShellRegistration();
  ShellSyncRoot root;
  root.path = u"C:\\";
  EXPECT_EQ(shell->RegisterSyncRoot(root), kEInvalidArg);
  root.id = u"ostrasync!test";
  root.path.clear();
  EXPECT_EQ(shell->RegisterSyncRoot(root), kEInvalidArg);
  EXPECT_EQ(shell->UnregisterSyncRoot(u""), kEInvalidArg);
  ShellSyncRoot read;
  read.id = u"stale";
  EXPECT_EQ(shell->GetSyncRoot(std::u16string(u"a\0b", 3), &read), kEInvalidArg);
  EXPECT_EQ(read.id, u"");
}

// Verify the whole round trip where the system has the storage-provider manager: every field
// registered is read back, and after Unregister the id is unknown. Registration is per user, so
// the id carries this process's number to stay clear of any other run.
TEST(WindowsShellRegistration, RegistersReadsBackAndUnregistersASyncRoot) {
  TempFolder folder;
  std::u16string sid;
  ASSERT_EQ(NewWindowsUserIdentity()->CurrentUserSid(&sid), 0u);
  const auto shell = NewWindowsShellRegistration();

  ShellSyncRoot root;
  root.id = u"OstrasyncTest!" + sid + u"!" + Number(GetCurrentProcessId());
  root.path = folder.path();
  root.display_name = u"Ostrasync test";
  root.icon = u"C:\\Windows\\System32\\imageres.dll,-1043";
  root.hydration_policy = 1;           // Progressive
  root.hydration_policy_modifier = 0x3;  // ValidationRequired | StreamingAllowed
  root.population_policy = 1;          // Full
  root.in_sync_policy = 0x1;
  root.hardlink_policy = 0;
  root.show_siblings_as_group = false;
  root.version = u"1.2.3";
  root.allow_pinning = true;
  root.recycle_bin_uri = u"https://example.com/recycle";

  const HResult registered = shell->RegisterSyncRoot(root);
  if (Unavailable(registered)) {
    GTEST_SKIP() << "no storage-provider sync-root manager on this system (RegisterSyncRoot answered "
                 << Hex(registered) << ")";
  }
  ASSERT_EQ(registered, kSOk) << Hex(registered);

  ShellSyncRoot read;
  const HResult got = shell->GetSyncRoot(root.id, &read);
  const HResult unregistered = shell->UnregisterSyncRoot(root.id);
  ASSERT_EQ(got, kSOk) << Hex(got);
  EXPECT_EQ(read.id, root.id);
  EXPECT_EQ(read.path, root.path);
  EXPECT_EQ(read.display_name, root.display_name);
  EXPECT_EQ(read.icon, root.icon);
  EXPECT_EQ(read.version, root.version);
  EXPECT_EQ(read.hydration_policy, root.hydration_policy);
  EXPECT_EQ(read.hydration_policy_modifier, root.hydration_policy_modifier);
  EXPECT_EQ(read.population_policy, root.population_policy);
  EXPECT_EQ(read.in_sync_policy, root.in_sync_policy);
  EXPECT_EQ(read.allow_pinning, root.allow_pinning);
  EXPECT_EQ(read.recycle_bin_uri, root.recycle_bin_uri);
  EXPECT_EQ(unregistered, kSOk) << Hex(unregistered);

  EXPECT_EQ(shell->GetSyncRoot(root.id, &read), kHResultNotFound);
  EXPECT_EQ(shell->UnregisterSyncRoot(root.id), kHResultNotFound);
}

TEST(WindowsShellRegistration, AnUnknownIdIsNotFound) {
  const auto shell = NewWindowsShellRegistration();
  ShellSyncRoot read;
  const HResult hr = shell->GetSyncRoot(u"OstrasyncTest!nobody!" + Number(GetCurrentProcessId()), &read);
  if (Unavailable(hr)) GTEST_SKIP() << "no storage-provider sync-root manager on this system (" << Hex(hr) << ")";
  EXPECT_EQ(hr, kHResultNotFound) << Hex(hr);
  EXPECT_EQ(shell->UnregisterSyncRoot(u"OstrasyncTest!nobody!" + Number(GetCurrentProcessId())), kHResultNotFound);
}

// Verify that each call leaves the calling thread's apartment as it found it: a thread without
// COM is left without it (a leaked initialisation would make the next CoInitializeEx answer
// S_FALSE), and a single-threaded apartment is used as it is and kept (tearing it down would make
// the next CoInitializeEx answer S_OK). Whether the system has the facilities does not matter here.
TEST(WindowsShellRegistration, CallsLeaveTheThreadsApartmentAsTheyFoundIt) {
  const auto shell = NewWindowsShellRegistration();
  const auto indexer = NewWindowsSearchIndexer();
  const std::u16string id = u"OstrasyncTest!apartment!" + Number(GetCurrentProcessId());
  const std::vector<std::pair<const char*, std::function<HResult()>>> calls = {
      {"UnregisterSyncRoot", [&] { return shell->UnregisterSyncRoot(id); }},
      {"GetSyncRoot", [&] {
         ShellSyncRoot root;
         return shell->GetSyncRoot(id, &root);
       }},
      {"RemoveScopeRule", [&] { return indexer->RemoveScopeRule(u"file:///C:/ostrasync-apartment-test/"); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    HRESULT after_plain = E_FAIL;
    std::thread([&] {
      (void)call();
      after_plain = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      if (SUCCEEDED(after_plain)) CoUninitialize();
    }).join();
    EXPECT_EQ(after_plain, S_OK);

    HResult in_sta = kSOk;
    HRESULT after_sta = E_FAIL;
    std::thread([&] {
      if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
      in_sta = call();
      after_sta = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      if (SUCCEEDED(after_sta)) CoUninitialize();
      CoUninitialize();
    }).join();
    EXPECT_NE(in_sta, kRpcEChangedMode);
    EXPECT_EQ(after_sta, S_FALSE);
  }
}

// Verify the scope rule round trip where Windows Search runs. Changing the system catalog's
// scope needs administrator rights; without them, or with the service disabled, the test says so.
TEST(WindowsSearchIndexer, AddsAndRemovesADefaultScopeRule) {
  TempFolder folder;
  const auto indexer = NewWindowsSearchIndexer();
  EXPECT_EQ(indexer->AddScopeRule(u""), kEInvalidArg);
  EXPECT_FALSE(indexer->HasScopeRule(u""));

  const std::u16string url = u"file:///" + folder.path() + u"\\";
  const HResult added = indexer->AddScopeRule(url);
  if (Unavailable(added)) GTEST_SKIP() << "no Windows Search on this system (AddScopeRule answered " << Hex(added) << ")";
  if (added == kHResultSearchServiceDisabled) GTEST_SKIP() << "the Windows Search service is disabled";
  if (added == static_cast<HResult>(0x80070005)) GTEST_SKIP() << "changing the crawl scope needs administrator rights";
  ASSERT_EQ(added, kSOk) << Hex(added);
  EXPECT_TRUE(indexer->HasScopeRule(url));
  const HResult removed = indexer->RemoveScopeRule(url);
  EXPECT_EQ(removed, kSOk) << Hex(removed);
}

}  // namespace
}  // namespace ostrasync::platform
