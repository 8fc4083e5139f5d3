// One engine-owned thread with its stop flag, wakeable sleeps and single join.
#include "engine/engine_thread.h"

#include <chrono>
#include <system_error>

namespace ostrasync::engine {

EngineThread::~EngineThread() {
  RequestStop();
  Join();
  std::lock_guard<std::mutex> lock(mutex_);
  // Only a thread that destroyed its own owner is still joinable here; it must not touch the
  // owner again, and letting it go is the one thing left to do.
  if (thread_.joinable()) thread_.detach();
}

int EngineThread::Start(std::function<void()> body) {
  Join();
  stop_.store(0);
  try {
    std::thread started(std::move(body));
    std::lock_guard<std::mutex> lock(mutex_);
    id_ = started.get_id();
    thread_ = std::move(started);
    return 0;
  } catch (const std::system_error& e) {
    stop_.store(1);
    return e.code().value() != 0 ? e.code().value() : 1;
  }
}

void EngineThread::RequestStop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_.store(1);
  wake_.notify_all();
}

bool EngineThread::SleepFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load() != 0; });
}

void EngineThread::Join() {
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || id_ == std::this_thread::get_id()) return;
    finished = std::move(thread_);
  }
  finished.join();
  std::lock_guard<std::mutex> lock(mutex_);
  id_ = {};
}

bool EngineThread::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable();
}

bool EngineThread::IsCurrentThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return thread_.joinable() && id_ == std::this_thread::get_id();
}

}  // namespace ostrasync::engine
