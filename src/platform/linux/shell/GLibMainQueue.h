#pragma once

#include "platform/MainQueue.h"

namespace tarnwick::platform::linux_desktop {

// Tasks run on GLib's default main context, the one GTK's loop iterates.
class GLibMainQueue final : public MainQueue {
 public:
  void async(std::function<void()> task) override;
  void asyncAfter(Seconds delay, std::function<void()> task) override;
  Seconds now() const override;
};

class ThreadSleeper final : public Sleeper {
 public:
  void sleepFor(Seconds duration) override;
};

}  // namespace tarnwick::platform::linux_desktop
