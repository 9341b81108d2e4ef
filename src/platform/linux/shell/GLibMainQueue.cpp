#include "platform/linux/shell/GLibMainQueue.h"

#include <glib.h>

#include <cmath>
#include <thread>

namespace tarnwick::platform::linux_desktop {

namespace {

gboolean runOnce(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void destroyTask(gpointer data) {
  delete static_cast<std::function<void()>*>(data);
}

}  // namespace

void GLibMainQueue::async(std::function<void()> task) {
  // g_idle_add_full is safe from any thread and wakes the default context.
  g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new std::function<void()>(std::move(task)),
                  destroyTask);
}

void GLibMainQueue::asyncAfter(Seconds delay, std::function<void()> task) {
  auto milliseconds = static_cast<guint>(std::max(0.0, std::round(delay.count() * 1000.0)));
  g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds, runOnce,
                     new std::function<void()>(std::move(task)), destroyTask);
}

Seconds GLibMainQueue::now() const {
  return Seconds(static_cast<double>(g_get_monotonic_time()) / 1e6);
}

void ThreadSleeper::sleepFor(Seconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace tarnwick::platform::linux_desktop
