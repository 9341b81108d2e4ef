#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/HttpClient.h"
#include "platform/MainQueue.h"

namespace tarnwick::platform {

struct SecurityOrigin {
  std::string protocol;  // "http", "https", … ; empty for an opaque origin
  std::string host;
  int port = 0;  // 0 when the origin uses its scheme's default port

  bool operator==(const SecurityOrigin&) const = default;
};

// The frame that started a page-originated event, as the web engine saw it.
struct FrameInfo {
  bool isMainFrame = false;
  SecurityOrigin origin;

  bool operator==(const FrameInfo&) const = default;
};

struct OpenPanelParameters {
  bool allowsDirectories = false;
  bool allowsMultipleSelection = false;
};

enum class MediaCaptureType { camera, microphone, cameraAndMicrophone };

struct NavigationAction {
  std::optional<std::string> url;  // the request's URL, when there is one
};

using FileList = std::vector<std::string>;  // absolute file-system paths

// What the page asks of the shell. Every callback arrives on the main thread; completions may be
// called later (a page dialog waits for its sheet), but exactly once.
class WebViewDelegate {
 public:
  virtual ~WebViewDelegate() = default;

  virtual void webViewDidFinishNavigation() = 0;
  virtual void webViewDidFailNavigation() = 0;
  virtual void webViewDidFailProvisionalNavigation() = 0;
  virtual void webViewWebContentProcessDidTerminate() = 0;

  virtual void webViewRunJavaScriptAlert(const std::string& message, const FrameInfo& frame,
                                         std::function<void()> completion) = 0;
  virtual void webViewRunJavaScriptConfirm(const std::string& message, const FrameInfo& frame,
                                           std::function<void(bool)> completion) = 0;
  // Completion: the chosen files, or nothing (not an empty list) when none were chosen.
  virtual void webViewRunOpenPanel(const OpenPanelParameters& parameters, const FrameInfo& frame,
                                   std::function<void(std::optional<FileList>)> completion) = 0;
  // A request for a new window. The page never gets one, whatever the delegate does.
  virtual void webViewCreateWebView(const NavigationAction& action) = 0;
  virtual void webViewRequestMediaCapturePermission(const SecurityOrigin& origin,
                                                    const FrameInfo& frame, MediaCaptureType type,
                                                    std::function<void(bool grant)> decision) = 0;
  // `body` is the posted value serialised as JSON text.
  virtual void webViewDidReceiveScriptMessage(const std::string& name, const std::string& body,
                                              const FrameInfo& frame) = 0;
};

struct WebViewConfiguration {
  std::vector<std::string> scriptMessageHandlerNames;
  bool drawsBackground = true;
};

class WebView {
 public:
  virtual ~WebView() = default;

  virtual void loadRequest(const std::string& url, Seconds timeout, CachePolicy cachePolicy) = 0;
  virtual void loadHTMLString(const std::string& html) = 0;  // no base URL
  // The completion, when given, receives the script's result as text, or nothing when the script
  // failed or its result was not a string.
  virtual void evaluateJavaScript(
      const std::string& script,
      std::function<void(const std::optional<std::string>&)> completion = nullptr) = 0;
  virtual void reloadFromOrigin() = 0;
  // The current URL; absent when the view has loaded nothing at all.
  virtual std::optional<std::string> url() const = 0;
};

}  // namespace tarnwick::platform
