// Connector start and health: the connection series that ends with the interface in the window.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "app/TarnwickAppDelegate.h"
#include "connector/ConnectorContract.h"
#include "connector/ConnectorHealth.h"
#include "platform/OwnAccountFiles.h"

namespace tarnwick::app {

namespace {

namespace fs = std::filesystem;

constexpr platform::Seconds healthCheckTimeout{2.0};
constexpr platform::Seconds interfaceLoadTimeout{10.0};
constexpr platform::CachePolicy alwaysAskTheConnector =
    platform::CachePolicy::reloadIgnoringLocalCache;
constexpr platform::Seconds pollDelay{0.5};
constexpr std::int64_t attemptLimit = 30;
constexpr platform::Seconds pauseAfterStoppingListener{0.25};
// How long a Connector copy this shell started, and which still runs, is given to answer before it
// is started again. A Connector may need seconds to listen, and every restart stops the copy that
// was starting; ten seconds covers a slow start and still leaves a copy that hangs restarted well
// within one series of 31 checks (about 15 seconds when nothing listens).
constexpr platform::Seconds startGracePeriod{10.0};

constexpr std::string_view missingConnectorMessage =
    "The Tarnwick connector is missing. Reinstall Tarnwick and try again.";
constexpr std::string_view attemptLimitMessage =
    "Tarnwick could not connect. Choose Tarnwick \u2192 Reload Tarnwick to try again.";

// What a file manager would call an executable file: a regular file (after links) this process
// may execute. A folder is searchable, not executable. It is started as this account, so it must
// be a program only this account or root can change.
bool isExecutableFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0 &&
         platform::onlyOwnerOrRootCanChange(path, ::getuid());
}

}  // namespace

void TarnwickAppDelegate::checkConnector(std::function<void(bool healthy)> completion) {
  platform::HttpRequest request;
  request.method = "GET";
  request.url = localURL_;
  request.timeout = healthCheckTimeout;
  request.cachePolicy = alwaysAskTheConnector;
  platform_.http.dataTask(
      std::move(request), [weak = weak_from_this(), completion = std::move(completion)](
                              const platform::HttpResponse& response) {
        // On the loader thread. The flag is the one field written here, before any hand-over.
        auto self = weak.lock();
        if (!self) {
          completion(false);
          return;
        }
        auto verdict = connector::judgeHealth(response, self->connectorSignature(), ::getuid());
        self->replaceStaleConnector_.store(verdict.stale);
        completion(verdict.healthy);
      });
}

void TarnwickAppDelegate::connect() {
  // The main queue outlives the delegate, so the loader thread may reach it without the delegate.
  checkConnector([weak = weak_from_this(), &queue = platform_.mainQueue](bool healthy) {
    if (weak.expired()) {
      return;
    }
    queue.async([weak, healthy] {
      auto self = weak.lock();
      if (!self) {
        return;
      }
      if (healthy) {
        if (self->webView_) {
          self->webView_->loadRequest(self->targetURL_.value_or(self->localURL_),
                                      interfaceLoadTimeout, alwaysAskTheConnector);
        }
      } else {
        self->startConnector();
        self->pollConnector();
      }
    });
  });
}

void TarnwickAppDelegate::pollConnector() {
  ++attempts_;
  if (attempts_ > attemptLimit) {
    showFailure(std::string(attemptLimitMessage));
    return;
  }
  platform_.mainQueue.asyncAfter(pollDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->connect();
    }
  });
}

void TarnwickAppDelegate::startConnector() {
  const auto userId = ::getuid();
  const bool stale = replaceStaleConnector_.load();

  // The copy started moments ago and still running is most likely still starting: leave it be.
  // Another version answering on the port is always replaced.
  if (!stale && connectorStartedAt_ &&
      platform_.mainQueue.now() - *connectorStartedAt_ < startGracePeriod &&
      startedConnectorRuns_ && startedConnectorRuns_()) {
    return;
  }
  connectorStartedAt_.reset();
  startedConnectorRuns_ = nullptr;

  run(std::string(connector::tools::launchctl),
      {"bootout",
       "gui/" + std::to_string(userId) + "/" + std::string(connector::legacyLaunchdLabel)});
  removeLegacyLaunchAgent();
  replaceStaleConnector_.store(false);
  if (stale) {
    stopStaleConnectorListener();
    platform_.sleeper.sleepFor(pauseAfterStoppingListener);
  }

  // Without a bundle or a data folder there is simply no such place to look.
  std::optional<fs::path> loginItem;
  if (auto bundle = platform_.bundle.bundlePath()) {
    loginItem = *bundle / connector::loginItemBundle / connector::loginItemExecutable;
  }
  std::optional<fs::path> fallback;
  if (auto support = platform_.userFolders.applicationSupport()) {
    fallback = *support / connector::fallbackExecutable;
  }

  if (loginItem && isExecutableFile(*loginItem)) {
    // Disabling first forces a fresh start of a copy that is already running.
    platform_.loginItems.setEnabled(connectorBundleIdentifier_, false);
    platform_.loginItems.setEnabled(connectorBundleIdentifier_, true);
    connectorStartedAt_ = platform_.mainQueue.now();
    startedConnectorRuns_ = [&items = platform_.loginItems, id = connectorBundleIdentifier_] {
      return items.isRunning(id);
    };
    return;
  }
  if (!fallback || !isExecutableFile(*fallback)) {
    // The caller keeps polling; the attempt limit page replaces this one in the end.
    showFailure(std::string(missingConnectorMessage));
    return;
  }
  startedConnectorRuns_ = platform_.commands.launchWatched(
      fallback->string(),
      {std::string(connector::fallbackArguments[0]), std::string(connector::fallbackArguments[1])});
  connectorStartedAt_ = platform_.mainQueue.now();
}

void TarnwickAppDelegate::showFailure(const std::string& message) {
  showStatus(message);
}

bool TarnwickAppDelegate::run(const std::string& path, const std::vector<std::string>& arguments) {
  return platform_.commands.run(path, arguments);
}

std::string TarnwickAppDelegate::capture(const std::string& path,
                                         const std::vector<std::string>& arguments) {
  return platform_.commands.capture(path, arguments);
}

}  // namespace tarnwick::app
