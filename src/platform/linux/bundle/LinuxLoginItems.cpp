#include "platform/linux/bundle/LinuxLoginItems.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <system_error>
#include <thread>
#include <variant>

#include "platform/OwnAccountFiles.h"
#include "platform/linux/OwnProcesses.h"
#include "platform/linux/bundle/LinuxBundle.h"

namespace tarnwick::platform::linux_desktop {

namespace fs = std::filesystem;

namespace {

constexpr auto exitPollInterval = std::chrono::milliseconds(20);

std::optional<std::string> stringValue(LinuxBundle& bundle, const std::string& key) {
  auto value = bundle.infoValue(key);
  if (auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  return std::nullopt;
}

// A bundle identifier names a file here, so it must be a plain name.
bool isPlainIdentifier(const std::string& identifier) {
  return !identifier.empty() && identifier.front() != '.' &&
         std::ranges::all_of(identifier, [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
         });
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// A desktop entry string value: one line, with its backslashes doubled.
std::string entryString(const std::string& text) {
  std::string value;
  for (char c : text) {
    if (c == '\\') {
      value += "\\\\";
    } else {
      value += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    }
  }
  return value;
}

// Whether `pid` runs `executable` (canonical). A copy whose file was replaced since it started,
// as an update does, still counts.
bool runs(pid_t pid, const fs::path& executable) {
  std::error_code error;
  auto target = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
  if (error) {
    return false;  // gone, a zombie, or not ours to look at
  }
  return target == executable || target.string() == executable.string() + " (deleted)";
}

bool writeAtomically(const fs::path& path, const std::string& contents) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) {
    return false;
  }
  auto temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << contents;
    file.flush();
    if (!file) {
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::rename(temporary, path, error);
  if (error) {
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

}  // namespace

std::optional<LoginItem> findLoginItem(const fs::path& bundle, const std::string& identifier) {
  std::error_code error;
  fs::directory_iterator entries(bundle / "Contents" / "Library" / "LoginItems", error);
  if (error) {
    return std::nullopt;
  }
  std::vector<fs::path> helpers;
  for (const auto& entry : entries) {
    if (entry.path().extension() == ".app" && entry.is_directory(error)) {
      helpers.push_back(entry.path());
    }
  }
  std::ranges::sort(helpers);  // the same choice every time, whatever the folder order
  for (const auto& helper : helpers) {
    LinuxBundle info(helper);
    if (stringValue(info, "CFBundleIdentifier") != identifier) {
      continue;
    }
    auto executable = stringValue(info, "CFBundleExecutable");
    if (!executable || !isPlainFileName(*executable)) {
      return std::nullopt;
    }
    auto name = stringValue(info, "CFBundleName").value_or(helper.stem().string());
    return LoginItem{helper, helper / "Contents" / "MacOS" / *executable, name};
  }
  return std::nullopt;
}

std::optional<std::string> desktopEntryExec(const std::string& path) {
  if (path.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    return std::nullopt;
  }
  // Quoting rule first: inside double quotes, ", `, $ and \ take a backslash. Then the rules of
  // every string value: a backslash is written twice, and % stands for itself only when doubled.
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      quoted += '\\';
    }
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    if (c == '\\') {
      value += "\\\\";
    } else if (c == '%') {
      value += "%%";
    } else {
      value += c;
    }
  }
  return value;
}

fs::path defaultAutostartFolder() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome && fs::path(configHome).is_absolute()) {
    return fs::path(configHome) / "autostart";
  }
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "/") / ".config" / "autostart";
}

std::vector<pid_t> runningCopies(const fs::path& executable) {
  std::error_code error;
  auto wanted = fs::canonical(executable, error);
  if (error) {
    return {};
  }
  std::vector<pid_t> copies;
  for (pid_t pid : ownProcesses()) {
    if (pid > 1 && pid != ::getpid() && runs(pid, wanted)) {
      copies.push_back(pid);
    }
  }
  return copies;
}

LinuxLoginItems::LinuxLoginItems(Bundle& bundle, CommandRunner& commands, fs::path autostartFolder,
                                 std::chrono::milliseconds exitWait)
    : bundle_(bundle),
      commands_(commands),
      autostartFolder_(std::move(autostartFolder)),
      exitWait_(exitWait) {}

bool LinuxLoginItems::setEnabled(const std::string& bundleIdentifier, bool enabled) {
  auto bundle = bundle_.bundlePath();
  if (!bundle || !isPlainIdentifier(bundleIdentifier)) {
    return false;
  }
  auto item = findLoginItem(*bundle, bundleIdentifier);
  // A helper without a runnable executable is no login item, to enable or to disable.
  std::error_code error;
  // Nor is one another account could have put there or could change: it runs as this one.
  if (!item || !fs::is_regular_file(item->executable, error) ||
      ::access(item->executable.c_str(), X_OK) != 0 ||
      !onlyOwnerOrRootCanChange(item->executable, ::getuid())) {
    return false;
  }
  return enabled ? enable(bundleIdentifier, *item) : disable(bundleIdentifier, *item);
}

bool LinuxLoginItems::isRunning(const std::string& bundleIdentifier) {
  auto bundle = bundle_.bundlePath();
  if (!bundle || !isPlainIdentifier(bundleIdentifier)) {
    return false;
  }
  auto item = findLoginItem(*bundle, bundleIdentifier);
  return item && !runningCopies(item->executable).empty();
}

bool LinuxLoginItems::enable(const std::string& identifier, const LoginItem& item) {
  auto exec = desktopEntryExec(item.executable.string());
  if (!exec) {
    return false;
  }
  std::string entry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=" +
      entryString(item.name) +
      "\n"
      "Exec=" +
      *exec +
      "\n"
      "NoDisplay=true\n"
      "X-GNOME-Autostart-enabled=true\n";
  if (!writeAtomically(autostartFolder_ / (identifier + ".desktop"), entry)) {
    return false;
  }
  // Like a login session starting it: one copy, which keeps running on its own.
  if (runningCopies(item.executable).empty()) {
    commands_.launchWatched(item.executable.string(), {});
  }
  return true;
}

bool LinuxLoginItems::disable(const std::string& identifier, const LoginItem& item) {
  std::error_code error;
  fs::remove(autostartFolder_ / (identifier + ".desktop"), error);
  bool removed = !error;

  auto copies = runningCopies(item.executable);
  for (pid_t pid : copies) {
    ::kill(pid, SIGTERM);
  }
  // A copy has gone once its pid no longer shows this executable (ended, reaped or a zombie).
  auto wanted = fs::canonical(item.executable, error);
  auto deadline = std::chrono::steady_clock::now() + exitWait_;
  auto stillRunning = [&] {
    return std::ranges::any_of(copies, [&](pid_t pid) { return runs(pid, wanted); });
  };
  while (!copies.empty() && stillRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(exitPollInterval);
  }
  return removed;
}

}  // namespace tarnwick::platform::linux_desktop
