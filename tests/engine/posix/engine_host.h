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

namespace ostrasync::testing {

// The emulation, with the shell's records in `state_dir` instead of the user's own state folder.
class EmulatedPlatform final : public platform::Platform {
 public:
  explicit EmulatedPlatform(const std::string& state_dir, bool search_disabled = false)
      : cloud_files_(platform::NewEmulatedCloudFiles(platform::EmulationSettings{200})),
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
  int code = 0;      // Activated: ResultCode; Error: ErrorCode; Log: level
  std::string text;  // Error: description; Log: line
};

// One component, called only through the exported functions.
class EngineHost {
 public:
  using Handler = std::function<void(const HostEvent&)>;

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
    const bool came = changed_.wait_for(lock, std::chrono::seconds(20), [&] {
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
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->events_.push_back(event);
      handler = self->handler_;
    }
    self->changed_.notify_all();
    if (handler) handler(event);
    return 0;
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // signalled when events_ grows
  std::vector<HostEvent> events_;    // guarded by mutex_
  Handler handler_;                  // guarded by mutex_
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
