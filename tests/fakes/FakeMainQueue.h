#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/MainQueue.h"

namespace tarnwick::fakes {

using platform::Seconds;

// Virtual time: tasks run only when a test advances the clock. Tasks due at the same instant run
// in the order they were queued.
class FakeMainQueue final : public platform::MainQueue {
 public:
  void async(std::function<void()> task) override { asyncAfter(Seconds(0), std::move(task)); }

  void asyncAfter(Seconds delay, std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    tasks_.emplace(Key{now_ + delay.count(), sequence_++}, std::move(task));
    delays_.push_back(delay.count());
  }

  // Runs every task due up to now + `duration`, including tasks those tasks queue.
  void advance(Seconds duration) {
    double until = now().count() + duration.count();
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard lock(mutex_);
        if (tasks_.empty() || tasks_.begin()->first.due > until) {
          now_ = until;
          return;
        }
        auto first = tasks_.begin();
        now_ = std::max(now_, first->first.due);
        task = std::move(first->second);
        tasks_.erase(first);
      }
      task();
    }
  }

  // Runs what is due now, without moving the clock.
  void runUntilIdle() { advance(Seconds(0)); }

  Seconds now() const override {
    std::lock_guard lock(mutex_);
    return Seconds(now_);
  }
  std::size_t pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }
  // Every delay ever asked for, in order.
  std::vector<double> delays() const {
    std::lock_guard lock(mutex_);
    return delays_;
  }

 private:
  struct Key {
    double due;
    unsigned long sequence;
    bool operator<(const Key& other) const {
      return due != other.due ? due < other.due : sequence < other.sequence;
    }
  };
  mutable std::mutex mutex_;
  double now_ = 0;
  unsigned long sequence_ = 0;
  std::multimap<Key, std::function<void()>> tasks_;
  std::vector<double> delays_;
};

// Records pauses instead of sleeping.
class FakeSleeper final : public platform::Sleeper {
 public:
  void sleepFor(Seconds duration) override { pauses.push_back(duration.count()); }
  std::vector<double> pauses;
};

}  // namespace tarnwick::fakes
