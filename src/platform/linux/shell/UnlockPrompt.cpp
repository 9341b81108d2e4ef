#include "platform/linux/shell/UnlockPrompt.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/GLibHolders.h"
#include "platform/linux/shell/GLibMainQueue.h"

namespace tarnwick::platform::linux_desktop {

namespace {

// Safe from any thread, and after the main loop has ended (the task then never runs).
void onMainThread(std::function<void()> task) {
  GLibMainQueue().async(std::move(task));
}

}  // namespace

// One evaluation's place in line and, once its turn has come, its dialog.
struct GtkOwnerPrompts::Turn {
  Turn(std::string reasonText, std::string cancel, std::function<void()> onCancel)
      : reason(std::move(reasonText)),
        cancelTitle(cancel.empty() ? "Cancel" : std::move(cancel)),
        cancelled(std::move(onCancel)) {}

  const std::string reason;
  const std::string cancelTitle;

  // Shared with the worker thread, under the mutex.
  std::mutex mutex;
  std::condition_variable changed;
  bool granted = false;
  bool over = false;  // cancelled, or ended by the worker
  bool asking = false;
  std::optional<SecretText> answer;

  // Main thread only.
  std::function<void()> cancelled;
  bool ended = false;
  GtkWidget* dialog = nullptr;
  GtkWidget* message = nullptr;
  GtkWidget* question = nullptr;
  GtkWidget* entry = nullptr;
  GtkWidget* unlock = nullptr;
};

class GtkOwnerPrompts::Prompt final : public OwnerPrompt {
 public:
  Prompt(std::shared_ptr<GtkOwnerPrompts> owner, std::shared_ptr<Turn> turn)
      : owner_(std::move(owner)), turn_(std::move(turn)) {}

  std::optional<SecretText> ask(const std::string& question, bool echo) override {
    {
      std::lock_guard lock(turn_->mutex);
      if (turn_->over) {
        return std::nullopt;
      }
      turn_->asking = true;
      turn_->answer.reset();
    }
    onMainThread([owner = owner_, turn = turn_, question, echo] {
      owner->show(turn);
      if (turn->ended || !turn->dialog) {
        return;
      }
      gtk_label_set_text(GTK_LABEL(turn->question), question.c_str());
      gtk_entry_set_visibility(GTK_ENTRY(turn->entry), echo ? TRUE : FALSE);
      gtk_widget_set_sensitive(turn->entry, TRUE);
      gtk_widget_set_sensitive(turn->unlock, TRUE);
      gtk_widget_grab_focus(turn->entry);
    });
    std::unique_lock lock(turn_->mutex);
    turn_->changed.wait(lock, [&] { return turn_->answer.has_value() || turn_->over; });
    turn_->asking = false;
    if (turn_->over) {
      turn_->answer.reset();
      return std::nullopt;
    }
    auto answer = std::move(turn_->answer);
    turn_->answer.reset();
    return answer;
  }

  void tell(const std::string& message, bool error) override {
    onMainThread([owner = owner_, turn = turn_, message, error] {
      owner->show(turn);
      if (turn->ended || !turn->dialog) {
        return;
      }
      gtk_label_set_text(GTK_LABEL(turn->message), message.c_str());
      auto* style = gtk_widget_get_style_context(turn->message);
      if (error) {
        gtk_style_context_add_class(style, GTK_STYLE_CLASS_ERROR);
      } else {
        gtk_style_context_remove_class(style, GTK_STYLE_CLASS_ERROR);
      }
      gtk_widget_show(turn->message);
    });
  }

  void close() override {
    {
      std::lock_guard lock(turn_->mutex);
      turn_->over = true;
    }
    turn_->changed.notify_all();
    onMainThread([owner = owner_, turn = turn_] { owner->end(turn); });
  }

 private:
  std::shared_ptr<GtkOwnerPrompts> owner_;
  std::shared_ptr<Turn> turn_;
};

GtkOwnerPrompts::GtkOwnerPrompts(std::function<GtkWindow*()> parent) : parent_(std::move(parent)) {}

std::unique_ptr<OwnerPrompt> GtkOwnerPrompts::open(const std::string& reason,
                                                   const std::string& cancelTitle,
                                                   std::function<void()> cancelled) {
  auto turn = std::make_shared<Turn>(reason, cancelTitle, std::move(cancelled));
  auto self = shared_from_this();
  onMainThread([self, turn] { self->enqueue(turn); });
  std::unique_lock lock(turn->mutex);
  turn->changed.wait(lock, [&] { return turn->granted; });
  return std::make_unique<Prompt>(self, turn);
}

void GtkOwnerPrompts::enqueue(const std::shared_ptr<Turn>& turn) {
  waiting_.push_back(turn);
  advance();
}

void GtkOwnerPrompts::advance() {
  if (active_ || waiting_.empty()) {
    return;
  }
  active_ = waiting_.front();
  waiting_.pop_front();
  {
    std::lock_guard lock(active_->mutex);
    active_->granted = true;
  }
  active_->changed.notify_all();
}

namespace {

struct DialogData {
  std::weak_ptr<GtkOwnerPrompts> owner;
  std::shared_ptr<GtkOwnerPrompts::Turn> turn;
};

void freeDialogData(gpointer data, GClosure*) {
  delete static_cast<DialogData*>(data);
}

void onDestroy(GtkWidget*, gpointer data) {
  static_cast<DialogData*>(data)->turn->dialog = nullptr;
  GtkOwnerPrompts::onResponse(nullptr, GTK_RESPONSE_DELETE_EVENT, data);
}

}  // namespace

void GtkOwnerPrompts::show(const std::shared_ptr<Turn>& turn) {
  if (turn->ended || turn->dialog) {
    return;
  }
  GtkWidget* dialog = gtk_dialog_new();
  GtkWindow* window = GTK_WINDOW(dialog);
  gtk_window_set_title(window, "Tarnwick");
  gtk_window_set_role(window, "tarnwick-unlock");
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_modal(window, TRUE);
  if (GtkWindow* parent = parent_ ? parent_() : nullptr) {
    gtk_window_set_transient_for(window, parent);
    gtk_window_set_destroy_with_parent(window, TRUE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER_ON_PARENT);
  }
  gtk_dialog_add_button(GTK_DIALOG(dialog), turn->cancelTitle.c_str(), GTK_RESPONSE_CANCEL);
  turn->unlock = gtk_dialog_add_button(GTK_DIALOG(dialog), "Unlock", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);

  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  gtk_grid_set_row_spacing(GTK_GRID(grid), 10);
  gtk_container_set_border_width(GTK_CONTAINER(grid), 12);
  GtkWidget* icon = gtk_image_new_from_icon_name("dialog-password", GTK_ICON_SIZE_DIALOG);
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  gtk_grid_attach(GTK_GRID(grid), icon, 0, 0, 1, 3);

  GtkWidget* reason = gtk_label_new(nullptr);
  GCharPtr markup(g_markup_printf_escaped("<b>%s</b>", turn->reason.c_str()));
  gtk_label_set_markup(GTK_LABEL(reason), markup.get());
  gtk_label_set_line_wrap(GTK_LABEL(reason), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(reason), 40);
  gtk_label_set_xalign(GTK_LABEL(reason), 0);
  gtk_grid_attach(GTK_GRID(grid), reason, 1, 0, 2, 1);

  turn->message = gtk_label_new(nullptr);
  gtk_label_set_line_wrap(GTK_LABEL(turn->message), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(turn->message), 40);
  gtk_label_set_xalign(GTK_LABEL(turn->message), 0);
  gtk_widget_set_no_show_all(turn->message, TRUE);
  gtk_grid_attach(GTK_GRID(grid), turn->message, 1, 1, 2, 1);

  turn->question = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(turn->question), 0);
  gtk_grid_attach(GTK_GRID(grid), turn->question, 1, 2, 1, 1);
  turn->entry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(turn->entry), FALSE);
  gtk_entry_set_input_purpose(GTK_ENTRY(turn->entry), GTK_INPUT_PURPOSE_PASSWORD);
  gtk_entry_set_activates_default(GTK_ENTRY(turn->entry), TRUE);
  gtk_widget_set_hexpand(turn->entry, TRUE);
  gtk_grid_attach(GTK_GRID(grid), turn->entry, 2, 2, 1, 1);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), grid);

  // Until a module asks, there is nothing to answer.
  gtk_widget_set_sensitive(turn->entry, FALSE);
  gtk_widget_set_sensitive(turn->unlock, FALSE);

  g_signal_connect_data(dialog, "response", G_CALLBACK(onResponse),
                        new DialogData{weak_from_this(), turn}, freeDialogData, GConnectFlags{});
  // Destroyed with its parent, or otherwise not by us: the same as a cancel.
  g_signal_connect_data(dialog, "destroy", G_CALLBACK(onDestroy),
                        new DialogData{weak_from_this(), turn}, freeDialogData, GConnectFlags{});
  turn->dialog = dialog;
  gtk_widget_show_all(dialog);
  gtk_window_present(window);
}

void GtkOwnerPrompts::onResponse(GtkDialog*, gint response, gpointer data) {
  auto& [weakOwner, turn] = *static_cast<DialogData*>(data);
  if (turn->ended) {
    return;
  }
  if (response == GTK_RESPONSE_OK) {
    std::lock_guard lock(turn->mutex);
    if (!turn->asking || turn->answer || !turn->entry) {
      return;  // nothing asked yet (a fingerprint reader may be waiting)
    }
    // GTK's entry buffer wipes what it deletes; the copy is wiped once PAM has it.
    GtkEntryBuffer* buffer = gtk_entry_get_buffer(GTK_ENTRY(turn->entry));
    turn->answer.emplace(gtk_entry_buffer_get_text(buffer), gtk_entry_buffer_get_bytes(buffer));
    gtk_entry_buffer_delete_text(buffer, 0, -1);
    gtk_widget_set_sensitive(turn->entry, FALSE);
    gtk_widget_set_sensitive(turn->unlock, FALSE);
    turn->changed.notify_all();
    return;
  }
  // Cancel, Escape or the window closed: refused now, whatever the module says later.
  {
    std::lock_guard lock(turn->mutex);
    turn->over = true;
  }
  turn->changed.notify_all();
  if (auto cancelled = std::move(turn->cancelled)) {
    turn->cancelled = nullptr;
    cancelled();
  }
  if (auto owner = weakOwner.lock()) {
    owner->end(turn);
  }
}

void GtkOwnerPrompts::end(const std::shared_ptr<Turn>& turn) {
  if (turn->ended) {
    return;
  }
  turn->ended = true;
  if (GtkWidget* dialog = turn->dialog) {
    turn->dialog = nullptr;
    gtk_widget_destroy(dialog);
  }
  if (active_ == turn) {
    active_.reset();
    advance();
  }
}

}  // namespace tarnwick::platform::linux_desktop
