// A code and a text per calling thread: the last error of the calls a thread made, or the error an
// event handler running on a thread reported. A thread never sees another thread's entries.
#ifndef OSTRASYNC_ENGINE_THREAD_ERROR_STORE_H_
#define OSTRASYNC_ENGINE_THREAD_ERROR_STORE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace ostrasync::engine {

class ThreadErrorStore {
 public:
  struct Snapshot {
    int code = 0;
    std::string text;
  };

  int Code() const;                    // 0 when the thread never set one
  void SetCode(int code);
  // The thread's text; the pointer stays valid until this thread changes its text again, or the
  // store is destroyed.
  const char* Text();
  bool TextEmpty();
  void SetText(std::string_view text);
  void Set(int code, std::string_view text) {
    SetText(text);
    SetCode(code);
  }

  Snapshot Save();
  void Restore(const Snapshot& saved);

 private:
  std::string& TextRecord();

  mutable std::mutex codes_mutex_;
  std::map<uint32_t, int> codes_;  // guarded by codes_mutex_
  std::mutex texts_mutex_;
  // guarded by texts_mutex_ (the map); each string is written only by its own thread
  std::map<uint32_t, std::unique_ptr<std::string>> texts_;
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_THREAD_ERROR_STORE_H_
