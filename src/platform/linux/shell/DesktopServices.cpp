#include "platform/linux/shell/DesktopServices.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <memory>
#include <system_error>

#include "platform/OwnAccountFiles.h"
#include "platform/linux/GLibHolders.h"

namespace tarnwick::platform::linux_desktop {

// --- XdgUserFolders ---

std::filesystem::path XdgUserFolders::home() {
  return g_get_home_dir();
}

std::optional<std::filesystem::path> XdgUserFolders::applicationSupport() {
  const gchar* folder = g_get_user_data_dir();
  if (!folder || !*folder) {
    return std::nullopt;
  }
  return std::filesystem::path(folder);
}

std::filesystem::path XdgUserFolders::temporary() {
  return g_get_tmp_dir();
}

// --- KeyFilePreferences ---

namespace {

constexpr const char* group = "Tarnwick";
constexpr const char* dateSuffix = ".date";

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_unref)>;

// Far more than the few values kept here.
constexpr std::size_t maxPreferencesSize = 1u << 20;

KeyFile load(const std::filesystem::path& file) {
  KeyFile keys(g_key_file_new(), g_key_file_unref);
  // A file another account made or may write is no preference of this user's: it reads as none
  // (and the next save replaces it with one of ours).
  if (auto text = readOwnFile(file, ::getuid(), maxPreferencesSize)) {
    g_key_file_load_from_data(keys.get(), text->data(), text->size(), G_KEY_FILE_KEEP_COMMENTS,
                              nullptr);
  }
  return keys;
}

void save(const std::filesystem::path& file, GKeyFile* keys) {
  std::error_code ignored;
  std::filesystem::create_directories(file.parent_path(), ignored);
  // Closed to everyone else whatever the umask, as reading it requires.
  gsize length = 0;
  GCharPtr data(g_key_file_to_data(keys, &length, nullptr));
  g_file_set_contents_full(file.c_str(), data.get(), static_cast<gssize>(length),
                           G_FILE_SET_CONTENTS_CONSISTENT, 0600, nullptr);
}

std::optional<std::string> read(const std::filesystem::path& file, const std::string& key) {
  auto keys = load(file);
  GCharPtr value(g_key_file_get_string(keys.get(), group, key.c_str(), nullptr));
  if (!value) {
    return std::nullopt;
  }
  return std::string(value.get());
}

void write(const std::filesystem::path& file, const std::string& key, const std::string& value) {
  auto keys = load(file);
  g_key_file_set_string(keys.get(), group, key.c_str(), value.c_str());
  save(file, keys.get());
}

}  // namespace

KeyFilePreferences::KeyFilePreferences(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::string> KeyFilePreferences::string(const std::string& key) {
  return read(file_, key);
}

// Dates are kept under a key of their own kind, so a string never reads back as a date.
std::optional<Date> KeyFilePreferences::date(const std::string& key) {
  auto text = read(file_, key + dateSuffix);
  if (!text) {
    return std::nullopt;
  }
  GDateTimePtr parsed(g_date_time_new_from_iso8601(text->c_str(), nullptr));
  if (!parsed) {
    return std::nullopt;
  }
  auto micros =
      g_date_time_to_unix(parsed.get()) * 1000000 + g_date_time_get_microsecond(parsed.get());
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::microseconds(micros)));
}

void KeyFilePreferences::setString(const std::string& key, const std::string& value) {
  write(file_, key, value);
}

void KeyFilePreferences::setDate(const std::string& key, Date value) {
  auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(value.time_since_epoch()).count();
  GDateTimePtr when(g_date_time_new_from_unix_utc(micros / 1000000));
  GDateTimePtr exact(g_date_time_add(when.get(), micros % 1000000));
  GCharPtr text(g_date_time_format_iso8601(exact.get()));
  write(file_, key + dateSuffix, text.get());
}

Date KeyFilePreferences::now() {
  return std::chrono::system_clock::now();
}

// --- GtkPasteboard ---

std::optional<std::string> GtkPasteboard::plainText() {
  GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  GCharPtr text(gtk_clipboard_wait_for_text(clipboard));
  if (!text) {
    return std::nullopt;
  }
  return std::string(text.get());
}

// --- GioWorkspace ---

bool GioWorkspace::openURL(const std::string& url) {
  return g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr) != FALSE;
}

bool GioWorkspace::activateRunningApplication(const std::string&) {
  // Other copies of this application are reached through the single-instance channel instead.
  return false;
}

}  // namespace tarnwick::platform::linux_desktop
