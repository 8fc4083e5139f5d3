// A host for engine tests: a component over the Linux emulation with its own state folder, a
// temporary sync root, and the events the component raised.
#ifndef OSTRASYNC_TESTS_ENGINE_ENGINE_HOST_H_
#define OSTRASYNC_TESTS_ENGINE_ENGINE_HOST_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/kelvo.h"
#include "ostrasync.h"
#include "platform/platform.h"
#include "platform/posix/change_notifier_inotify.h"
#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/file_system_posix.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/shell_state_posix.h"
#include "platform/posix/system_services_posix.h"
#include "test_timing.h"

namespace ostrasync::testing {

// The emulation, with the shell's records in `state_dir` instead of the user's own state folder.
class EmulatedPlatform final : public platform::Platform {
 public:
  // `request_timeout_ms`: how long the emulated OS waits for the provider's answer to a callback
  // (see kOsWaitsMs).
  explicit EmulatedPlatform(const std::string& state_dir, bool search_disabled = false,
                            uint32_t request_timeout_ms = kOsWaitsMs)
      : cloud_files_(platform::NewEmulatedCloudFiles(platform::EmulationSettings{request_timeout_ms})),
        file_system_(platform::NewPosixFileSystem()),
        change_notifier_(platform::NewInotifyChangeNotifier()),
        system_(platform::NewPosixSystemServices()),
        state_(platform::NewPosixShellState(state_dir, platform::PosixShellStateOptions{search_disabled})) {}
  platform::CloudFiles& cloud_files() override { return *cloud_files_; }
  platform::FileSystem& file_system() override { return *file_system_; }
  platform::ChangeNotifier& change_notifier() override { return *change_notifier_; }
  platform::Shell& shell() override { return shell_; }
  platform::SystemServices& system() override { return *system_; }
  platform::ShellRegistration& shell_registration() override { return *state_.shell_registration; }
  platform::SearchIndexer& search_indexer() override { return *state_.search_indexer; }
  platform::Registry& registry() override { return *state_.registry; }
  platform::UserIdentity& user_identity() override { return *state_.user_identity; }

 private:
  class NoMarkShell final : public platform::Shell {
   public:
    platform::HResult SetLastSyncError(const std::u16string&, bool) override { return 0; }
  };
  std::unique_ptr<platform::CloudFiles> cloud_files_;
  std::unique_ptr<platform::FileSystem> file_system_;
  std::unique_ptr<platform::ChangeNotifier> change_notifier_;
  std::unique_ptr<platform::SystemServices> system_;
  NoMarkShell shell_;
  platform::PosixShellState state_;
};

struct HostEvent {
  int id = 0;
  int code = 0;      // Activated: ResultCode; Error: ErrorCode; Log: level; task events: ResultCode
  std::string text;  // Error: description; Log: line; task events: Path
  int64_t task_id = 0;  // events that carry a TaskId
  int64_t offset = 0;   // GetFileData: the range asked for
  int64_t length = 0;
};

// The slot of the in/out ResultCode of the events that carry a TaskId, or -1.
inline int ResultCodeSlot(int event_id) {
  switch (event_id) {
    case OSTRASYNC_EVENT_CANCEL_TASK: return 2;
    case OSTRASYNC_EVENT_CREATE_FILE: return 7;
    case OSTRASYNC_EVENT_CREATE_FOLDER: return 6;
    case OSTRASYNC_EVENT_DELETE_FILE: case OSTRASYNC_EVENT_DELETE_FOLDER: return 3;
    case OSTRASYNC_EVENT_GET_FILE_DATA: return 4;
    case OSTRASYNC_EVENT_LIST_DIRECTORY: case OSTRASYNC_EVENT_RENAME_FILE: case OSTRASYNC_EVENT_RENAME_FOLDER: return 3;
    case OSTRASYNC_EVENT_UPDATE_FILE: return 8;
    case OSTRASYNC_EVENT_UPDATE_FOLDER: return 7;
    default: return -1;
  }
}

// One component, called only through the exported functions.
class EngineHost {
 public:
  using Handler = std::function<void(const HostEvent&)>;
  // Answers an event: runs before the event is recorded and may change it (event.code is then
  // the ResultCode handed back for task events); returns the callback's result.
  using Answer = std::function<int(HostEvent& event)>;

  explicit EngineHost(platform::Platform& platform) {
    // Made once the members it reports to exist: the component logs while it is built.
    kelvo_ = new component::Kelvo(&EngineHost::Callback, this, false, &platform);
    Config("CodePage=65001");
    Config("LogLevel=5");
    Config("WaitForInstallToComplete=0");
  }
  ~EngineHost() { Destroy(); }
  EngineHost(const EngineHost&) = delete;
  EngineHost& operator=(const EngineHost&) = delete;

  void* handle() const { return kelvo_; }
  void Destroy() {
    if (kelvo_ != nullptr) {
      Config("LogLevel=3");  // the level is the process's: leave it as other tests expect it
      EXPECT_EQ(OstraSync_Kelvo_Destroy(kelvo_), 0);
    }
    kelvo_ = nullptr;
  }

  int Do(int method, std::vector<void*> params = {}) {
    std::vector<int> cb(params.size() + 1, 0);
    params.push_back(nullptr);
    return OstraSync_Kelvo_Do(kelvo_, method, static_cast<int>(params.size() - 1), params.data(), cb.data());
  }
  int Config(const std::string& setting) {
    std::vector<char> text(setting.begin(), setting.end());
    text.push_back('\0');
    return Do(OSTRASYNC_METHOD_CONFIG, {text.data(), nullptr});
  }
  int Install() { return Do(OSTRASYNC_METHOD_INSTALL); }
  int Uninstall() { return Do(OSTRASYNC_METHOD_UNINSTALL); }
  int Activate(bool synchronous) {
    return Do(OSTRASYNC_METHOD_ACTIVATE, {reinterpret_cast<void*>(static_cast<intptr_t>(synchronous ? 1 : 0))});
  }
  int Deactivate() { return Do(OSTRASYNC_METHOD_DEACTIVATE); }
  int SetRoot(const std::string& posix_path) {
    return OstraSync_Kelvo_Set(kelvo_, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0, Utf8(platform::ToWin32Path(posix_path)).c_str());
  }
  int State() const { return static_cast<int>(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(kelvo_, OSTRASYNC_PROP_STATE))); }
  std::string LastErrorText() const { return OstraSync_Kelvo_GetLastError(kelvo_); }

  void set_handler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }
  void set_answer(Answer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
  }
  // Waits until `count` events of `id` have come; false after `timeout`.
  bool WaitForEvents(int id, size_t count, std::chrono::milliseconds timeout = kTestPatience) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      size_t n = 0;
      for (const HostEvent& e : events_) n += e.id == id;
      return n >= count;
    });
  }
  std::vector<HostEvent> Events(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HostEvent> out;
    for (const HostEvent& e : events_) if (e.id == id) out.push_back(e);
    return out;
  }
  bool Logged(const std::string& fragment) {
    for (const HostEvent& e : Events(OSTRASYNC_EVENT_LOG)) {
      if (e.text.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
  // Waits for the Activated event and returns its ResultCode (-12345 on time-out).
  int WaitForActivated() {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool came = changed_.wait_for(lock, kTestPatience, [&] {
      for (const HostEvent& e : events_) if (e.id == OSTRASYNC_EVENT_ACTIVATED) return true;
      return false;
    });
    if (!came) return -12345;
    for (const HostEvent& e : events_) if (e.id == OSTRASYNC_EVENT_ACTIVATED) return e.code;
    return -12345;
  }

  static std::string Utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(static_cast<char>(c));  // test paths are ASCII
    return out;
  }

 private:
  static int Callback(void* context, int id, int count, void* params[], int*) {
    auto* self = static_cast<EngineHost*>(context);
    HostEvent event;
    event.id = id;
    if (id == OSTRASYNC_EVENT_ACTIVATED || id == OSTRASYNC_EVENT_ERROR || id == OSTRASYNC_EVENT_LOG) {
      event.code = static_cast<int>(reinterpret_cast<intptr_t>(params[0]));
      if (count > 1 && params[1] != nullptr) event.text = static_cast<const char*>(params[1]);
    }
    const int result_slot = ResultCodeSlot(id);
    if (result_slot >= 0 && result_slot < count) {
      event.task_id = *static_cast<const int64_t*>(params[0]);
      if (params[1] != nullptr) event.text = static_cast<const char*>(params[1]);
      event.code = static_cast<int>(reinterpret_cast<intptr_t>(params[result_slot]));
    }
    if (id == OSTRASYNC_EVENT_GET_FILE_DATA && count > 3) {
      event.offset = *static_cast<const int64_t*>(params[2]);
      event.length = *static_cast<const int64_t*>(params[3]);
    }
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      answer = self->answer_;
    }
    int result = 0;
    if (answer && id != OSTRASYNC_EVENT_LOG) {
      result = answer(event);
      if (result_slot >= 0 && result_slot < count) params[result_slot] = reinterpret_cast<void*>(static_cast<intptr_t>(event.code));
    }
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->events_.push_back(event);
      handler = self->handler_;
    }
    self->changed_.notify_all();
    if (handler) handler(event);
    return result;
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // signalled when events_ grows
  std::vector<HostEvent> events_;    // guarded by mutex_
  Handler handler_;                  // guarded by mutex_
  Answer answer_;                    // guarded by mutex_
  component::Kelvo* kelvo_ = nullptr;
};

// A temporary folder holding the sync root ("Cloud") and the shell's state ("state").
class TempTree {
 public:
  TempTree() {
    char pattern[] = "/tmp/ostrasync-engine-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
    std::filesystem::create_directory(root());
  }
  ~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string root() const { return path_ + "/Cloud"; }
  std::string state() const { return path_ + "/state"; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ostrasync::testing

#endif  // OSTRASYNC_TESTS_ENGINE_ENGINE_HOST_H_
