// The shell's records of sync roots on Linux: registrations, search scope rules, the registry
// hives and the user's SID, each kept in its own record file of the state folder.
#include "platform/posix/shell_state_posix.h"

#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>
#include <random>

#include "platform/posix/path_mapping.h"
#include "platform/posix/state_file.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

// ---- Field helpers ----------------------------------------------------------------------------

std::u16string Number(int64_t value) { return Utf8ToUtf16(std::to_string(value)); }

template <typename T>
bool ParseNumber(const std::u16string& field, T* value) {
  std::string ascii;
  for (const char16_t c : field) {
    if (c > 0x7F) return false;
    ascii.push_back(static_cast<char>(c));
  }
  const auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), *value);
  return !ascii.empty() && error == std::errc() && end == ascii.data() + ascii.size();
}

bool ParseFlag(const std::u16string& field, bool* value) {
  if (field != u"0" && field != u"1") return false;
  *value = field == u"1";
  return true;
}

// The upper-case form the registry compares key and value names by: ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic letters, which covers every name the shell and we write.
char16_t UpcaseForRegistry(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) ||
      (c >= 0x430 && c <= 0x44F)) {
    return static_cast<char16_t>(c - 0x20);
  }
  if (c == 0xFF) return 0x178;
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs capitals and small letters as even/odd, except in 0x139-0x148 and
    // 0x179-0x17E where the capital is the odd one; 0x138 and 0x149 have no capital.
    const bool odd_small = !((c >= 0x139 && c <= 0x148) || c >= 0x179 || c == 0x138 || c == 0x149);
    if (odd_small && (c & 1) == 1) return static_cast<char16_t>(c - 1);
    if (!odd_small && (c & 1) == 0 && c != 0x138 && c != 0x17F) return static_cast<char16_t>(c - 1);
  }
  return c;
}

std::u16string FoldName(std::u16string_view name) {
  std::u16string folded(name);
  std::transform(folded.begin(), folded.end(), folded.begin(), UpcaseForRegistry);
  return folded;
}

// ---- Registry ---------------------------------------------------------------------------------

constexpr std::u16string_view kHiveNames[] = {u"HKLM", u"HKCU"};

bool ParseHive(const std::u16string& field, RegistryRoot* root) {
  if (field == kHiveNames[0]) *root = RegistryRoot::kLocalMachine;
  else if (field == kHiveNames[1]) *root = RegistryRoot::kCurrentUser;
  else return false;
  return true;
}

// A key path names a key below a hive: components separated by single backslashes, none empty.
bool IsValidKeyPath(std::u16string_view key) {
  if (key.empty() || key.front() == u'\\' || key.back() == u'\\') return false;
  return key.find(u"\\\\") == std::u16string_view::npos && key.find(u'\0') == std::u16string_view::npos;
}

// Records: {"key", hive, path} for every key, {"value", hive, path, name, type, data} for every
// value (after its key).
bool IsRegistryRecord(const StateRecord& record) {
  RegistryRoot root;
  if (record.size() < 3 || !ParseHive(record[1], &root) || !IsValidKeyPath(record[2])) return false;
  uint32_t type = 0;
  if (record[0] == u"key") return record.size() == 3;
  return record[0] == u"value" && record.size() == 6 && ParseNumber(record[4], &type);
}

struct RegistryValue {
  std::u16string name;  // as first written
  uint32_t type = kRegSz;
  std::u16string data;
};

struct RegistryKey {
  std::u16string path;                                // as first written
  std::map<std::u16string, RegistryValue> values;     // by folded name
};

// Both hives: keys by folded path. A key exists only with a record of its own.
struct RegistryTree {
  std::map<std::u16string, RegistryKey> hives[2];

  std::map<std::u16string, RegistryKey>& hive(RegistryRoot root) { return hives[static_cast<int>(root)]; }

  static RegistryTree FromRecords(const StateRecords& records) {
    RegistryTree tree;
    for (const StateRecord& record : records) {
      RegistryRoot root = RegistryRoot::kLocalMachine;
      (void)ParseHive(record[1], &root);  // checked by IsRegistryRecord
      RegistryKey& key = tree.hive(root)[FoldName(record[2])];
      if (key.path.empty()) key.path = record[2];
      if (record[0] == u"value") {
        RegistryValue value{record[3], 0, record[5]};
        (void)ParseNumber(record[4], &value.type);
        key.values.insert_or_assign(FoldName(record[3]), std::move(value));
      }
    }
    return tree;
  }

  StateRecords ToRecords() const {
    StateRecords records;
    for (int h = 0; h < 2; ++h) {
      const std::u16string hive_name(kHiveNames[h]);
      for (const auto& [folded, key] : hives[h]) {
        records.push_back({u"key", hive_name, key.path});
        for (const auto& [folded_name, value] : key.values) {
          records.push_back({u"value", hive_name, key.path, value.name, Number(value.type), value.data});
        }
      }
    }
    return records;
  }
};

class PosixRegistry final : public Registry {
 public:
  explicit PosixRegistry(const std::string& state_dir) : file_(state_dir, "registry", "registry", IsRegistryRecord) {}

  Win32Error ReadValue(RegistryRoot root, const std::u16string& key, const std::u16string& name, uint32_t* type,
                       std::u16string* value) override {
    *type = 0;
    value->clear();
    StateRecords records;
    if (const Win32Error e = file_.Load(&records)) return e;
    RegistryTree tree = RegistryTree::FromRecords(records);
    const auto found_key = tree.hive(root).find(FoldName(key));
    if (found_key == tree.hive(root).end()) return win32::kFileNotFound;
    const auto found = found_key->second.values.find(FoldName(name));
    if (found == found_key->second.values.end()) return win32::kFileNotFound;
    *type = found->second.type;
    if (found->second.type == kRegSz) *value = found->second.data;
    return 0;
  }

  Win32Error DeleteTree(RegistryRoot root, const std::u16string& key) override {
    // An empty key would name the hive itself, which is never deleted; no other invalid path
    // can name an existing key.
    if (key.empty()) return win32::kInvalidParameter;
    if (!IsValidKeyPath(key)) return win32::kFileNotFound;
    StateFile::Lock lock;
    StateRecords records;
    if (const Win32Error e = file_.LockAndLoad(&lock, &records)) return e;
    RegistryTree tree = RegistryTree::FromRecords(records);
    const std::u16string top = FoldName(key);
    const std::u16string below = top + u"\\";
    const size_t erased = std::erase_if(tree.hive(root), [&](const auto& entry) {
      return entry.first == top || entry.first.starts_with(below);
    });
    if (erased == 0) return win32::kFileNotFound;
    return file_.Save(lock, tree.ToRecords());
  }

  Win32Error WriteString(RegistryRoot root, const std::u16string& key, const std::u16string& name,
                         const std::u16string& value) override {
    if (!IsValidKeyPath(key) || name.find(u'\0') != std::u16string::npos) return win32::kInvalidParameter;
    StateFile::Lock lock;
    StateRecords records;
    if (const Win32Error e = file_.LockAndLoad(&lock, &records)) return e;
    RegistryTree tree = RegistryTree::FromRecords(records);
    // Like RegCreateKeyEx, every missing key on the way is created too.
    for (size_t end = key.find(u'\\');; end = key.find(u'\\', end + 1)) {
      const std::u16string path = key.substr(0, end);
      RegistryKey& created = tree.hive(root)[FoldName(path)];
      if (created.path.empty()) created.path = path;
      if (end == std::u16string::npos) {
        RegistryValue& slot = created.values[FoldName(name)];
        if (slot.name.empty()) slot.name = name;
        slot.type = kRegSz;
        slot.data = value;
        break;
      }
    }
    return file_.Save(lock, tree.ToRecords());
  }

 private:
  StateFile file_;  // its own locks guard the file; the object keeps no other state
};

// ---- Shell registration -----------------------------------------------------------------------

constexpr std::u16string_view kSyncRootManagerKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\";
constexpr std::u16string_view kClsidKey = u"Software\\Classes\\CLSID\\";
constexpr size_t kSyncRootFields = 14;

// Records: every ShellSyncRoot field in declaration order, then the namespace CLSID the
// registration's registry entries use.
struct StoredRoot {
  ShellSyncRoot root;
  std::u16string clsid;

  StateRecord ToRecord() const {
    return {root.id,
            root.path,
            root.display_name,
            root.icon,
            Number(root.hydration_policy),
            Number(root.hydration_policy_modifier),
            Number(root.population_policy),
            Number(root.in_sync_policy),
            Number(root.hardlink_policy),
            Number(root.show_siblings_as_group ? 1 : 0),
            root.version,
            Number(root.allow_pinning ? 1 : 0),
            root.recycle_bin_uri,
            clsid};
  }

  static bool FromRecord(const StateRecord& record, StoredRoot* stored) {
    if (record.size() != kSyncRootFields || record[0].empty()) return false;
    ShellSyncRoot& root = stored->root;
    root.id = record[0];
    root.path = record[1];
    root.display_name = record[2];
    root.icon = record[3];
    root.version = record[10];
    root.recycle_bin_uri = record[12];
    stored->clsid = record[13];
    return ParseNumber(record[4], &root.hydration_policy) && ParseNumber(record[5], &root.hydration_policy_modifier) &&
           ParseNumber(record[6], &root.population_policy) && ParseNumber(record[7], &root.in_sync_policy) &&
           ParseNumber(record[8], &root.hardlink_policy) && ParseFlag(record[9], &root.show_siblings_as_group) &&
           ParseFlag(record[11], &root.allow_pinning);
  }
};

bool IsSyncRootRecord(const StateRecord& record) {
  StoredRoot ignored;
  return StoredRoot::FromRecord(record, &ignored);
}

// A random (version 4) GUID in registry form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::u16string NewGuidText() {
  uint8_t bytes[16];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(device());
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  std::u16string text = u"{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back(u'-');
    text.push_back(u"0123456789ABCDEF"[bytes[i] >> 4]);
    text.push_back(u"0123456789ABCDEF"[bytes[i] & 0xF]);
  }
  text.push_back(u'}');
  return text;
}

// Registrations, and the registry entries Explorer keeps for each: HKLM ...\SyncRootManager\<id>
// naming the namespace CLSID, and HKCU Software\Classes\CLSID\{CLSID} naming the root.
// Lock order: this file's lock, then the registry's; the registry never calls back.
class PosixShellRegistration final : public ShellRegistration {
 public:
  PosixShellRegistration(const std::string& state_dir, Registry& registry)
      : file_(state_dir, "sync_roots", "sync-roots", IsSyncRootRecord), registry_(registry) {}

  HResult RegisterSyncRoot(const ShellSyncRoot& root) override {
    // The id becomes a registry key name, which cannot hold a backslash.
    if (root.id.empty() || root.id.find_first_of(std::u16string_view(u"\\\0", 2)) != std::u16string::npos) {
      return kEInvalidArg;
    }
    if (const HResult hr = CheckFolder(root.path)) return hr;

    StateFile::Lock lock;
    StateRecords records;
    if (const Win32Error e = file_.LockAndLoad(&lock, &records)) return HResultFromWin32(e);
    std::u16string old_clsid;
    std::erase_if(records, [&](const StateRecord& record) {
      if (record[0] != root.id) return false;
      old_clsid = record[13];
      return true;
    });
    const StoredRoot stored{root, NewGuidText()};
    records.push_back(stored.ToRecord());

    // The registry first: a registration must never exist without its entries, while entries
    // left behind without a registration are what stale-registration cleanup looks for.
    const std::u16string manager_key = std::u16string(kSyncRootManagerKey) + root.id;
    const std::u16string clsid_key = std::u16string(kClsidKey) + stored.clsid;
    const std::u16string& label = root.display_name.empty() ? root.id : root.display_name;
    Win32Error e = registry_.WriteString(RegistryRoot::kCurrentUser, clsid_key, u"", label);
    if (e == 0) e = registry_.WriteString(RegistryRoot::kLocalMachine, manager_key, u"NamespaceCLSID", stored.clsid);
    if (e == 0) e = file_.Save(lock, records);
    if (e != 0) {
      // Put the registry back as it was; the registration file was not changed.
      (void)registry_.DeleteTree(RegistryRoot::kCurrentUser, clsid_key);
      if (old_clsid.empty()) {
        (void)registry_.DeleteTree(RegistryRoot::kLocalMachine, manager_key);
      } else {
        (void)registry_.WriteString(RegistryRoot::kLocalMachine, manager_key, u"NamespaceCLSID", old_clsid);
      }
      return HResultFromWin32(e);
    }
    if (!old_clsid.empty()) (void)registry_.DeleteTree(RegistryRoot::kCurrentUser, std::u16string(kClsidKey) + old_clsid);
    return kSOk;
  }

  HResult UnregisterSyncRoot(const std::u16string& id) override {
    StateFile::Lock lock;
    StateRecords records;
    if (const Win32Error e = file_.LockAndLoad(&lock, &records)) return HResultFromWin32(e);
    std::u16string clsid;
    const size_t erased = std::erase_if(records, [&](const StateRecord& record) {
      if (record[0] != id) return false;
      clsid = record[13];
      return true;
    });
    if (erased == 0) return kHResultNotFound;
    if (const Win32Error e = file_.Save(lock, records)) return HResultFromWin32(e);
    // The registration is gone; should removing its entries fail, they are left for
    // stale-registration cleanup rather than reported as a failed unregistration.
    (void)registry_.DeleteTree(RegistryRoot::kLocalMachine, std::u16string(kSyncRootManagerKey) + id);
    (void)registry_.DeleteTree(RegistryRoot::kCurrentUser, std::u16string(kClsidKey) + clsid);
    return kSOk;
  }

  HResult GetSyncRoot(const std::u16string& id, ShellSyncRoot* root) override {
    StateRecords records;
    if (const Win32Error e = file_.Load(&records)) return HResultFromWin32(e);
    for (const StateRecord& record : records) {
      StoredRoot stored;
      if (record[0] == id && StoredRoot::FromRecord(record, &stored)) {
        *root = std::move(stored.root);
        return kSOk;
      }
    }
    return kHResultNotFound;
  }

 private:
  static HResult CheckFolder(const std::u16string& path) {
    std::string posix;
    if (ToPosixPath(path, &posix) != 0) return HResultFromWin32(win32::kPathNotFound);
    struct stat info {};
    if (::stat(posix.c_str(), &info) != 0) {
      const int error = errno;
      return HResultFromWin32(error == ENOENT || error == ENOTDIR ? win32::kPathNotFound : Win32ErrorFromErrno(error));
    }
    return S_ISDIR(info.st_mode) ? kSOk : HResultFromWin32(win32::kDirectory);
  }

  StateFile file_;      // its own locks guard the file
  Registry& registry_;  // outlives this object
};

// ---- Search scope rules -----------------------------------------------------------------------

bool IsScopeRuleRecord(const StateRecord& record) { return record.size() == 1 && !record[0].empty(); }

// The "SystemIndex" default scope rules, one URL per record. URLs compare exactly. Removing a
// rule that is not there succeeds: RemoveDefaultScopeRule documents no "not found" outcome, and
// the engine removes rules it may never have added.
class PosixSearchIndexer final : public SearchIndexer {
 public:
  PosixSearchIndexer(const std::string& state_dir, bool disabled)
      : file_(state_dir, "search_scope_rules", "search-scope-rules", IsScopeRuleRecord), disabled_(disabled) {}

  HResult AddScopeRule(const std::u16string& url) override {
    if (disabled_) return kHResultSearchServiceDisabled;
    if (url.empty() || url.find(u'\0') != std::u16string::npos) return kEInvalidArg;
    StateFile::Lock lock;
    StateRecords records;
    if (const Win32Error e = file_.LockAndLoad(&lock, &records)) return HResultFromWin32(e);
    if (std::ranges::find(records, StateRecord{url}) != records.end()) return kSOk;
    records.push_back({url});
    return HResultFromWin32(file_.Save(lock, records));
  }

  HResult RemoveScopeRule(const std::u16string& url) override {
    if (disabled_) return kHResultSearchServiceDisabled;
    StateFile::Lock lock;
    StateRecords records;
    if (const Win32Error e = file_.LockAndLoad(&lock, &records)) return HResultFromWin32(e);
    if (std::erase(records, StateRecord{url}) == 0) return kSOk;
    return HResultFromWin32(file_.Save(lock, records));
  }

  // With the service off nothing can be asked, so nothing has a rule.
  bool HasScopeRule(const std::u16string& url) override {
    if (disabled_) return false;
    StateRecords records;
    if (file_.Load(&records) != 0) return false;
    return std::ranges::find(records, StateRecord{url}) != records.end();
  }

 private:
  StateFile file_;       // its own locks guard the file
  const bool disabled_;
};

// ---- User identity ----------------------------------------------------------------------------

// Linux users in the SID form Samba and others use for them, "S-1-22-1-<uid>". The effective uid
// is the one file access is checked against, as the effective token is on Windows.
class PosixUserIdentity final : public UserIdentity {
 public:
  Win32Error CurrentUserSid(std::u16string* sid) override {
    *sid = u"S-1-22-1-" + Number(::geteuid());
    return 0;
  }
};

std::string NonEmptyEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string DefaultShellStateDir() {
  if (std::string dir = NonEmptyEnvironment("OSTRASYNC_STATE_DIR"); !dir.empty()) return dir;
  // A relative XDG_STATE_HOME is invalid and ignored.
  if (const std::string xdg = NonEmptyEnvironment("XDG_STATE_HOME"); xdg.starts_with('/')) return xdg + "/ostrasync";
  std::string home = NonEmptyEnvironment("HOME");
  if (home.empty()) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
      home = found->pw_dir;
    }
  }
  // Without a home every write fails with ERROR_PATH_NOT_FOUND, and reads find nothing.
  return home.empty() ? std::string() : home + "/.local/state/ostrasync";
}

PosixShellState NewPosixShellState(std::string state_dir, const PosixShellStateOptions& options) {
  PosixShellState state;
  state.registry = std::make_unique<PosixRegistry>(state_dir);
  state.shell_registration = std::make_unique<PosixShellRegistration>(state_dir, *state.registry);
  state.search_indexer = std::make_unique<PosixSearchIndexer>(state_dir, options.search_disabled);
  state.user_identity = std::make_unique<PosixUserIdentity>();
  return state;
}

PosixShellState NewDefaultPosixShellState() {
  PosixShellStateOptions options;
  options.search_disabled = NonEmptyEnvironment("OSTRASYNC_SEARCH_DISABLED") == "1";
  return NewPosixShellState(DefaultShellStateDir(), options);
}

}  // namespace ostrasync::platform
