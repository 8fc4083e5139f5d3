// Install and Uninstall: registering the sync root with the cloud-files facility, the shell and
// the search indexer on a registration thread, connecting it for activation, and taking it all
// away again.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/sync_root_path.h"

namespace ostrasync::engine {

// The registration thread's own copy of its request, and what it hands back. The thread may
// outlive the caller's wait; the engine joins it before it goes.
struct RegistrationJob {
  bool install_mode = false;
  std::u16string effective_root;
  std::u16string item_domain;
  std::u16string provider_name;
  std::u16string provider_version;
  std::u16string label;
  std::u16string icon;
  std::u16string provider_id;
  std::u16string account;
  std::u16string recycle_bin_url;
  bool placeholders_on_demand = false;
  bool online_only = false;
  int32_t wait_for_install_ms = 0;

  std::thread thread;      // guarded by SyncEngine::registration_mutex_
  std::thread::id thread_id;  // guarded by SyncEngine::registration_mutex_

  std::mutex mutex;
  std::condition_variable finished;                  // signalled under mutex when done is set
  bool done = false;                                 // guarded by mutex
  bool abandoned = false;                            // guarded by mutex: the caller stopped waiting
  int result = 0;                                    // guarded by mutex
  platform::ConnectionContext* connection = nullptr;  // guarded by mutex
};

namespace {

constexpr auto kRegistrationTimeout = std::chrono::milliseconds(120000);
constexpr char16_t kSyncRootManagerKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\";
constexpr char16_t kUserClassesKey[] = u"Software\\Classes\\CLSID\\";
constexpr platform::HResult kAccessDenied = static_cast<platform::HResult>(0x80070005);

const char16_t* TrueFalse(bool value) { return value ? u"true" : u"false"; }

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" and nothing else.
bool IsWellFormedGuid(std::u16string_view text) {
  if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    const char16_t c = text[i];
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (c != u'-') return false;
    } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) {
      return false;
    }
  }
  return true;
}

// Cloud placeholders carry a reparse point of the cloud family; they are real folders. Any other
// reparse point (a junction, a directory link) leads elsewhere and is never entered.
bool IsForeignReparsePoint(const platform::FindData& entry) {
  if ((entry.attributes & platform::attr::kReparsePoint) == 0) return false;
  return (entry.reparse_tag & ~platform::kReparseTagCloudMask) != platform::kReparseTagCloud;
}

}  // namespace

// ---- Settings the registration reads ----

void SyncEngine::NormalizeSyncRootPathOnce() {
  std::lock_guard<std::mutex> lock(properties_mutex_);
  if (sync_root_path_normalized_) return;
  sync_root_path_ = NormalizeSyncRootPath(sync_root_path_);
  sync_root_path_normalized_ = true;
}

std::u16string SyncEngine::EffectiveRootPath() {
  std::u16string domain;
  {
    std::lock_guard<std::mutex> lock(settings_.strings_mutex);
    domain = settings_.item_domain;
  }
  return JoinRootAndDomain(SyncRootPath(), domain);
}

int SyncEngine::CheckItemDomain() {
  std::u16string domain;
  {
    std::lock_guard<std::mutex> lock(settings_.strings_mutex);
    domain = settings_.item_domain;
  }
  // The effective root must be a folder directly inside SyncRootPath, never a path that leaves it.
  if (domain.empty() || IsSingleNameComponent(domain)) return 0;
  return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER);
}

std::shared_ptr<RegistrationJob> SyncEngine::SnapshotRegistration(bool install_mode) {
  auto job = std::make_shared<RegistrationJob>();
  job->install_mode = install_mode;
  job->effective_root = EffectiveRootPath();
  job->label = SyncRootLabel();
  if (job->label.empty()) job->label = u"Kelvo";
  job->icon = SyncRootIcon();
  if (job->icon.empty()) job->icon = u",0";
  {
    std::lock_guard<std::mutex> lock(settings_.strings_mutex);
    job->item_domain = settings_.item_domain;
    job->provider_name = settings_.windows_registration_provider_name;
    job->provider_version = settings_.windows_registration_provider_version;
    job->provider_id = settings_.windows_storage_provider_id;
    job->account = settings_.windows_storage_provider_account;
    job->recycle_bin_url = settings_.windows_recycle_bin_url;
  }
  if (job->provider_id.empty()) job->provider_id = job->label;
  if (job->account.empty()) job->account = job->label;
  job->placeholders_on_demand = settings_.windows_create_placeholders_on_demand.load();
  job->online_only = settings_.online_only.load();
  job->wait_for_install_ms = std::max<int32_t>(0, settings_.wait_for_install_to_complete_ms.load());
  return job;
}

bool SyncEngine::IsDirectory(const std::u16string& path) {
  uint32_t attributes = 0;
  return os().file_system().ReadAttributes(path, &attributes) == 0 && (attributes & platform::attr::kDirectory) != 0;
}

bool SyncEngine::IsOurSyncRoot(const std::u16string& path, const std::u16string& provider_name) {
  // The facility answers for the root that holds `path`; the root is ours only when `path` is
  // that root itself and it was registered under our provider name.
  platform::SyncRootInfo info;
  if (os().cloud_files().GetSyncRootInfo(path, &info) < 0) return false;
  if (!EqualsIgnoreCase(info.provider_name, provider_name)) return false;
  const uint32_t state = binding().GetPlaceholderState(path.c_str());
  return state != platform::cf::kStateInvalid && (state & platform::cf::kStateSyncRoot) != 0;
}

// ---- Install ----

int SyncEngine::Install() {
  NormalizeSyncRootPathOnce();
  Log(3, u"Installation started");
  if (ActiveOrActivating()) return RecordError(OSTRASYNC_ERR_ALREADY_STARTED);
  install_mode_.store(1);
  return RegisterCloudProvider(true);
}

int SyncEngine::RegisterCloudProvider(bool install_mode) {
  Log(4, u"Registering Cloud API provider");
  if (const int invalid = CheckItemDomain()) return invalid;
  const std::u16string root = SyncRootPath();
  if (!IsDirectory(root)) {
    Log(1, u"Invalid SyncSyncRootPath value: '%s'", {root});
    return RecordError(OSTRASYNC_ERR_INIT_FAILED);
  }
  const std::u16string effective = EffectiveRootPath();
  bool created = false;
  if (effective != root && !IsDirectory(effective)) {
    if (const platform::Win32Error e = os().file_system().MakeFolder(effective)) {
      SetOsLastError(e);
      Log(4, u"Failed to create directory '%s' for sync root", {effective});
      return RecordError(OSTRASYNC_ERR_OS_CALL);
    }
    created = true;
  }

  ReapRegistrationThreads(false);
  std::shared_ptr<RegistrationJob> job = SnapshotRegistration(install_mode);
  try {
    std::lock_guard<std::mutex> lock(registration_mutex_);
    job->thread = std::thread([this, job] {
      // Waits until the job is listed, so the thread is known as the engine's own from its start.
      { std::lock_guard<std::mutex> listed(registration_mutex_); }
      const int result = RegisterSyncProvider(*job);
      if (result != 0) FireErrorEvent(result, kTextAsyncOperationFailed);
      platform::ConnectionContext* orphan = nullptr;
      {
        std::lock_guard<std::mutex> job_lock(job->mutex);
        job->result = result;
        if (job->abandoned) std::swap(orphan, job->connection);
        job->done = true;
      }
      job->finished.notify_all();
      if (orphan != nullptr) {
        // Nobody waits for this connection any more: it must not stay up unowned.
        platform::DisconnectRootRequest request;
        request.context = orphan;
        (void)binding().DisconnectPlaceholderRoot(&request);
      }
    });
    job->thread_id = job->thread.get_id();
    registration_jobs_.push_back(job);
  } catch (const std::system_error& e) {
    const int code = e.code().value() != 0 ? e.code().value() : 1;
    Log(1, u"Failed to create thread for provider registration. Error code: 0x%x", {code});
    SetOsLastError(static_cast<uint32_t>(code));
    return RecordError(OSTRASYNC_ERR_OS_CALL);
  }

  int result = 0;
  platform::ConnectionContext* connection = nullptr;
  {
    std::unique_lock<std::mutex> lock(job->mutex);
    if (!job->finished.wait_for(lock, kRegistrationTimeout, [&] { return job->done; })) {
      job->abandoned = true;
      lock.unlock();
      Log(1, u"Provider registration thread execution took too much time. Error code: 0x%x",
          {platform::win32::kWaitTimeout});
      SetOsLastError(platform::win32::kWaitTimeout);
      return RecordError(OSTRASYNC_ERR_OS_CALL);
    }
    result = job->result;
    std::swap(connection, job->connection);
  }
  if (connection != nullptr) {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    connection_ = connection;
  }
  // The last error belongs to the host's thread, which is the one that reads it.
  if (result != 0) return RecordError(result);
  if (!install_mode && !created && !CheckFolderForOfflineChanges(effective)) {
    Log(4, u"Failed to scan directory: '%s'", {effective});
    return RecordError(OSTRASYNC_ERR_OS_CALL);
  }
  return 0;
}

bool SyncEngine::CheckFolderForOfflineChanges(const std::u16string& folder) {
  (void)folder;
  return true;
}

int SyncEngine::RegisterSyncProvider(RegistrationJob& job) {
  const std::u16string& path = job.effective_root;
  Log(4, u"Registering sync provider for directory: '%s'", {path});
  Log(4, u"Install mode: '%s'", {TrueFalse(job.install_mode)});
  // COM is initialised by each shell, search and registry call of the platform for itself.
  int result = 0;
  platform::HResult os_failure = 0;
  if (job.install_mode) {
    if (IsOurSyncRoot(path, job.provider_name)) return 0;
    Log(4, u"Directory is not sync root. Registering sync provider: '%s'", {path});
    RemoveStaleShellRegistration(job);
    const uint32_t state_before = binding().GetPlaceholderState(path.c_str());
    const bool was_registered =
        state_before != platform::cf::kStateInvalid && (state_before & platform::cf::kStateSyncRoot) != 0;
    platform::RegisterRootRequest request;
    request.path = path.c_str();
    request.provider_name = job.provider_name.c_str();
    request.provider_version = job.provider_version.c_str();
    request.hydration = platform::cf::kHydrationFull;
    request.hydration_modifier = 0x0004;  // auto-dehydration allowed
    request.population = job.placeholders_on_demand ? platform::cf::kPopulationFull : platform::cf::kPopulationAlwaysFull;
    request.population_modifier = 0;
    request.in_sync_policy = 0x00FFFFFF;  // track all
    request.hard_link_policy = 1;         // allowed
    request.register_flags = platform::cf::kRegisterMarkInSyncOnRoot;
    request.options = platform::kRegisterOptionSetUpIndex;
    request.index_hook = [this](std::u16string_view folder, bool add) { return SetupFolderForIndex(folder, add); };
    const platform::HResult hr = binding().RegisterPlaceholderRoot(&request);
    if (hr < 0) {
      if (hr == kAccessDenied) {
        Log(1, u"Failed to register placeholder root: Access Denied error was reported. Ensure that the installation "
               u"code is run with proper privileges (under an administrative or elevated account).");
      } else {
        Log(1, u"Failed to register placeholder root. Error code: 0x%x", {static_cast<uint32_t>(hr)});
      }
      SetOsLastError(static_cast<uint32_t>(hr));
      os_failure = hr;
      result = OSTRASYNC_ERR_INIT_FAILED;
    } else {
      Log(4, u"Registering sync provider in shell: '%s'", {path});
      result = RegisterInShell(job);
      if (result != 0 && !was_registered) {
        // Half a registration would make a retry believe the root is installed: take back the
        // cloud-files registration this call made.
        platform::UnregisterRootRequest undo;
        undo.path = path.c_str();
        undo.index_hook = request.index_hook;
        (void)binding().UnregisterPlaceholderRoot(&undo);
      } else if (result == 0) {
        Log(4, u"Registration finished with result code: 0x%x", {result});
      }
    }
  } else {
    Log(4, u"Connecting sync root: '%s'", {path});
    if (!IsOurSyncRoot(path, job.provider_name)) {
      result = OSTRASYNC_ERR_NOT_INSTALLED;
    } else {
      platform::ConnectRootRequest request;
      request.path = path.c_str();
      request.dispatcher = &SyncEngine::CallbackDispatcher;
      request.engine = this;
      request.connect_flags = platform::cf::kConnectRequireProcessInfo | platform::cf::kConnectRequireFullFilePath;
      request.open_close_notifications = job.online_only ? 1 : 0;
      request.delete_rename_notifications = 0;
      const platform::HResult hr = binding().ConnectPlaceholderRoot(&request);
      if (hr < 0) {
        Log(1, u"Failed to connect placeholder root. Error code: 0x%x", {static_cast<uint32_t>(hr)});
        SetOsLastError(static_cast<uint32_t>(hr));
        os_failure = hr;
        result = OSTRASYNC_ERR_INIT_FAILED;
      } else {
        std::lock_guard<std::mutex> lock(job.mutex);
        job.connection = request.context;
      }
    }
  }
  if (os_failure != 0) {
    Log(4, u"Registering sync provider for directory '%s' has finished with an error (OS error code 0x%x)",
        {path, static_cast<uint32_t>(os_failure)});
  } else {
    Log(4, u"Registering sync provider for directory '%s' has finished", {path});
  }
  return result;
}

platform::Win32Error SyncEngine::BuildSyncRootId(const RegistrationJob& job, std::u16string* id) {
  std::u16string sid;
  if (const platform::Win32Error e = os().user_identity().CurrentUserSid(&sid)) return e;
  *id = job.provider_id + u"!" + sid + u"!" + job.account;
  return 0;
}

int SyncEngine::RegisterInShell(const RegistrationJob& job) {
  Log(4, u"Registering sync provider in Windows shell...");
  std::u16string id;
  if (const platform::Win32Error e = BuildSyncRootId(job, &id)) {
    SetOsLastError(e);
    return OSTRASYNC_ERR_INIT_FAILED;
  }
  if (!job.item_domain.empty() && !IsDirectory(job.effective_root)) {
    if (const platform::Win32Error e = os().file_system().MakeFolder(job.effective_root)) {
      SetOsLastError(e);
      Log(4, u"Failed to create directory '%s' for a root", {job.effective_root});
      return OSTRASYNC_ERR_INIT_FAILED;
    }
  }
  platform::ShellSyncRoot root;
  root.display_name = job.label;
  Log(4, u"Sync folder label: %s", {job.label});
  root.icon = job.icon;
  root.hydration_policy = 2;           // Full
  root.hydration_policy_modifier = 0;  // None
  root.population_policy = job.placeholders_on_demand ? 1 : 2;  // Full : AlwaysFull
  root.in_sync_policy = 0x11;          // file and directory creation time
  root.version = job.provider_version;
  root.show_siblings_as_group = false;
  root.allow_pinning = true;
  root.hardlink_policy = 0;            // None
  root.recycle_bin_uri = job.recycle_bin_url;
  Log(4, u"Sync Root Id is %s", {id});
  root.id = id;
  root.path = job.effective_root;
  const platform::HResult hr = os().shell_registration().RegisterSyncRoot(root);
  if (hr < 0) {
    Log(4, u"Registering sync provider in Windows Shell failed. Error code: 0x%x", {static_cast<uint32_t>(hr)});
    SetOsLastError(static_cast<uint32_t>(hr));
    return hr;
  }
  // The shell finishes its side of the registration in the background.
  std::this_thread::sleep_for(std::chrono::milliseconds(job.wait_for_install_ms));
  return 0;
}

void SyncEngine::RemoveStaleShellRegistration(const RegistrationJob& job) {
  std::u16string id;
  if (BuildSyncRootId(job, &id) != 0) return;
  platform::Registry& registry = os().registry();
  const std::u16string key = kSyncRootManagerKey + id;
  uint32_t type = 0;
  std::u16string clsid;
  if (registry.ReadValue(platform::RegistryRoot::kLocalMachine, key, u"NamespaceCLSID", &type, &clsid) != 0 ||
      type != platform::kRegSz) {
    return;
  }
  (void)registry.DeleteTree(platform::RegistryRoot::kLocalMachine, key);
  // Anything but a class id would aim the delete at the user's whole class registry.
  if (IsWellFormedGuid(clsid)) {
    (void)registry.DeleteTree(platform::RegistryRoot::kCurrentUser, kUserClassesKey + clsid);
  }
}

platform::HResult SyncEngine::SetupFolderForIndex(std::u16string_view path, bool add) {
  std::u16string_view local = path;
  if (local.starts_with(u"\\\\?\\")) local.remove_prefix(4);
  const std::u16string url = u"file:///" + std::u16string(local);
  platform::SearchIndexer& indexer = os().search_indexer();
  const platform::HResult hr = add ? indexer.AddScopeRule(url) : indexer.RemoveScopeRule(url);
  if (hr == platform::kHResultSearchServiceDisabled) {
    Log(3, u"SetupFolderForIndex called for '%s' failed as Windows Search service is disabled", {path});
    return platform::kSOk;
  }
  return hr;
}

void SyncEngine::ReapRegistrationThreads(bool all) {
  std::vector<std::shared_ptr<RegistrationJob>> finished;
  {
    std::lock_guard<std::mutex> lock(registration_mutex_);
    auto keep = registration_jobs_.begin();
    for (auto& job : registration_jobs_) {
      bool done = false;
      {
        std::lock_guard<std::mutex> job_lock(job->mutex);
        done = job->done;
      }
      const bool own = job->thread_id == std::this_thread::get_id();
      if ((done || all) && !own) {
        finished.push_back(std::move(job));
      } else {
        *keep++ = std::move(job);
      }
    }
    registration_jobs_.erase(keep, registration_jobs_.end());
  }
  for (auto& job : finished) {
    if (job->thread.joinable()) job->thread.join();
  }
}

bool SyncEngine::RegistrationThreadIsCurrent() const {
  const std::thread::id self = std::this_thread::get_id();
  return std::any_of(registration_jobs_.begin(), registration_jobs_.end(),
                     [&](const auto& job) { return job->thread_id == self; });
}

// ---- Uninstall ----

int SyncEngine::Uninstall() {
  Log(3, u"Uninstallation started");
  if (ActiveOrActivating()) {
    // A failed deactivation leaves the root in use: nothing is unregistered.
    if (const int stopped = do_Deactivate()) return stopped;
    if (ActiveOrActivating()) return RecordError(OSTRASYNC_ERR_ALREADY_STARTED);
  }
  // A connection whose disconnect failed still stands: unregistering under it would strand it.
  // One more attempt, and the root is left alone if that fails too.
  bool connected = false;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    connected = connection_ != nullptr;
  }
  if (connected) {
    DeactivateProvider();
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    connected = connection_ != nullptr;
  }
  if (connected) return RecordError(OSTRASYNC_ERR_OS_CALL);
  NormalizeSyncRootPathOnce();
  if (const int invalid = CheckItemDomain()) return invalid;
  std::shared_ptr<RegistrationJob> job = SnapshotRegistration(false);
  const std::u16string& root = job->effective_root;
  uint32_t attributes = 0;
  if (os().file_system().ReadAttributes(root, &attributes) != 0) {
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextNotASyncRoot);
  }
  if (!IsOurSyncRoot(root, job->provider_name)) return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER);

  platform::UnregisterRootRequest request;
  request.path = root.c_str();
  request.index_hook = [this](std::u16string_view folder, bool add) { return SetupFolderForIndex(folder, add); };
  const platform::HResult unregistered = binding().UnregisterPlaceholderRoot(&request);
  // The shell's records go even when the cloud-files step failed, so nothing is left pointing
  // at a root the shell no longer knows.
  const int shell = UnregisterFromShell(*job);
  RemoveStaleShellRegistration(*job);
  if (shell != 0) return RecordError(shell);
  if (unregistered < 0) {
    SetOsLastError(static_cast<uint32_t>(unregistered));
    return RecordError(OSTRASYNC_ERR_OS_CALL);
  }
  if ((attributes & platform::attr::kDirectory) != 0) {
    bool removed = false;
    (void)DeleteEmptyDirectories(root, root, &removed);
  }
  return 0;
}

int SyncEngine::UnregisterFromShell(const RegistrationJob& job) {
  Log(4, u"Unregistering sync provider from Windows shell...");
  std::u16string id;
  if (const platform::Win32Error e = BuildSyncRootId(job, &id)) {
    Log(4, u"Unregistering sync provider from Windows shell failed. Error code: 0x%x", {e});
    SetOsLastError(e);
    return OSTRASYNC_ERR_OS_CALL;
  }
  Log(4, u"Sync Root Id is %s", {id});
  const platform::HResult hr = os().shell_registration().UnregisterSyncRoot(id);
  if (hr >= 0) {
    Log(4, u"Unregistering sync provider from Windows shell succeeded");
    return 0;
  }
  if (hr == platform::kHResultNotFound) {
    Log(4, u"Unregistering sync provider from Windows shell succeeded with CfApi returning ERROR_NOT_FOUND ('No such "
           u"element')");
    return 0;
  }
  Log(4, u"Unregistering sync provider from Windows shell failed. Error code: 0x%x", {static_cast<uint32_t>(hr)});
  SetOsLastError(static_cast<uint32_t>(hr));
  return OSTRASYNC_ERR_OS_CALL;
}

bool SyncEngine::DeleteEmptyDirectories(const std::u16string& folder, const std::u16string& root, bool* removed) {
  *removed = false;
  Log(4, u"Deleting local empty directories in '%s'", {folder});
  platform::FileSystem& files = os().file_system();
  std::vector<platform::FindData> entries;
  if (const platform::Win32Error e = files.Find(folder + u"\\*", &entries)) {
    Log(1, u"Failed to search for directory content: '%s'. OS error: 0x%x", {folder, e});
    return false;
  }
  bool result = true;
  bool has_content = false;
  for (const platform::FindData& entry : entries) {
    if (entry.name == u"." || entry.name == u"..") continue;
    if ((entry.attributes & platform::attr::kDirectory) == 0 || IsForeignReparsePoint(entry)) {
      has_content = true;
      continue;
    }
    const std::u16string child = folder + u"\\" + entry.name;
    bool child_removed = false;
    const bool child_result = DeleteEmptyDirectories(child, root, &child_removed);
    Log(4, u"Deletion of local empty subdirectories finished for '%s'. Result: %s", {child, TrueFalse(child_result)});
    result = result && child_result;
    // A subfolder that stays holds something, so this folder is not empty either.
    if (!child_removed) has_content = true;
  }
  if (!has_content) {
    uint32_t attributes = 0;
    if (files.ReadAttributes(folder, &attributes) == 0) {
      uint32_t cleared = attributes & ~(platform::attr::kReadOnly | platform::attr::kSystem | platform::attr::kArchive);
      if (cleared != attributes) (void)files.WriteAttributes(folder, cleared == 0 ? platform::attr::kNormal : cleared);
    }
    if (!EqualsIgnoreCase(folder, root)) {
      if (files.RemoveFolder(folder) == 0) {
        *removed = true;
      } else {
        result = false;
      }
    }
  }
  Log(4, u"Deletion of local empty directories finished for '%s'. Result: %s", {folder, TrueFalse(result)});
  return result;
}

}  // namespace ostrasync::engine
