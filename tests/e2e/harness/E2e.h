#pragma once

// What the end-to-end tests share: the real bundle on a private X server with a private home,
// what that X server shows, the stand-in Connector's record and the stand-in service host.

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

// A client of the X server: its windows bottom to top, its pixels, and input as a user's.
class Screen {
 public:
  explicit Screen(const std::string& display);
  ~Screen();
  std::vector<Window> windows();
  std::optional<Window> waitFor(const std::function<bool(const Window&)>& match,
                                Clock::duration timeout = 20s);
  std::vector<unsigned long> capture(int x, int y, int width, int height);
  void click(int x, int y);
  void key(const std::string& keysym, const Lines& modifiers = {});  // "Return", "Control_L"
  void focus(unsigned long window);
  std::vector<unsigned long> keyboard();                             // every keycode's keysyms
  long cardinal(unsigned long window, const std::string& property);  // -1 when it has none

 private:
  void* display_;
};

// The stand-in Connector on `port`, asked over loopback HTTP.
struct StandIn {
  int port = 8766;
  httplib::Client client() const { return httplib::Client("127.0.0.1", port); }
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
  // Log entries with every member of `fields`, once there are `count` of them (else none).
  std::vector<Json> waitLog(const Json& fields, Clock::duration timeout = 30s,
                            std::size_t count = 1);
};
inline Json loaded(const std::string& path) {  // a top-level page's report that it loaded
  return {{"event", "loaded"}, {"path", path}, {"isTop", true}};
}
std::string escaped(const std::string& text);  // percent-escaped for a query

// Running processes whose executable is called `name` and whose HOME is `home`.
std::vector<int> processesOf(const std::string& name, const fs::path& home);
void endProcess(int pid);

// One run of the shell: a private X server and home (no XDG variables), with a session bus and
// the accessibility services on it when `readable`, so that its texts can be read as a screen
// reader reads them. Ends the shell and every Connector started for its home.
class Session {
 public:
  explicit Session(bool readable = false);
  ~Session();
  Process::Options environment(const std::string& log) const;
  // Starts `executable`, through `wrapper` when given, and waits for its main window.
  bool launch(const Lines& arguments = {}, const Lines& wrapper = {},
              const std::map<std::string, std::string>& variables = {},
              const fs::path& executable = app);
  bool quit() {  // Ctrl+Q; true when the shell then exits 0
    press(main, "q", {"Control_L"});
    return shell->wait(20s) == 0;
  }
  std::optional<Window> waitSheet(Clock::duration timeout = 20s) {
    return screen.waitFor([&](const Window& one) { return !one.popup && one.owner == main.id; },
                          timeout);
  }
  void press(const Window& window, const std::string& key, const Lines& modifiers = {});
  void clickContent(int x, int y);                     // in the web view, below the menu bar
  Lines texts() { return linesOf(probe({}).output); }  // "alert", "button: …", "text: …"
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
  std::string busAddress_;
};

// Runs a program in a mount namespace with each pair of paths bound, source over target.
Lines namespaced(const Lines& binds);

// The stand-in service host on `port` with a test CA made in `folder`; `wrapper` runs a program
// where tarnwick.com is loopback and that CA trusted, with `binds` as for `namespaced`.
struct ServiceHost {
  ServiceHost(const fs::path& where, int port, const Lines& arguments = {},
              const std::map<std::string, std::string>& variables = {});
  Lines wrapper(const Lines& binds = {}) const;
  fs::path folder;
  std::unique_ptr<Process> process;
  bool ready = false;
};

}  // namespace tarnwick::e2e
