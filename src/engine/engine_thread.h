// One thread the engine owns: started by one owner, told to stop through its own flag, woken
// from its sleeps at once when stopped, and joined in one place.
#ifndef OSTRASYNC_ENGINE_ENGINE_THREAD_H_
#define OSTRASYNC_ENGINE_ENGINE_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace ostrasync::engine {

// REQUIRES: Start, Join and the destructor are called by the owner, one at a time;
// RequestStop, StopRequested, SleepFor and IsCurrentThread are safe from any thread.
class EngineThread {
 public:
  EngineThread() = default;
  // Stops and joins the thread (see Join for a thread destroying its own owner).
  ~EngineThread();
  EngineThread(const EngineThread&) = delete;
  EngineThread& operator=(const EngineThread&) = delete;

  // Clears the stop flag and runs `body` on a new thread. Returns 0, or the error number the
  // system gave when no thread could be created (the flag is then left set).
  [[nodiscard]] int Start(std::function<void()> body);
  // Sets the stop flag and wakes a SleepFor in progress.
  void RequestStop();
  [[nodiscard]] bool StopRequested() const { return stop_.load() != 0; }
  // Sleeps `ms` milliseconds or until a stop is requested; false when it was requested.
  [[nodiscard]] bool SleepFor(uint32_t ms);
  // Waits for the thread to end. Never waits on itself: called on its own thread it leaves the
  // thread running (the destructor then lets it go), since a thread cannot outwait itself.
  void Join();
  [[nodiscard]] bool Running() const;
  [[nodiscard]] bool IsCurrentThread() const;

 private:
  std::atomic<uint32_t> stop_{1};
  mutable std::mutex mutex_;
  std::condition_variable wake_;  // signalled under mutex_ by RequestStop
  std::thread thread_;            // guarded by mutex_ for reads from other threads; owner writes
  std::thread::id id_;            // guarded by mutex_
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_ENGINE_THREAD_H_
