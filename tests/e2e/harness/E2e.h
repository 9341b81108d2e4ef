#pragma once

// The real bundle on a private X server and home, what it shows, and the stand-ins it talks to.

#include <httplib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Processes.h"
#include "VirtualDisplay.h"

namespace tarnwick::e2e {

using namespace testsupport;
using Json = nlohmann::json;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

inline const std::string version = TARNWICK_PROJECT_VERSION;
inline const std::string local = "http://127.0.0.1:8766";
inline const fs::path app = TARNWICK_APP_EXECUTABLE;
inline bool contains(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A viewable top-level window: a popup is a menu; `owner` is the window a dialog stands over.
struct Window {
  unsigned long id = 0;
  std::string title;
  int x = 0, y = 0, width = 0, height = 0;
  bool popup = false;
  unsigned long owner = 0;
};

// A client of the X server: its windows bottom to top and its pixels.
class Screen {
 public:
  explicit Screen(const std::string& display);
  ~Screen();
  std::vector<Window> windows();
  std::optional<Window> waitFor(const std::function<bool(const Window&)>& match,
                                Clock::duration timeout = 20s);
  std::string capture(int x, int y, int width, int height);  // the raw pixels

 private:
  void* display_;
};

// The stand-in Connector on its port, asked over loopback HTTP.
struct StandIn {
  httplib::Client client() const { return httplib::Client("127.0.0.1", 8766); }
  std::optional<std::string> server() {  // the Server header of "/"; nothing without an answer
    auto result = client().Get("/");
    return result ? std::optional(result->get_header_value("Server")) : std::nullopt;
  }
  Json get(const std::string& path) {  // a JSON array, empty on any failure
    auto result = client().Get(path);
    auto parsed = result ? Json::parse(result->body, nullptr, false) : Json();
    return parsed.is_array() ? parsed : Json::array();
  }
  static bool done(const httplib::Result& result) { return result && result->status == 204; }
  bool post(const std::string& path, const Json& body) {
    return done(client().Post(path, body.dump(), "application/json"));
  }
  bool clear(const std::string& path) { return done(client().Delete(path)); }
  bool navigate(const std::string& url) {
    return post("/test/command", {{"action", "navigate"}, {"url", url}});
  }
  // Log entries with every member of `fields`, once there is one (else none).
  std::vector<Json> waitLog(const Json& fields, Clock::duration timeout = 30s);
};
inline Json loaded(const std::string& path) {  // a top-level page's report that it loaded
  return {{"event", "loaded"}, {"path", path}, {"isTop", true}};
}
inline std::string escaped(const std::string& text) {  // percent-escaped for a query
  return httplib::detail::encode_query_param(text);
}

// Running processes whose executable is called `name` and whose HOME is `home`.
std::vector<int> processesOf(const std::string& name, const fs::path& home);
void endProcess(int pid);

// One run of the shell: a private X server, home (no XDG variables) and session bus for reading
// it as a screen reader does. Ends the shell and every Connector started for its home.
class Session {
 public:
  Session();
  ~Session();
  Process::Options environment(const std::string& log) const;
  // Starts `executable`, through `wrapper` when given, and waits for its main window.
  bool launch(const Lines& arguments = {}, const Lines& wrapper = {},
              const std::map<std::string, std::string>& variables = {},
              const fs::path& executable = app);
  bool quit() {  // Ctrl+Q; true when the shell then exits 0
    press(main, "ctrl+q");
    return shell->wait(20s) == 0;
  }
  std::optional<Window> waitSheet(Clock::duration timeout = 20s) {
    return screen.waitFor([&](const Window& one) { return !one.popup && one.owner == main.id; },
                          timeout);
  }
  // Input as a user's, through XTEST, to `window` once it has the focus.
  void input(const Window& window, const Lines& xdotoolCommands);
  void press(const Window& window, const std::string& keys) { input(window, {"key", keys}); }
  void click(int x, int y) {  // in the window; the pointer arrives before the press
    input(main, {"mousemove", std::to_string(main.x + x), std::to_string(main.y + y), "sleep",
                 "0.03", "click", "1"});
  }
  void clickContent(int x, int y) { click(x, y + 40); }  // GTK's menu bar is under 40 pixels
  Lines texts() { return linesOf(probe({}).output); }    // "alert", "button: …", "text: …"
  bool waitText(const std::string& text, Clock::duration timeout = 30s) {
    return waitUntil([&] { return contains(texts(), "text: " + text); }, timeout, 200ms);
  }
  bool pressNamed(const std::string& name) {  // a button or menu item, once it is listed
    auto pressed = [&] { return probe({"--press", name}).status == 0; };
    return waitUntil(pressed, 20s, 200ms);
  }
  CommandResult probe(const Lines& arguments) {
    return runCommand(TARNWICK_ACCESSIBILITY_PROBE, arguments, environment("probe"), 20s);
  }
  std::vector<int> connectors() { return processesOf("Tarnwick Connector", home.path()); }

  VirtualDisplay display;
  TemporaryFolder home{"tarnwick-e2e-home"};
  Screen screen{display.name()};
  std::unique_ptr<Process> shell;
  Window main;

 private:
  std::unique_ptr<Process> bus_;
};

// Runs a program in a mount namespace with each pair of paths bound, source over target.
Lines namespaced(const Lines& binds);

// The stand-in service host with a CA made in `folder`; `wrapper` makes tarnwick.com it, trusted.
struct ServiceHost {
  ServiceHost(const fs::path& where, int port, const Lines& arguments = {},
              const std::map<std::string, std::string>& variables = {});
  Lines wrapper() const;
  fs::path folder;
  std::unique_ptr<Process> process;
  bool ready = false;
};

}  // namespace tarnwick::e2e
