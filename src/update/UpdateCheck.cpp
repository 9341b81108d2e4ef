// The self-update check, its prompt policy, the update alert and its one-button message sheet.
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <array>

#include "app/TarnwickAppDelegate.h"
#include "service/ServiceContract.h"
#include "update/ReleaseManifest.h"
#include "update/TarnwickRelease.h"

namespace tarnwick::app {

namespace {

constexpr const char* lastPromptVersionKey = "TarnwickLastUpdatePromptVersion";
constexpr const char* lastPromptDateKey = "TarnwickLastUpdatePromptDate";
constexpr std::chrono::seconds promptInterval{86400};

// Places a bundle is not replaced from: mounted images and removable or other volumes.
constexpr std::array<std::string_view, 3> foreignVolumePrefixes = {"/Volumes/", "/media/",
                                                                   "/run/media/"};

// Unicode white space and line breaks trimmed from both ends.
std::string trimmedWhiteSpace(std::string_view text) {
  auto unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  int32_t start = 0;
  while (start < unicode.length() && u_isUWhiteSpace(unicode.char32At(start))) {
    start = unicode.moveIndex32(start, 1);
  }
  int32_t end = unicode.length();
  while (end > start && u_isUWhiteSpace(unicode.char32At(unicode.moveIndex32(end, -1)))) {
    end = unicode.moveIndex32(end, -1);
  }
  std::string trimmed;
  unicode.tempSubStringBetween(start, end).toUTF8String(trimmed);
  return trimmed;
}

}  // namespace

void TarnwickAppDelegate::checkForUpdates(bool manual) {
  if (updateCheckInProgress_) {
    return;
  }
  updateCheckInProgress_ = true;

  platform::HttpRequest request{
      .method = "GET",
      .url = latestReleaseURL_,
      .headers = {{"Cache-Control", "no-cache"},
                  {"User-Agent", "Tarnwick/" + currentVersion_ + " macOS"}},
      .timeout = platform::Seconds(service::manifestTimeoutSeconds),
      .cachePolicy = platform::CachePolicy::reloadIgnoringLocalAndRemoteCache};

  // On the loader thread: read and decode only, then hand over. The delegate is held weakly and
  // never locked here, so its last reference cannot be dropped off the main thread.
  platform_.http.dataTask(std::move(request), [weak = weak_from_this(),
                                               &mainQueue = platform_.mainQueue,
                                               manual](const platform::HttpResponse& response) {
    if (weak.expired()) {
      return;
    }
    bool transportFailed = response.transportError.has_value();
    std::optional<int> status = response.status;
    std::optional<update::TarnwickRelease> release;
    if (response.body) {
      release = update::decodeRelease(*response.body);
    }
    mainQueue.async([weak, manual, transportFailed, status, release = std::move(release)] {
      auto self = weak.lock();
      if (!self) {
        return;
      }
      self->updateCheckInProgress_ = false;

      std::optional<std::string> downloadURL;
      if (!transportFailed && status == 200 && release) {
        downloadURL = update::trustedDownloadURL(*release);
      }
      if (!downloadURL || release->build <= 0) {
        if (manual) {
          self->reportInterface(
              "The Mac app update service could not be reached, so the Mac app (" +
              self->currentVersion_ + ") was not checked.");
        }
        return;
      }
      if (!update::isNewerVersion(release->version, self->currentVersion_)) {
        if (manual) {
          self->reportInterface("The Mac app itself, " + self->currentVersion_ +
                                ", is also the newest; it changes only when the app is rebuilt, "
                                "so it can stand still for months.");
        }
        return;
      }
      if (!manual && !self->shouldPrompt(release->version)) {
        return;
      }
      self->presentUpdate(*release, *downloadURL);
    });
  });
}

bool TarnwickAppDelegate::shouldPrompt(const std::string& version) {
  auto& preferences = platform_.preferences;
  auto promptedVersion = preferences.string(lastPromptVersionKey);
  auto promptedAt = preferences.date(lastPromptDateKey);
  // A date in the future gives a negative interval, which also holds the prompt back.
  return !(promptedVersion == version && promptedAt &&
           preferences.now() - *promptedAt < promptInterval);
}

void TarnwickAppDelegate::presentUpdate(const update::TarnwickRelease& release,
                                        const std::string& downloadURL) {
  // The launch creates the window before any check can answer. Without one there is nowhere to
  // ask, and nothing is recorded either, so the next check offers the build again.
  if (!window_) {
    return;
  }
  auto& preferences = platform_.preferences;
  preferences.setString(lastPromptVersionKey, release.version);
  preferences.setDate(lastPromptDateKey, preferences.now());

  auto destination = updateDestination();
  std::string notes = trimmedWhiteSpace(release.releaseNotes.value_or(""));
  std::string instruction =
      destination ? "Tarnwick will install this itself and reopen. Your home and member connection "
                    "are preserved."
                  : "Choose Download to open the current Apple-verified installer. Quit Tarnwick, "
                    "drag it into Applications, and choose Replace. Your home and member "
                    "connection will be preserved.";
  std::string informative = notes.empty() ? instruction : notes + "\n\n" + instruction;

  window_->beginSheet(
      platform::Alert{.messageText = "Tarnwick " + release.version + " Is Available",
                      .informativeText = informative,
                      .style = platform::AlertStyle::informational,
                      .buttons = {destination ? "Install and Relaunch" : "Download", "Later"}},
      [weak = weak_from_this(), &workspace = platform_.workspace, release,
       downloadURL](std::optional<std::size_t> button) {
        if (button != 0) {
          return;
        }
        // Where the app may be replaced is decided again now: the folder may have changed while
        // the alert stood open.
        if (auto self = weak.lock()) {
          if (auto now = self->updateDestination()) {
            self->installUpdate(release, downloadURL, *now);
            return;
          }
        }
        workspace.openURL(downloadURL);
      });
}

std::optional<std::filesystem::path> TarnwickAppDelegate::updateDestination() {
  auto bundle = platform_.bundle.bundlePath();
  if (!bundle) {
    return std::nullopt;
  }
  std::filesystem::path path = *bundle;
  if (!path.has_filename()) {
    path = path.parent_path();
  }
  if (path.extension() != ".app") {
    return std::nullopt;
  }
  const std::string& text = path.native();
  for (auto prefix : foreignVolumePrefixes) {
    if (text.starts_with(prefix)) {
      return std::nullopt;
    }
  }
  // access(2) also refuses a read-only mount, which a permission check alone would miss.
  if (::access(path.parent_path().c_str(), W_OK) != 0 || ::access(path.c_str(), W_OK) != 0) {
    return std::nullopt;
  }
  return path;
}

void TarnwickAppDelegate::showUpdateMessage(const std::string& title, const std::string& message) {
  if (!window_) {
    return;
  }
  window_->beginSheet(platform::Alert{.messageText = title,
                                      .informativeText = message,
                                      .style = platform::AlertStyle::informational,
                                      .buttons = {"OK"}},
                      [](std::optional<std::size_t>) {});
}

}  // namespace tarnwick::app
