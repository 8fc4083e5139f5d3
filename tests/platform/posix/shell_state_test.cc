// The Linux shell records: what survives a restart, what the registry shows for a registration,
// and how damaged state files are read.
#include "platform/posix/shell_state_posix.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/path_mapping.h"
#include "platform/posix/state_file.h"
#include "platform/testing/fault_injecting_platform.h"
#include "platform/testing/recording_platform.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::u16string_view kManagerKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\";

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class ShellStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrasync-shell-state-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    temp_ = pattern;
    state_dir_ = temp_ / "state" / "ostrasync";
    folder_ = temp_ / "Cloud";
    fs::create_directory(folder_);
    state_ = Open();
  }
  void TearDown() override { fs::remove_all(temp_); }

  PosixShellState Open(bool search_disabled = false) {
    return NewPosixShellState(state_dir_.string(), PosixShellStateOptions{search_disabled});
  }

  ShellSyncRoot FullRoot(std::u16string id) const {
    ShellSyncRoot root;
    root.id = std::move(id);
    root.path = ToWin32Path(folder_.string());
    // Text that exercises the file format: separators, escapes, non-ASCII, a non-BMP character
    // and a lone surrogate.
    root.display_name = u"Tab\there\nnew line \\ back\r \u00e9\u4e2d \U0001F600 \xD800 end";
    root.icon = u"C:\\Program Files\\Ostra\\app.exe,-101";
    root.hydration_policy = 3;
    root.hydration_policy_modifier = 0xF;
    root.population_policy = 1;
    root.in_sync_policy = 0x80000000u | 0x3FF;
    root.hardlink_policy = 1;
    root.show_siblings_as_group = true;
    root.version = u"2.5.1";
    root.allow_pinning = false;
    root.recycle_bin_uri = u"https://example.test/recycle";
    return root;
  }

  std::u16string NamespaceClsid(Registry& registry, const std::u16string& id) {
    uint32_t type = 0;
    std::u16string value;
    if (registry.ReadValue(RegistryRoot::kLocalMachine, std::u16string(kManagerKey) + id, u"NamespaceCLSID", &type,
                           &value) != 0) {
      return {};
    }
    EXPECT_EQ(type, kRegSz);
    return value;
  }

  fs::path temp_;
  fs::path state_dir_;
  fs::path folder_;
  PosixShellState state_;
};

void ExpectSameRoot(const ShellSyncRoot& a, const ShellSyncRoot& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.display_name, b.display_name);
  EXPECT_EQ(a.icon, b.icon);
  EXPECT_EQ(a.hydration_policy, b.hydration_policy);
  EXPECT_EQ(a.hydration_policy_modifier, b.hydration_policy_modifier);
  EXPECT_EQ(a.population_policy, b.population_policy);
  EXPECT_EQ(a.in_sync_policy, b.in_sync_policy);
  EXPECT_EQ(a.hardlink_policy, b.hardlink_policy);
  EXPECT_EQ(a.show_siblings_as_group, b.show_siblings_as_group);
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.allow_pinning, b.allow_pinning);
  EXPECT_EQ(a.recycle_bin_uri, b.recycle_bin_uri);
}

TEST_F(ShellStateTest, RegistrationSurvivesRestartAndIsReplacedThenRemovedWithItsRegistryEntries) {
  const ShellSyncRoot root = FullRoot(u"Ostra!S-1-22-1-1000!alice");
  ASSERT_EQ(state_.shell_registration->RegisterSyncRoot(root), kSOk);

  PosixShellState reopened = Open();
  ShellSyncRoot read;
  ASSERT_EQ(reopened.shell_registration->GetSyncRoot(root.id, &read), kSOk);
  ExpectSameRoot(read, root);

  // Explorer's entries: the namespace CLSID under SyncRootManager, and that CLSID's own key.
  const std::u16string clsid = NamespaceClsid(*reopened.registry, root.id);
  EXPECT_TRUE(std::regex_match(Utf16ToUtf8(clsid),
                               std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})")))
      << Utf16ToUtf8(clsid);
  uint32_t type = 0;
  std::u16string label;
  ASSERT_EQ(reopened.registry->ReadValue(RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\" + clsid, u"",
                                         &type, &label), 0u);
  EXPECT_EQ(label, root.display_name);

  // Registering the id again replaces the registration, with a fresh CLSID; the old one's key goes.
  ShellSyncRoot replacement = root;
  replacement.display_name = u"Renamed";
  replacement.allow_pinning = true;
  ASSERT_EQ(state_.shell_registration->RegisterSyncRoot(replacement), kSOk);
  ASSERT_EQ(reopened.shell_registration->GetSyncRoot(root.id, &read), kSOk);
  ExpectSameRoot(read, replacement);
  const std::u16string new_clsid = NamespaceClsid(*reopened.registry, root.id);
  EXPECT_NE(new_clsid, clsid);
  EXPECT_EQ(reopened.registry->ReadValue(RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\" + clsid, u"",
                                         &type, &label), win32::kFileNotFound);

  // A second registration is independent of the first.
  ASSERT_EQ(state_.shell_registration->RegisterSyncRoot(FullRoot(u"Other!id")), kSOk);

  ASSERT_EQ(reopened.shell_registration->UnregisterSyncRoot(root.id), kSOk);
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(root.id, &read), kHResultNotFound);
  EXPECT_EQ(NamespaceClsid(*state_.registry, root.id), u"");
  EXPECT_EQ(state_.registry->ReadValue(RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\" + new_clsid, u"",
                                       &type, &label), win32::kFileNotFound);
  EXPECT_EQ(state_.shell_registration->UnregisterSyncRoot(root.id), kHResultNotFound);
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"Other!id", &read), kSOk);
  EXPECT_NE(NamespaceClsid(*state_.registry, u"Other!id"), u"");
}

TEST_F(ShellStateTest, RegistrationRefusesBadIdsAndPathsThatAreNotFolders) {
  ShellSyncRoot root = FullRoot(u"");
  EXPECT_EQ(state_.shell_registration->RegisterSyncRoot(root), kEInvalidArg);
  root.id = u"has\\backslash";
  EXPECT_EQ(state_.shell_registration->RegisterSyncRoot(root), kEInvalidArg);

  root.id = u"id";
  root.path = ToWin32Path((folder_ / "missing").string());
  EXPECT_EQ(state_.shell_registration->RegisterSyncRoot(root), HResultFromWin32(win32::kPathNotFound));
  root.path = ToWin32Path((folder_ / "missing" / "deeper").string());
  EXPECT_EQ(state_.shell_registration->RegisterSyncRoot(root), HResultFromWin32(win32::kPathNotFound));
  WriteBytes(folder_ / "file.txt", "x");
  root.path = ToWin32Path((folder_ / "file.txt").string());
  EXPECT_EQ(state_.shell_registration->RegisterSyncRoot(root), HResultFromWin32(win32::kDirectory));

  ShellSyncRoot read;
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"id", &read), kHResultNotFound);
  EXPECT_EQ(NamespaceClsid(*state_.registry, u"id"), u"");
  // Refusals and reads create nothing on disk.
  EXPECT_FALSE(fs::exists(state_dir_));
}

TEST_F(ShellStateTest, StateFolderIsCreatedPrivateAtFirstWrite) {
  ASSERT_EQ(state_.search_indexer->AddScopeRule(u"file:///home/a/Cloud/"), kSOk);
  struct stat info {};
  ASSERT_EQ(::stat(state_dir_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(state_dir_.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // Only finished files remain: no temporary left behind.
  for (const auto& entry : fs::directory_iterator(state_dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

TEST_F(ShellStateTest, ScopeRulesAreASetThatPersists) {
  const std::u16string url = u"file:///home/a/Cloud/";
  EXPECT_FALSE(state_.search_indexer->HasScopeRule(url));
  EXPECT_EQ(state_.search_indexer->RemoveScopeRule(url), kSOk);  // missing: still a success
  ASSERT_EQ(state_.search_indexer->AddScopeRule(url), kSOk);
  ASSERT_EQ(state_.search_indexer->AddScopeRule(url), kSOk);
  ASSERT_EQ(state_.search_indexer->AddScopeRule(u"file:///home/a/Other/"), kSOk);
  EXPECT_EQ(state_.search_indexer->AddScopeRule(u""), kEInvalidArg);

  PosixShellState reopened = Open();
  EXPECT_TRUE(reopened.search_indexer->HasScopeRule(url));
  EXPECT_FALSE(reopened.search_indexer->HasScopeRule(u"FILE:///home/a/Cloud/"));
  ASSERT_EQ(reopened.search_indexer->RemoveScopeRule(url), kSOk);
  EXPECT_FALSE(state_.search_indexer->HasScopeRule(url));  // removed once, though added twice
  EXPECT_TRUE(state_.search_indexer->HasScopeRule(u"file:///home/a/Other/"));

  // With the service off both calls fail and change nothing.
  PosixShellState disabled = Open(/*search_disabled=*/true);
  EXPECT_EQ(disabled.search_indexer->AddScopeRule(url), kHResultSearchServiceDisabled);
  EXPECT_EQ(disabled.search_indexer->RemoveScopeRule(u"file:///home/a/Other/"), kHResultSearchServiceDisabled);
  EXPECT_FALSE(state_.search_indexer->HasScopeRule(url));
  EXPECT_TRUE(state_.search_indexer->HasScopeRule(u"file:///home/a/Other/"));
}

TEST_F(ShellStateTest, RegistryNamesIgnoreCaseAndDeleteTreeTakesOnlyTheSubtree) {
  Registry& registry = *state_.registry;
  ASSERT_EQ(registry.WriteString(RegistryRoot::kCurrentUser, u"Software\\Ostra\\Roots\\\u00e9t\u00e9", u"Name", u"one"), 0u);
  ASSERT_EQ(registry.WriteString(RegistryRoot::kCurrentUser, u"Software\\Ostra\\Roots\\\u00e9t\u00e9\\Sub", u"", u"two"), 0u);
  ASSERT_EQ(registry.WriteString(RegistryRoot::kCurrentUser, u"Software\\Ostra\\RootsAndMore", u"Name", u"three"), 0u);
  ASSERT_EQ(registry.WriteString(RegistryRoot::kLocalMachine, u"Software\\Ostra\\Roots", u"Name", u"hklm"), 0u);
  // Overwriting through a differently cased name changes the same value.
  ASSERT_EQ(registry.WriteString(RegistryRoot::kCurrentUser, u"SOFTWARE\\ostra\\roots\\\u00c9T\u00c9", u"NAME", u"uno"), 0u);

  PosixShellState reopened = Open();
  uint32_t type = 0;
  std::u16string value;
  ASSERT_EQ(reopened.registry->ReadValue(RegistryRoot::kCurrentUser, u"software\\OSTRA\\Roots\\\u00c9t\u00e9", u"name",
                                         &type, &value), 0u);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(value, u"uno");
  EXPECT_EQ(reopened.registry->ReadValue(RegistryRoot::kCurrentUser, u"Software\\Ostra\\Roots\\\u00e9t\u00e9",
                                         u"Missing", &type, &value), win32::kFileNotFound);
  EXPECT_EQ(value, u"");

  // The parent created on the way exists, so deleting it works; a key that only shares a prefix
  // of its name, and the other hive, are untouched.
  ASSERT_EQ(reopened.registry->DeleteTree(RegistryRoot::kCurrentUser, u"SOFTWARE\\OSTRA\\ROOTS"), 0u);
  EXPECT_EQ(registry.ReadValue(RegistryRoot::kCurrentUser, u"Software\\Ostra\\Roots\\\u00e9t\u00e9\\Sub", u"", &type,
                               &value), win32::kFileNotFound);
  EXPECT_EQ(registry.ReadValue(RegistryRoot::kCurrentUser, u"Software\\Ostra\\RootsAndMore", u"Name", &type, &value), 0u);
  EXPECT_EQ(registry.ReadValue(RegistryRoot::kLocalMachine, u"Software\\Ostra\\Roots", u"Name", &type, &value), 0u);
  EXPECT_EQ(registry.DeleteTree(RegistryRoot::kCurrentUser, u"Software\\Ostra\\Roots"), win32::kFileNotFound);
  EXPECT_EQ(registry.DeleteTree(RegistryRoot::kCurrentUser, u""), win32::kInvalidParameter);
  EXPECT_EQ(registry.WriteString(RegistryRoot::kCurrentUser, u"\\Leading", u"", u"x"), win32::kInvalidParameter);
}

// A state file that is cut short or damaged is read as missing as a whole; the next write keeps
// the damaged bytes aside instead of overwriting them.
TEST_F(ShellStateTest, TornOrDamagedStateFilesReadAsMissing) {
  ASSERT_EQ(state_.shell_registration->RegisterSyncRoot(FullRoot(u"first")), kSOk);
  ASSERT_EQ(state_.shell_registration->RegisterSyncRoot(FullRoot(u"second")), kSOk);
  const fs::path file = state_dir_ / "sync_roots";
  const std::string intact = ReadBytes(file);
  ShellSyncRoot read;

  for (size_t length = 0; length < intact.size(); ++length) {
    WriteBytes(file, intact.substr(0, length));
    ASSERT_EQ(state_.shell_registration->GetSyncRoot(u"first", &read), kHResultNotFound) << "cut at " << length;
  }
  std::string flipped = intact;
  flipped[flipped.find("second")] = 'S';
  WriteBytes(file, flipped);
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"first", &read), kHResultNotFound);
  WriteBytes(file, intact);
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"first", &read), kSOk);

  // Garbage in place of the file: missing for readers; a writer sets it aside first.
  const std::string garbage = "\x01\x02 not a state file\n";
  WriteBytes(file, garbage);
  EXPECT_EQ(state_.shell_registration->UnregisterSyncRoot(u"first"), kHResultNotFound);
  ASSERT_EQ(state_.shell_registration->RegisterSyncRoot(FullRoot(u"third")), kSOk);
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"third", &read), kSOk);
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"first", &read), kHResultNotFound);
  std::vector<std::string> kept;
  for (const auto& entry : fs::directory_iterator(state_dir_)) {
    if (entry.path().filename().string().starts_with("sync_roots.corrupt-")) kept.push_back(ReadBytes(entry.path()));
  }
  EXPECT_THAT(kept, ::testing::ElementsAre(garbage));

  // The same holds for the other files, and for records of the wrong shape under a valid frame.
  WriteBytes(state_dir_ / "registry", StateFile::Format("registry", {{u"value", u"HKCU", u"K", u"n"}}));
  uint32_t type = 0;
  std::u16string value;
  EXPECT_EQ(state_.registry->ReadValue(RegistryRoot::kCurrentUser, u"K", u"n", &type, &value), win32::kFileNotFound);
  WriteBytes(state_dir_ / "registry",
             StateFile::Format("registry", {{u"key", u"HKCU", u"K"}, {u"value", u"HKCU", u"K", u"n", u"1", u"v"}}));
  EXPECT_EQ(state_.registry->ReadValue(RegistryRoot::kCurrentUser, u"K", u"n", &type, &value), 0u);
  EXPECT_EQ(value, u"v");
}

TEST(StateFileFormatTest, AnyTextRoundTripsAndOnlyCanonicalTextParses) {
  const StateRecords records = {{u""}, {u"a", u"", u"\\t\t\n\r"}, {u"\xDC00\xD800", u"\U0010FFFF", u"\xD83D"}};
  const std::string text = StateFile::Format("kind", records);
  StateRecords parsed;
  ASSERT_TRUE(StateFile::Parse("kind", text, &parsed));
  EXPECT_EQ(parsed, records);
  EXPECT_FALSE(StateFile::Parse("other", text, &parsed));
  EXPECT_TRUE(parsed.empty());

  // Text our writer never produces: invalid UTF-8 (overlong, an encoded surrogate), an unknown
  // escape, an escaped character that needs none, a surrogate pair written as two escapes. Each
  // gets a correct trailer, so only the body is at fault.
  const auto framed = [](const std::string& line) {
    const std::string body = "ostrasync kind 1\n" + line + "\n";
    uint32_t crc = 0xFFFFFFFFu;  // CRC-32 (IEEE), bit by bit
    for (const char byte : body) {
      crc ^= static_cast<uint8_t>(byte);
      for (int k = 0; k < 8; ++k) crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    char trailer[32];
    std::snprintf(trailer, sizeof trailer, "end 1 %08x\n", crc ^ 0xFFFFFFFFu);
    return body + trailer;
  };
  ASSERT_TRUE(StateFile::Parse("kind", framed("plain\t\\\\u00e9 \xC3\xA9"), &parsed));
  EXPECT_EQ(parsed, (StateRecords{{u"plain", u"\\u00e9 \u00e9"}}));
  for (const std::string& line : {std::string("\xC0\x80"), std::string("\xED\xA0\x80"), std::string("\\q"),
                                  std::string("\\u0041"), std::string("\\ud800\\udc00"), std::string("a\rb")}) {
    EXPECT_FALSE(StateFile::Parse("kind", framed(line), &parsed)) << line;
  }
}

TEST_F(ShellStateTest, TwoInstancesWritingAtOnceLoseNothing) {
  PosixShellState other = Open();
  constexpr int kPerThread = 25;
  const auto add = [](SearchIndexer& indexer, char16_t tag) {
    for (int i = 0; i < kPerThread; ++i) {
      ASSERT_EQ(indexer.AddScopeRule(u"file:///" + std::u16string(1, tag) + Utf8ToUtf16(std::to_string(i))), kSOk);
    }
  };
  std::thread a(add, std::ref(*state_.search_indexer), u'a');
  std::thread b(add, std::ref(*other.search_indexer), u'b');
  std::thread c(add, std::ref(*state_.search_indexer), u'c');
  a.join();
  b.join();
  c.join();
  for (const char16_t tag : {u'a', u'b', u'c'}) {
    for (int i = 0; i < kPerThread; ++i) {
      EXPECT_TRUE(state_.search_indexer->HasScopeRule(u"file:///" + std::u16string(1, tag) + Utf8ToUtf16(std::to_string(i))));
    }
  }
}

TEST_F(ShellStateTest, SidNamesTheEffectiveUser) {
  std::u16string sid = u"junk";
  ASSERT_EQ(state_.user_identity->CurrentUserSid(&sid), 0u);
  EXPECT_EQ(sid, u"S-1-22-1-" + Utf8ToUtf16(std::to_string(::geteuid())));
}

TEST(ShellStateDirTest, EnvironmentPicksTheFolder) {
  const auto saved = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto restore = [](const char* name, const std::optional<std::string>& value) {
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  };
  const auto state = saved("OSTRASYNC_STATE_DIR"), xdg = saved("XDG_STATE_HOME"), home = saved("HOME");
  ::setenv("OSTRASYNC_STATE_DIR", "/tmp/explicit", 1);
  ::setenv("XDG_STATE_HOME", "/tmp/xdg", 1);
  ::setenv("HOME", "/tmp/home", 1);
  EXPECT_EQ(DefaultShellStateDir(), "/tmp/explicit");
  ::unsetenv("OSTRASYNC_STATE_DIR");
  EXPECT_EQ(DefaultShellStateDir(), "/tmp/xdg/ostrasync");
  ::setenv("XDG_STATE_HOME", "relative/ignored", 1);
  EXPECT_EQ(DefaultShellStateDir(), "/tmp/home/.local/state/ostrasync");
  restore("OSTRASYNC_STATE_DIR", state);
  restore("XDG_STATE_HOME", xdg);
  restore("HOME", home);
}

// The fault points of the shell facilities fail the named call, clear its outputs and let every
// other call through to the real state.
TEST_F(ShellStateTest, FaultPointsFailOnlyTheirCall) {
  testing::RecordingPlatform recording;
  class OverState final : public testing::PlatformWrapper {
   public:
    OverState(Platform& target, PosixShellState& state) : PlatformWrapper(target), state_(state) {}
    ShellRegistration& shell_registration() override { return *state_.shell_registration; }
    SearchIndexer& search_indexer() override { return *state_.search_indexer; }
    Registry& registry() override { return *state_.registry; }
    UserIdentity& user_identity() override { return *state_.user_identity; }

   private:
    PosixShellState& state_;
  } over(recording, state_);
  testing::FaultInjectingPlatform faults(over);

  for (const char* operation : {"ShellRegistration.RegisterSyncRoot", "ShellRegistration.UnregisterSyncRoot",
                                "SearchIndexer.AddScopeRule", "SearchIndexer.RemoveScopeRule", "Registry.ReadValue",
                                "Registry.DeleteTree", "UserIdentity.CurrentUserSid"}) {
    testing::FaultRule rule;
    rule.operation = operation;
    rule.win32 = win32::kNotReady;
    faults.AddRule(rule);
  }
  const HResult injected = HResultFromWin32(win32::kNotReady);
  const ShellSyncRoot root = FullRoot(u"id");
  EXPECT_EQ(faults.shell_registration().RegisterSyncRoot(root), injected);
  EXPECT_EQ(faults.shell_registration().RegisterSyncRoot(root), kSOk);
  EXPECT_EQ(faults.shell_registration().UnregisterSyncRoot(u"id"), injected);
  EXPECT_EQ(faults.search_indexer().AddScopeRule(u"file:///x"), injected);
  EXPECT_FALSE(faults.search_indexer().HasScopeRule(u"file:///x"));
  EXPECT_EQ(faults.search_indexer().RemoveScopeRule(u"file:///x"), injected);
  uint32_t type = 7;
  std::u16string text = u"stale";
  EXPECT_EQ(faults.registry().ReadValue(RegistryRoot::kLocalMachine, std::u16string(kManagerKey) + u"id",
                                        u"NamespaceCLSID", &type, &text), win32::kNotReady);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(faults.registry().DeleteTree(RegistryRoot::kLocalMachine, std::u16string(kManagerKey) + u"id"),
            win32::kNotReady);
  EXPECT_EQ(faults.user_identity().CurrentUserSid(&text), win32::kNotReady);
  EXPECT_EQ(faults.injected_count(), 7);
  // The faults changed nothing underneath.
  EXPECT_NE(NamespaceClsid(*state_.registry, u"id"), u"");
  ShellSyncRoot read;
  EXPECT_EQ(state_.shell_registration->GetSyncRoot(u"id", &read), kSOk);
  const std::vector<std::string> operations = faults.operations();
  EXPECT_EQ(std::count(operations.begin(), operations.end(), "ShellRegistration.RegisterSyncRoot"), 2);
}

// The recording fake keeps state like the real facilities and lets SetResult fail a call.
TEST(RecordingShellFakesTest, BehaveLikeTheShellUnlessToldToFail) {
  testing::RecordingPlatform fake;
  ShellSyncRoot root;
  root.id = u"id";
  EXPECT_EQ(fake.shell_registration().RegisterSyncRoot(root), kSOk);
  EXPECT_EQ(fake.shell_registration().UnregisterSyncRoot(u"id"), kSOk);
  EXPECT_EQ(fake.shell_registration().UnregisterSyncRoot(u"id"), kHResultNotFound);
  ASSERT_EQ(fake.registry().WriteString(RegistryRoot::kCurrentUser, u"A\\B", u"V", u"x"), 0u);
  EXPECT_EQ(fake.registry().DeleteTree(RegistryRoot::kCurrentUser, u"a"), 0u);
  uint32_t type = 0;
  std::u16string value;
  EXPECT_EQ(fake.registry().ReadValue(RegistryRoot::kCurrentUser, u"A\\B", u"V", &type, &value), win32::kFileNotFound);
  fake.SetResult("SearchIndexer.AddScopeRule", static_cast<uint32_t>(kHResultSearchServiceDisabled));
  EXPECT_EQ(fake.search_indexer().AddScopeRule(u"file:///x"), kHResultSearchServiceDisabled);
  EXPECT_FALSE(fake.search_indexer().HasScopeRule(u"file:///x"));
  fake.SetUserSid(u"S-1-5-21-1-2-3-500");
  EXPECT_EQ(fake.user_identity().CurrentUserSid(&value), 0u);
  EXPECT_EQ(value, u"S-1-5-21-1-2-3-500");
  EXPECT_EQ(fake.CallsTo("Registry.WriteString").at(0).text, u"x");
}

}  // namespace
}  // namespace ostrasync::platform
