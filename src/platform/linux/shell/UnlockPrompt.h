#pragma once

#include <gtk/gtk.h>

#include <deque>
#include <functional>
#include <memory>

#include "platform/linux/auth/PamDeviceOwnerAuth.h"

namespace tarnwick::platform::linux_desktop {

// The unlock prompt: a GTK dialog, modal and transient for the main window, with the reason as
// its main text, the module's question beside a password entry, and the buttons "Cancel" (the
// context's cancel title) and "Unlock".
//
// One prompt at a time: an evaluation that asks while another's prompt is open waits in line and
// gets its own prompt once that one has gone. (Nothing orders prompts for us here, and two modal
// dialogs over one window would leave the person guessing which request each belongs to.)
//
// The dialog appears when the module first speaks, so the entry is ready when it is on screen.
// Cancel, Escape or closing it answers false at once; what the module does after that is dropped.
class GtkOwnerPrompts final : public OwnerPrompts,
                              public std::enable_shared_from_this<GtkOwnerPrompts> {
 public:
  // `parent` gives the main window when a prompt appears (nothing before it exists).
  explicit GtkOwnerPrompts(std::function<GtkWindow*()> parent);
  std::unique_ptr<OwnerPrompt> open(const std::string& reason, const std::string& cancelTitle,
                                    std::function<void()> cancelled) override;

  struct Turn;
  // The dialog's answer (also its destruction, as a cancel).
  static void onResponse(GtkDialog* dialog, gint response, gpointer data);

 private:
  class Prompt;

  // Main thread only.
  void enqueue(const std::shared_ptr<Turn>& turn);
  void advance();
  void show(const std::shared_ptr<Turn>& turn);
  void end(const std::shared_ptr<Turn>& turn);

  std::function<GtkWindow*()> parent_;
  std::deque<std::shared_ptr<Turn>> waiting_;
  std::shared_ptr<Turn> active_;
};

}  // namespace tarnwick::platform::linux_desktop
