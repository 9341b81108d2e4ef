#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace tarnwick::bridge {
struct LoadedInterface;
}
namespace tarnwick::update {
struct TarnwickRelease;
}

namespace tarnwick::app {

namespace activation {
struct Activation;
}

// The one object that holds the windowed application together: application delegate, web view
// delegate and script-message handler. All state lives here, on the main thread; each operation is
// defined in the folder of the subsystem it belongs to.
class TarnwickAppDelegate final : public platform::ApplicationDelegate,
                                  public platform::WebViewDelegate,
                                  public std::enable_shared_from_this<TarnwickAppDelegate> {
 public:
  explicit TarnwickAppDelegate(platform::Platform& platform);

  // --- Application callbacks (src/app/Launch.cpp, src/links/LinkRouter.cpp) ---
  void applicationDidFinishLaunching() override;
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;
  void applicationOpenURLs(const std::vector<std::string>& urls) override;

  // --- Web view callbacks (src/app/WebViewDuties.cpp, src/bridge) ---
  void webViewDidFinishNavigation() override;
  void webViewDidFailNavigation() override;
  void webViewDidFailProvisionalNavigation() override;
  void webViewWebContentProcessDidTerminate() override;
  void webViewRunJavaScriptAlert(const std::string& message, const platform::FrameInfo& frame,
                                 std::function<void()> completion) override;
  void webViewRunJavaScriptConfirm(const std::string& message, const platform::FrameInfo& frame,
                                   std::function<void(bool)> completion) override;
  void webViewRunOpenPanel(const platform::OpenPanelParameters& parameters,
                           const platform::FrameInfo& frame,
                           std::function<void(std::optional<platform::FileList>)> completion) override;
  void webViewCreateWebView(const platform::NavigationAction& action) override;
  void webViewRequestMediaCapturePermission(const platform::SecurityOrigin& origin,
                                            const platform::FrameInfo& frame,
                                            platform::MediaCaptureType type,
                                            std::function<void(bool)> decision) override;
  void webViewDidReceiveScriptMessage(const std::string& name, const std::string& body,
                                      const platform::FrameInfo& frame) override;

  // --- Raising the window with the desktop's token (src/app/Launch.cpp) ---
  // The token (an X11 startup id or a Wayland activation token) for the window's next
  // presentation; anything that is not a token (activation::isStartupToken) is dropped.
  void setStartupToken(std::string_view token);
  // A request from another copy: its links, or without links a reopen, raising the window with
  // the token that copy was started with. Before launch the first window keeps its own.
  void handleActivation(const activation::Activation& activation);

  // --- Status page and reconnection (src/app/Launch.cpp) ---
  void showStatus(const std::string& message);
  void reload();

  // --- Menu (src/app/Menu.cpp) ---
  void installMenu();
  void pasteFromClipboard();
  void checkForUpdatesFromMenu();
  void checkForUpdates(bool manual);

  // --- Self-update (src/update) ---
  // A one-button informational sheet on the window; also the interface report's and the
  // installer's way to speak.
  void showUpdateMessage(const std::string& title, const std::string& message);
  // Downloads, verifies and stages the release, then hands over to the installer.
  void installUpdate(const update::TarnwickRelease& release, const std::string& downloadURL,
                     const std::filesystem::path& destination);
  // The update check and its prompt (src/update/UpdateCheck.cpp).
  bool shouldPrompt(const std::string& version);
  void presentUpdate(const update::TarnwickRelease& release, const std::string& downloadURL);
  // The running bundle, when it may be replaced in place.
  std::optional<std::filesystem::path> updateDestination();
  // On the download's loader thread, blocking it while the tools run: stages the download in a
  // work directory, verifies it and writes the installer, then queues the hand-off.
  void prepareAndInstall(const update::TarnwickRelease& release,
                         const std::filesystem::path& downloaded,
                         const std::filesystem::path& destination);
  // Starts the installer script and quits shortly after; the point of no return.
  void handOffToInstaller(const update::TarnwickRelease& release,
                          const std::filesystem::path& script, const std::filesystem::path& staged,
                          const std::filesystem::path& destination,
                          const std::filesystem::path& workDirectory);
  // The one sheet of a failed update, then back to the interface.
  void failUpdate(const std::string& reason);

  // --- Connector start and health (src/connector) ---
  void connect();
  void checkConnector(std::function<void(bool healthy)> completion);
  void startConnector();
  void pollConnector();
  void showFailure(const std::string& message);
  void stopStaleConnectorListener();
  void removeLegacyLaunchAgent();
  bool run(const std::string& path, const std::vector<std::string>& arguments);
  std::string capture(const std::string& path, const std::vector<std::string>& arguments);

  // --- Loaded interface and window title (src/bridge) ---
  // The completion runs on the main thread, once, with the page's record or nothing.
  void loadedInterface(std::function<void(const std::optional<bridge::LoadedInterface>&)> completion);
  void refreshTitle();
  // Ends a manual update check with the interface's state and the note about the app
  // (src/bridge/InterfaceReport.cpp).
  void reportInterface(const std::string& macAppNote);
  void offerReload(const std::string& version, const std::string& note);

  // --- Deep links (src/links) ---
  void redeemInvite(const std::string& redemptionURL);

  // --- Read-only views of the state, for the backends' and the tests' eyes ---
  const std::string& localURL() const { return localURL_; }
  const std::string& latestReleaseURL() const { return latestReleaseURL_; }
  const std::string& currentVersion() const { return currentVersion_; }
  // Derived on every read, so it always follows currentVersion.
  std::string connectorSignature() const;
  const std::string& connectorBundleIdentifier() const { return connectorBundleIdentifier_; }
  const std::string& releaseTeamIdentifier() const { return releaseTeamIdentifier_; }
  const std::string& launcherBundleIdentifier() const { return launcherBundleIdentifier_; }
  const std::shared_ptr<platform::Window>& window() const { return window_; }
  const std::shared_ptr<platform::WebView>& webView() const { return webView_; }
  std::int64_t attempts() const { return attempts_; }
  const std::optional<std::string>& targetURL() const { return targetURL_; }
  const std::optional<std::string>& pendingInviteURL() const { return pendingInviteURL_; }
  bool replaceStaleConnector() const { return replaceStaleConnector_.load(); }
  bool updateCheckInProgress() const { return updateCheckInProgress_; }

 private:
  // Lets the tests put the state where a link or a finished page would have left it.
  friend struct TarnwickAppDelegateTestAccess;

  void bringWindowForward();
  // Makes the window key and orders it front, with the token when there is one.
  void presentWindow();
  // Dispatches the unlock answer for `requestID` into the page (src/bridge/FinancialUnlock.cpp).
  void completeFinancialUnlock(const std::string& requestID, bool accepted);

  platform::Platform& platform_;

  // Constants fixed at construction.
  const std::string localURL_;
  const std::string latestReleaseURL_;
  const std::string currentVersion_;
  const std::string connectorBundleIdentifier_;
  const std::string releaseTeamIdentifier_;
  const std::string launcherBundleIdentifier_;

  // Created once at launch, never replaced.
  std::shared_ptr<platform::Window> window_;
  std::shared_ptr<platform::WebView> webView_;

  std::int64_t attempts_ = 0;
  std::optional<std::string> targetURL_;
  std::optional<std::string> pendingInviteURL_;
  std::string startupToken_;
  // Written by the health check on the HTTP loader thread, read on the main thread.
  std::atomic<bool> replaceStaleConnector_{false};
  bool updateCheckInProgress_ = false;
  // The Connector copy started last (on the main queue's clock) and whether it still runs, so
  // that a copy still starting is not restarted on every poll (src/connector).
  std::optional<platform::Seconds> connectorStartedAt_;
  std::function<bool()> startedConnectorRuns_;
};

}  // namespace tarnwick::app
