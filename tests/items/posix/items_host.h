// A component over the Linux emulation for item tests, called through the exports, with what its
// UpdateFile handler saw and a way to look at placeholders as the file system holds them.
#ifndef OSTRASYNC_TESTS_ITEMS_ITEMS_HOST_H_
#define OSTRASYNC_TESTS_ITEMS_ITEMS_HOST_H_

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "component/kelvo.h"
#include "engine/posix/engine_host.h"
#include "ostrasync.h"
#include "platform/posix/path_mapping.h"
#include "platform/text_codec.h"

namespace ostrasync::testing {

inline constexpr int64_t kCreated = 132000000000000000;   // 2019-04-13
inline constexpr int64_t kAccessed = 132100000000000000;  // 2019-08-07
inline constexpr int64_t kWritten = 132200000000000000;   // 2019-12-01

struct UpdateEvent {
  int64_t task_id = 0;
  std::string path;
  int change_flags = 0;
  int attributes = 0;
  int64_t size = 0;
};

// What the emulation holds for one item.
struct ItemState {
  bool exists = false;
  uint32_t attributes = 0;  // Windows attributes
  uint32_t state = 0;       // cf::kState* bits
  platform::PlaceholderInfo info;
  platform::FindData find;
  bool placeholder() const { return (state & platform::cf::kStatePlaceholder) != 0; }
  bool hydrated() const { return placeholder() && (state & platform::cf::kStatePartial) == 0; }
  bool in_sync() const { return info.in_sync_state == platform::cf::kInSync; }
  bool pinned() const { return (attributes & platform::attr::kPinned) != 0; }
  std::u16string identity() const {
    std::u16string id;
    for (size_t i = 0; i + 3 < info.identity.size(); i += 2) {  // without the terminating NUL
      id.push_back(static_cast<char16_t>(info.identity[i] | info.identity[i + 1] << 8));
    }
    return id;
  }
};

class ItemsHost {
 public:
  // `observer` looks at the disk past any fault injection in `platform`.
  ItemsHost(platform::Platform& platform, const TempTree& tree, platform::Platform* observer = nullptr)
      : tree_(tree), observer_(observer ? *observer : platform) {
    kelvo_ = new component::Kelvo(&ItemsHost::Callback, this, false, &platform);
    Config("CodePage=65001");
    Config("LogLevel=5");
    Config("WaitForInstallToComplete=0");
    EXPECT_EQ(OstraSync_Kelvo_Set(kelvo_, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0,
                                  EngineHost::Utf8(platform::ToWin32Path(tree_.root())).c_str()),
              0);
  }
  ~ItemsHost() {
    Config("LogLevel=3");  // the level is the process's: leave it as other tests expect it
    EXPECT_EQ(OstraSync_Kelvo_Destroy(kelvo_), 0);
  }
  ItemsHost(const ItemsHost&) = delete;
  ItemsHost& operator=(const ItemsHost&) = delete;

  // Installs and activates; false (with the reason reported) when that fails.
  bool Start() {
    const int installed = Do(OSTRASYNC_METHOD_INSTALL, {});
    EXPECT_EQ(installed, 0) << LastErrorText();
    const int activated = Do(OSTRASYNC_METHOD_ACTIVATE, {reinterpret_cast<void*>(intptr_t{1})});
    EXPECT_EQ(activated, 0) << LastErrorText();
    return installed == 0 && activated == 0;
  }

  engine::SyncEngine& engine() { return kelvo_->engine(); }
  // The full Win32 path of a relative one ("\dir\a.txt").
  std::u16string Full(const std::string& relative) const {
    std::string posix = tree_.root();
    for (char c : relative) posix.push_back(c == '\\' ? '/' : c);
    if (!posix.empty() && posix.back() == '/') posix.pop_back();
    return platform::ToWin32Path(posix);
  }
  std::string Posix(const std::string& relative) const {
    std::string posix = tree_.root();
    for (char c : relative) posix.push_back(c == '\\' ? '/' : c);
    return posix;
  }

  int Do(int method, std::vector<void*> params) {
    std::vector<int> cb(params.size() + 1, 0);
    params.push_back(nullptr);
    return OstraSync_Kelvo_Do(kelvo_, method, static_cast<int>(params.size() - 1), params.data(), cb.data());
  }
  int Config(const std::string& setting) {
    std::vector<char> text(setting.begin(), setting.end());
    text.push_back('\0');
    return Do(OSTRASYNC_METHOD_CONFIG, {text.data(), nullptr});
  }
  // CreateFile/UpdateFile (folder: CreateFolder/UpdateFolder) with a null or UTF-8 path.
  int Item(int method, const char* path, int attributes, int64_t size = 0, int64_t created = kCreated,
           int64_t accessed = kAccessed, int64_t written = kWritten) {
    void* attr = reinterpret_cast<void*>(static_cast<intptr_t>(attributes));
    const bool file = method == OSTRASYNC_METHOD_CREATE_FILE || method == OSTRASYNC_METHOD_UPDATE_FILE;
    if (file) return Do(method, {const_cast<char*>(path), attr, &size, &created, &accessed, &written});
    return Do(method, {const_cast<char*>(path), attr, &created, &accessed, &written});
  }
  std::string LastErrorText() const { return OstraSync_Kelvo_GetLastError(kelvo_); }
  uint32_t OsLastError() {
    std::vector<char> name{'O', 'S', 'L', 'a', 's', 't', 'E', 'r', 'r', 'o', 'r', '\0'};
    void* params[] = {name.data(), nullptr, nullptr};
    int cb[3] = {};
    if (OstraSync_Kelvo_Do(kelvo_, OSTRASYNC_METHOD_CONFIG, 2, params, cb) != 0 || params[1] == nullptr) return 0;
    return static_cast<uint32_t>(std::stoul(static_cast<const char*>(params[1])));
  }

  bool Logged(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : logs_) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  void ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.clear();
  }
  std::vector<UpdateEvent> Updates() {
    std::lock_guard<std::mutex> lock(mutex_);
    return updates_;
  }
  // What the UpdateFile handler puts in ResultCode.
  void set_update_answer(int code) { update_answer_.store(code); }

  ItemState Look(const std::string& relative) {
    ItemState out;
    const std::u16string full = Full(relative);
    std::vector<platform::FindData> found;
    if (observer_.file_system().ReadAttributes(full, &out.attributes) != 0 ||
        observer_.file_system().Find(full, &found) != 0 || found.empty()) {
      return out;
    }
    out.exists = true;
    out.find = found.front();
    out.state = observer_.cloud_files().PlaceholderStateFromFindData(out.find);
    platform::OpenRequest open;
    const bool folder = (out.attributes & platform::attr::kDirectory) != 0;
    open.flags_and_attributes = folder ? platform::open_flag::kBackupSemantics : 0;
    platform::FileHandlePtr handle;
    if (out.placeholder() && observer_.file_system().Open(full, open, &handle) == 0) {
      (void)observer_.cloud_files().GetPlaceholderInfo(*handle, platform::cf::kPlaceholderInfoStandard, &out.info);
    }
    return out;
  }

  // A plain local file with `content`.
  void WriteFile(const std::string& relative, const std::string& content) {
    std::ofstream(Posix(relative), std::ios::binary) << content;
  }
  std::string ReadFile(const std::string& relative) {
    std::ifstream in(Posix(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // A fully hydrated, in-sync placeholder holding `content`, pinned when asked.
  void MakeHydratedPlaceholder(const std::string& relative, const std::string& content, bool pinned) {
    WriteFile(relative, content);
    platform::FileHandlePtr handle;
    ASSERT_EQ(observer_.file_system().Open(Full(relative), platform::OpenRequest{}, &handle), 0u);
    const std::u16string id = platform::Utf8ToUtf16(relative);
    std::vector<uint8_t> identity;
    for (char16_t c : id) identity.insert(identity.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
    identity.insert(identity.end(), {0, 0});
    ASSERT_EQ(observer_.cloud_files().ConvertToPlaceholder(*handle, identity, platform::cf::kConvertMarkInSync), 0);
    handle.reset();
    if (pinned) {
      uint32_t attributes = 0;
      ASSERT_EQ(observer_.file_system().ReadAttributes(Full(relative), &attributes), 0u);
      ASSERT_EQ(observer_.file_system().WriteAttributes(Full(relative), attributes | platform::attr::kPinned), 0u);
    }
  }

 private:
  static int Callback(void* context, int id, int count, void* params[], int*) {
    auto* self = static_cast<ItemsHost*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (id == OSTRASYNC_EVENT_LOG && count > 1 && params[1] != nullptr) {
      self->logs_.emplace_back(static_cast<const char*>(params[1]));
    } else if (id == OSTRASYNC_EVENT_UPDATE_FILE && count == 9) {
      UpdateEvent event;
      event.task_id = *static_cast<const int64_t*>(params[0]);
      event.path = static_cast<const char*>(params[1]);
      event.change_flags = static_cast<int>(reinterpret_cast<intptr_t>(params[2]));
      event.attributes = static_cast<int>(reinterpret_cast<intptr_t>(params[3]));
      event.size = *static_cast<const int64_t*>(params[4]);
      self->updates_.push_back(event);
      params[8] = reinterpret_cast<void*>(static_cast<intptr_t>(self->update_answer_.load()));
    }
    return 0;
  }

  const TempTree& tree_;
  platform::Platform& observer_;
  component::Kelvo* kelvo_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> logs_;      // guarded by mutex_
  std::vector<UpdateEvent> updates_;   // guarded by mutex_
  std::atomic<int> update_answer_{0};
};

// A temporary tree, the emulation and a component over it.
struct ItemsWorld {
  TempTree tree;
  EmulatedPlatform platform{tree.state()};
  ItemsHost host{platform, tree};
};

}  // namespace ostrasync::testing

#endif  // OSTRASYNC_TESTS_ITEMS_ITEMS_HOST_H_
