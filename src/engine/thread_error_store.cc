// Per-thread error codes and texts.
#include "engine/thread_error_store.h"

#include "platform/system_info.h"

namespace ostrasync::engine {

int ThreadErrorStore::Code() const {
  const uint32_t id = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(codes_mutex_);
  auto it = codes_.find(id);
  return it == codes_.end() ? 0 : it->second;
}

void ThreadErrorStore::SetCode(int code) {
  const uint32_t id = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(codes_mutex_);
  codes_[id] = code;
}

std::string& ThreadErrorStore::TextRecord() {
  const uint32_t id = platform::CurrentThreadId();
  std::lock_guard<std::mutex> lock(texts_mutex_);
  std::unique_ptr<std::string>& record = texts_[id];
  if (!record) record = std::make_unique<std::string>();
  return *record;
}

const char* ThreadErrorStore::Text() { return TextRecord().c_str(); }

bool ThreadErrorStore::TextEmpty() { return TextRecord().empty(); }

void ThreadErrorStore::SetText(std::string_view text) { TextRecord().assign(text); }

ThreadErrorStore::Snapshot ThreadErrorStore::Save() { return Snapshot{Code(), TextRecord()}; }

void ThreadErrorStore::Restore(const Snapshot& saved) { Set(saved.code, saved.text); }

}  // namespace ostrasync::engine
