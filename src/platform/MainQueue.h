#pragma once

#include <chrono>
#include <functional>

namespace tarnwick::platform {

using Seconds = std::chrono::duration<double>;

// The main thread's queue. All delegate state and all UI are touched only from tasks run here.
class MainQueue {
 public:
  virtual ~MainQueue() = default;

  // Both may be called from any thread; the task always runs later, on the main thread.
  virtual void async(std::function<void()> task) = 0;
  virtual void asyncAfter(Seconds delay, std::function<void()> task) = 0;
  // The clock the delays run on: monotonic, from an arbitrary origin.
  virtual Seconds now() const = 0;
};

// Blocks the calling thread. A port of its own so that pauses are recorded, not slept, in tests.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void sleepFor(Seconds duration) = 0;
};

}  // namespace tarnwick::platform
