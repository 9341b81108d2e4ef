// The windowed application of the Linux desktop build, loaded by the executable once no
// support-control command was asked for.
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <type_traits>

#include "app/Main.h"
#include "app/TarnwickAppDelegate.h"
#include "app/TarnwickVisibleInstance.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/DesktopModule.h"
#include "platform/linux/LinuxServices.h"
#include "platform/linux/bundle/LinuxBundle.h"
#include "platform/linux/shell/DesktopServices.h"
#include "platform/linux/shell/GLibMainQueue.h"
#include "platform/linux/shell/GtkShell.h"
#include "platform/linux/webview/RenderingSetup.h"

namespace tarnwick::platform::linux_desktop {

namespace {

// The one application delegate; this global is what keeps it alive.
std::shared_ptr<app::TarnwickAppDelegate> delegate;

// A letter, then letters, digits, "+", "." or "-", then ":". Checked by characters: an argument
// may be 128 KiB long, and the check must stay linear in it.
bool startsWithScheme(std::string_view argument) {
  auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  auto colon = argument.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isLetter(argument.front())) {
    return false;
  }
  return std::all_of(
      argument.begin() + 1, argument.begin() + static_cast<std::ptrdiff_t>(colon), [&](char c) {
        return isLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '.' || c == '-';
      });
}

// Arguments that carry a URL scheme are links handed to the application, as a desktop entry's %u
// or another copy passes them.
std::vector<std::string> urlArguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> urls;
  for (std::size_t index = 1; index < arguments.size(); ++index) {
    if (startsWithScheme(arguments[index])) {
      urls.push_back(arguments[index]);
    }
  }
  return urls;
}

// The desktop's token for raising a window, as a launcher hands it to the program it starts:
// XDG_ACTIVATION_TOKEN on Wayland, DESKTOP_STARTUP_ID on X11. Taken out of the environment before
// GTK would take it for itself, and so that nothing the shell starts presents it again.
std::string takeDesktopToken() {
  std::string token;
  for (const char* name : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
    if (const char* value = std::getenv(name); value && token.empty()) {
      token = value;
    }
    ::unsetenv(name);
  }
  return token;
}

class DesktopStartup final : public app::Startup {
 public:
  DesktopStartup(int argc, char** argv) : argc_(argc), argv_(argv), arguments_(argv, argv + argc) {}

  // The executable has answered this before loading the module.
  std::optional<std::int32_t> runSupportControlIfRequested() override { return std::nullopt; }

  bool claimVisibleInstance() override {
    return app::TarnwickVisibleInstance::shared().claim(folders_.applicationSupport());
  }

  void activateExistingInstance() override {
    app::TarnwickVisibleInstance::shared().activateExisting(urlArguments(arguments_),
                                                            takeDesktopToken());
  }

  int runApplication() override {
    auto startupToken = takeDesktopToken();
    auto gl = UiProcessGl::keepOutWithoutRenderNode();
    gtk_init(&argc_, &argv_);
    g_set_prgname("Tarnwick");
    gl.makeDefaultWebContext();

    GLibMainQueue mainQueue;
    ThreadSleeper sleeper;
    GtkShellApplication application;
    auto bundle = LinuxBundle::ofRunningExecutable();
    KeyFilePreferences preferences(std::filesystem::path(g_get_user_config_dir()) / "Tarnwick" /
                                   "preferences.ini");
    GtkPasteboard pasteboard;
    GioWorkspace workspace;
    connector::PosixCommandRunner commands(linuxToolLocation);
    auto services = makeLinuxServices(mainQueue, bundle, commands,
                                      [&application] { return application.mainWindow(); });

    Platform platform{.mainQueue = mainQueue,
                      .sleeper = sleeper,
                      .http = services->http(),
                      .application = application,
                      .workspace = workspace,
                      .pasteboard = pasteboard,
                      .preferences = preferences,
                      .bundle = bundle,
                      .loginItems = services->loginItems(),
                      .deviceOwnerAuth = services->deviceOwnerAuth(),
                      .userFolders = folders_,
                      .commands = commands};
    delegate = std::make_shared<app::TarnwickAppDelegate>(platform);
    delegate->setStartupToken(startupToken);

    // Requests from refused copies arrive on the listener's thread; act on them on the main one.
    app::TarnwickVisibleInstance::shared().listenForActivations(
        [&mainQueue](app::activation::Activation activation) {
          mainQueue.async([activation = std::move(activation)] {
            if (delegate) {
              delegate->handleActivation(activation);
            }
          });
        });

    // Links on the command line arrive as one batch before the window exists, like a link that
    // launched the application.
    if (auto urls = urlArguments(arguments_); !urls.empty()) {
      delegate->applicationOpenURLs(urls);
    }
    mainQueue.async([] { delegate->applicationDidFinishLaunching(); });
    int status = application.run();
    // No more requests: the handler refers to the main queue, which ends with this function.
    app::TarnwickVisibleInstance::shared().stopListening();
    delegate.reset();  // before the platform objects it refers to go
    return status;
  }

 private:
  int argc_;
  char** argv_;
  std::vector<std::string> arguments_;
  XdgUserFolders folders_;
};

}  // namespace

}  // namespace tarnwick::platform::linux_desktop

extern "C" __attribute__((visibility("default"))) tarnwick::app::Startup* tarnwick_desktop_startup(
    int argc, char** argv) {
  static_assert(std::is_same_v<decltype(&tarnwick_desktop_startup),
                               tarnwick::platform::linux_desktop::DesktopStartupEntry>);
  return new tarnwick::platform::linux_desktop::DesktopStartup(argc, argv);
}
