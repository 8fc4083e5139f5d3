// The engine's lifecycle: activation (on the caller's thread or an activation thread),
// deactivation, the activation-time objects and the engine's destruction.
#include <chrono>
#include <system_error>
#include <thread>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/sync_root_path.h"

namespace ostrasync::engine {

// One activation, shared by the engine and the thread running it so that the thread's last step,
// marking the run over, never touches an engine a handler may have destroyed.
struct ActivationRun {
  std::atomic<uint32_t> running{1};
  std::mutex mutex;
  std::thread::id thread;  // guarded by mutex: the thread running IntActivate
};

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

bool IsRunThread(const std::shared_ptr<ActivationRun>& run) {
  if (!run) return false;
  std::lock_guard<std::mutex> lock(run->mutex);
  return run->running.load() != 0 && run->thread == std::this_thread::get_id();
}

}  // namespace

// ---- Activate ----

int SyncEngine::do_Activate(bool synchronous) {
  Log(4, u"Starting...");
  Log(4, u"do_Activate %s", {synchronous ? u"true" : u"false"});
  if (ActiveOrActivating()) return RecordError(OSTRASYNC_ERR_ALREADY_STARTED);
  // Only now may the thread of an earlier asynchronous activation still be finishing its
  // Activated handler; it is waited for before a new one starts.
  JoinActivationThread();
  stop_activation_requested_.store(0);
  activating_.store(1);
  NormalizeSyncRootPathOnce();

  auto run = std::make_shared<ActivationRun>();
  if (synchronous) {
    {
      std::lock_guard<std::mutex> lock(run->mutex);
      run->thread = std::this_thread::get_id();
    }
    {
      std::lock_guard<std::mutex> lock(lifecycle_mutex_);
      activation_run_ = run;
    }
    const int result = IntActivate(true);
    run->running.store(0);
    return result;
  }

  int thread_error = 0;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    activation_run_ = run;
    try {
      // The run is stored before the thread starts, so the thread can never end before a stop
      // request can find it.
      activation_thread_ = std::thread([this, run] {
        {
          std::lock_guard<std::mutex> run_lock(run->mutex);
          run->thread = std::this_thread::get_id();
        }
        (void)IntActivate(false);
        // The last touch of the run; the engine may be gone if the Activated handler destroyed it.
        run->running.store(0);
      });
    } catch (const std::system_error& e) {
      activation_run_.reset();
      thread_error = e.code().value() != 0 ? e.code().value() : 1;
    }
  }
  if (thread_error != 0) {
    // Outside the lock: the Activated handler may call straight back into the engine.
    activating_.store(0);
    FireActivated(thread_error);
    Log(4, u"do_Activate result 0x%x", {thread_error});
    return RecordError(thread_error);
  }
  Log(4, u"do_Activate result 0");
  return 0;
}

int SyncEngine::IntActivate(bool synchronous) {
  Log(3, u"> Activating...");
  Log(4, u"IntActivate Synchronous(%s)", {synchronous ? u"true" : u"false"});
  int result = 0;
  bool launched = false;
  if (!InitializeOsObjects()) {
    result = RecordError(OSTRASYNC_ERR_INIT_FAILED);
  } else if (stop_activation_requested_.load() != 0) {
    result = RecordError(OSTRASYNC_ERR_CANCELLED);
  } else {
    result = LaunchProvider();
    launched = result == 0;
    if (result == 0) result = StartCheckExpiredPendingTasksThread();
    if (result == 0 && stop_activation_requested_.load() != 0) result = RecordError(OSTRASYNC_ERR_CANCELLED);
    if (result == 0) Log(3, u"< Activated successfully");
  }
  if (result != 0) {
    // A launched provider is taken down before the objects its callbacks and threads use go.
    if (launched) {
      StopEngineThreads();
      DeactivateProvider();
    }
    IntUninitialize();
  }
  activating_.store(0);
  Log(4, u"IntActivate result 0x%x", {result});
  if (!synchronous && stop_activation_requested_.load() == 0) {
    // Last, because the handler may deactivate or even destroy the engine.
    FireActivated(result);
  }
  return result;
}

bool SyncEngine::InitializeOsObjects() {
  Log(4, u"Initializing OS dependent internal objects (Windows)");
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (placeholder_manager_) {
    Log(4, u"Engine event handler is already initialized");
    return true;
  }
  const std::u16string root = EffectiveRootPath();
  std::u16string long_root;
  if (const platform::Win32Error e = os().file_system().LongPath(root, &long_root)) {
    SetOsLastError(e);
    Log(1, u"Failed to initialize placeholder manager");
    return false;
  }
  placeholder_manager_ = std::make_shared<items::PlaceholderManager>(*this, long_root, VolumeRelativeFolder(long_root));
  Log(4, u"Windows cloud API engine initialized");
  if (settings_.serialize_events.load()) serialize_events_lock_ = std::make_shared<std::recursive_mutex>();
  Log(4, u"OS dependent internal objects initialization finished");
  return true;
}

void SyncEngine::UninitializeOsObjects() {
  Log(4, u"Uninitializing OS dependent internal objects");
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  serialize_events_lock_.reset();
  placeholder_manager_.reset();
  Log(4, u"OS dependent internal objects uninitialization finished");
}

int SyncEngine::LaunchProvider() {
  Log(4, u"Launching Cloud API provider");
  install_mode_.store(0);
  int result = RegisterCloudProvider(false);
  if (result == 0 && !settings_.windows_create_placeholders_on_demand.load()) {
    Log(4, u"Creating placeholders...");
    result = PopulateRoot();
    Log(4, u"Creating placeholders finished. Error code: 0x%x", {result});
    if (result != 0) result = RecordError(result);
  }
  if (result == 0) {
    auto watcher = std::make_unique<ChangeWatcher>(
        EffectiveRootPath(), os().change_notifier(), deactivating_,
        [this](int level, std::u16string_view format, std::initializer_list<LogArg> args) { Log(level, format, args); });
    const bool started = watcher->Start();
    {
      std::lock_guard<std::mutex> lock(lifecycle_mutex_);
      watcher_ = std::move(watcher);
    }
    if (!started) {
      Log(1, u"Failed to start directory changes watcher");
      result = RecordError(OSTRASYNC_ERR_INIT_FAILED);
    }
  }
  if (result == 0) {
    if (const int e = monitor_thread_.Start([this] { PendingOperationsMonitor(); })) {
      Log(1, u"Failed to create thread for async operations monitoring. OS error code: 0x%x", {e});
      result = RecordError(OSTRASYNC_ERR_INIT_FAILED);
    }
  }
  if (result == 0) {
    if (const int e = retry_thread_.Start([this] { EventRetryThread(); })) {
      Log(1, u"Failed to create thread for retry events queue monitoring. OS error code: 0x%x", {e});
      result = RecordError(OSTRASYNC_ERR_INIT_FAILED);
    }
  }
  if (result != 0) {
    StopEngineThreads();
    DeactivateProvider();
  }
  active_.store(result == 0 ? 1 : 0);
  Log(4, u"Launching provider finished with result: 0x%x", {result});
  return result;
}

int SyncEngine::StartCheckExpiredPendingTasksThread() {
  if (settings_.pending_task_timeout_s.load() < 1) return 0;
  if (const int e = checker_thread_.Start([this] { ExpiredTaskChecker(); })) {
    Log(4, u"StartCheckExpiredPendingTasksThread result 0x%x", {e});
    return RecordError(e);
  }
  Log(4, u"StartCheckExpiredPendingTasksThread result 0");
  return 0;
}


// ---- Deactivate ----

int SyncEngine::do_Deactivate() {
  Log(4, u"Stopping...");
  Log(4, u"do_Deactivate");
  if (!ActiveOrActivating()) return RecordError(kWinNotReady, kTextNotActive);
  if (deactivating_.load() != 0) return 0;
  if (activating_.load() != 0) {
    IntStopActivating();
    // On the activating thread itself (a handler during activation) the request is all that can
    // be done: the activation sees it and takes down what it launched.
    if (activating_.load() != 0) return 0;
  }
  if (OnEngineThread()) {
    // A handler on one of the engine's own threads cannot wait for that thread; the threads are
    // told to stop and the host's next Deactivate or Destroy finishes the work.
    monitor_thread_.RequestStop();
    retry_thread_.RequestStop();
    checker_thread_.RequestStop();
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    deactivating_thread_ = std::this_thread::get_id();
  }
  deactivating_.store(1);
  return IntDeactivate();
}

void SyncEngine::IntStopActivating() {
  Log(4, u"IntStopActivating");
  stop_activation_requested_.store(1);
  std::shared_ptr<ActivationRun> run;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    run = activation_run_;
  }
  if (!run || IsRunThread(run)) return;
  while (run->running.load() != 0 && activating_.load() != 0) std::this_thread::sleep_for(kPollInterval);
  JoinActivationThread();
}

int SyncEngine::IntDeactivate() {
  Log(3, u"> Deactivating...");
  Log(4, u"IntDeactivate");
  // Every engine thread is joined before anything it uses is released.
  StopEngineThreads();
  int result = CancelAllTransfers();
  if (result == 0) {
    // The host has been told to drop its work; the callbacks still inside a handler now end, and
    // nothing they use is released before they have (the calling callback's own excepted).
    WaitForCallbacksToDrain();
    DeactivateProvider();
    IntUninitialize();
  }
  checker_thread_.RequestStop();
  Log(3, u"< Deactivated");
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    deactivating_thread_ = {};
  }
  deactivating_.store(0);
  Log(4, u"IntDeactivate result 0x%x", {result});
  return result;
}

void SyncEngine::StopEngineThreads() {
  monitor_thread_.RequestStop();
  retry_thread_.RequestStop();
  checker_thread_.RequestStop();
  monitor_thread_.Join();
  retry_thread_.Join();
  checker_thread_.Join();
}

void SyncEngine::DeactivateProvider() {
  std::unique_ptr<ChangeWatcher> watcher;
  platform::ConnectionContext* connection = nullptr;
  {
    // Each object is taken out under the lock, so a second call finds nothing left to release.
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    watcher = std::move(watcher_);
    connection = connection_;
    connection_ = nullptr;
  }
  if (!watcher && connection == nullptr && active_.load() == 0) return;
  Log(4, u"Deactivating Windows Cloud provider...");
  if (watcher) {
    watcher->Stop();
    watcher.reset();
  }
  if (connection != nullptr) {
    platform::DisconnectRootRequest request;
    request.context = connection;
    const platform::HResult hr = binding().DisconnectPlaceholderRoot(&request);
    if (hr < 0) {
      // The connection still stands and may call back; it is kept for a later attempt.
      Log(1, u"Failed to disconnect placeholder root. Error code: 0x%x", {static_cast<uint32_t>(hr)});
      SetOsLastError(static_cast<uint32_t>(hr));
      std::lock_guard<std::mutex> lock(lifecycle_mutex_);
      connection_ = connection;
    }
  }
  // Callbacks admitted before the flags changed may still be using the activation-time objects.
  WaitForCallbacksToDrain();
  Log(4, u"Deactivating Windows Cloud provider finished. Error code: 0x%x", {0});
  active_.store(0);
}

void SyncEngine::IntUninitialize() {
  Log(3, u"> Uninitializing...");
  Log(4, u"IntUninitialize");
  UninitializeOsObjects();
  metadata_cache_.ClearCache();
  pending_operations_.Clear();
  Log(3, u"< Uninitialized");
}

bool SyncEngine::OnEngineThread() const {
  if (monitor_thread_.IsCurrentThread() || retry_thread_.IsCurrentThread() || checker_thread_.IsCurrentThread()) {
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    if (watcher_ && watcher_->IsOwnThread()) return true;
  }
  std::lock_guard<std::mutex> lock(registration_mutex_);
  return RegistrationThreadIsCurrent();
}

void SyncEngine::JoinActivationThread() {
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    if (!activation_thread_.joinable()) return;
    if (activation_thread_.get_id() == std::this_thread::get_id()) {
      // A handler on the activation thread: the thread ends by itself right after it returns.
      activation_thread_.detach();
      return;
    }
    finished = std::move(activation_thread_);
  }
  finished.join();
}

// ---- Destruction ----

SyncEngine::~SyncEngine() {
  if (activating_.load() != 0) IntStopActivating();
  bool deactivating_here = false;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    deactivating_here = deactivating_thread_ == std::this_thread::get_id();
  }
  while (deactivating_.load() != 0 && !deactivating_here) std::this_thread::sleep_for(kPollInterval);
  if (active_.load() != 0 && !deactivating_here) (void)do_Deactivate();
  // Whatever a failed deactivation left running is taken down all the same.
  StopEngineThreads();
  DeactivateProvider();
  // A callback that deactivated the engine from its own handler is still on its way out of the
  // dispatcher; the engine it is leaving must outlive it.
  WaitForCallbacksToDrain();
  bool initialized = false;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    initialized = placeholder_manager_ != nullptr;
  }
  if (initialized) IntUninitialize();
  JoinActivationThread();
  ReapRegistrationThreads(true);
}

}  // namespace ostrasync::engine
