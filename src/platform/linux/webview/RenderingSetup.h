#pragma once

namespace tarnwick::platform::linux_desktop {

// Whether this machine has a GPU render node this process may use. Without one the web view
// never composites (see WebKitView), and the UI process draws nothing with GL.
bool hasRenderNode();

// Keeps the GL stack out of the UI process where it would draw nothing with it. GTK probes GLX
// when it starts on a display no GTK program has probed yet, and the engine probes EGL (then GLX
// through GTK) while the first web context is made; with no GPU either maps Mesa's software
// driver and LLVM, some 55 MiB resident that the window never uses. For those probes GL is
// hidden from this process; the processes the engine starts afterwards, whose page does render
// through it, get the environment as it was.
class UiProcessGl {
 public:
  // Before the toolkit starts and before the shell starts threads of its own; beside this one
  // runs only the engine's heap scavenger, started when its library loaded. Setting a variable may
  // reallocate the environment while another thread reads it; removing one later only shifts
  // entries within it.
  static UiProcessGl keepOutWithoutRenderNode();
  // Makes the default web context, so that the probe happens now, then shows the vendors again.
  // Call before anything starts a process.
  void makeDefaultWebContext();

 private:
  bool hidden_ = false;
};

}  // namespace tarnwick::platform::linux_desktop
