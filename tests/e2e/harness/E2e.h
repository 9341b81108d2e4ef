#pragma once

// What the end-to-end tests share: the real bundle on a private X server with a private home,
// what that X server shows, the stand-in Connector's record and the stand-in service host.

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
namespace fs = std::filesystem;

inline const std::string version = TARNWICK_PROJECT_VERSION;
inline const std::string local = "http://127.0.0.1:8766";
inline const fs::path app = TARNWICK_APP_EXECUTABLE;

// A viewable top-level window.
struct Window {
  unsigned long id = 0;
  std::string title;
  int x = 0, y = 0, width = 0, height = 0;
  bool popup = false;       // a menu or tooltip, which no window manager sees
  unsigned long owner = 0;  // the window a dialog stands over
};

// A client of the X server: its windows bottom to top, its pixels, and input as a user's.
class Screen {
 public:
  explicit Screen(const std::string& display);
  ~Screen();
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;
  std::vector<Window> windows();
  std::optional<Window> waitFor(const std::function<bool(const Window&)>& match,
                                Clock::duration timeout = 20s);
  bool above(unsigned long upper, unsigned long lower);
  std::vector<unsigned long> capture(int x, int y, int width, int height);
  void click(int x, int y);
  // Key and modifiers by keysym name ("Return", "Control_L").
  void key(const std::string& name, const std::vector<std::string>& modifiers = {});
  void focus(unsigned long window);
  std::vector<unsigned long> keyboard();  // every keycode's keysyms, in keycode order
  // A plain window over the whole screen, raised at once and on `raise`.
  unsigned long cover();
  void raise(unsigned long window);

 private:
  void* display_ = nullptr;
};

// The stand-in Connector listening on `port`, as the tests ask it over loopback HTTP.
struct StandIn {
  int port = 8766;
  std::optional<std::string> server();  // the Server header of "/", nothing without an answer
  Json get(const std::string& path);    // a JSON array, empty on any failure
  bool post(const std::string& path, const Json& body);
  bool clear(const std::string& path);
  bool navigate(const std::string& url) {
    return post("/test/command", {{"action", "navigate"}, {"url", url}});
  }
  // Log entries with every member of `fields`, once there are `count` of them (else none).
  std::vector<Json> waitLog(const Json& fields, Clock::duration timeout = 30s,
                            std::size_t count = 1);
};
Json loaded(const std::string& path);          // a top-level page reported it loaded `path`
std::string escaped(const std::string& text);  // percent-escaped for a query

// Processes of ours whose executable is named `name` and whose HOME is `home`.
std::vector<int> processesOf(const std::string& name, const fs::path& home);
bool processGone(int pid);
void endProcess(int pid);

// One run of the shell: a private X server and home (no XDG variables), with a session bus and
// the accessibility services on it when `readable`, so that texts can be read as a screen reader
// reads them. Ends the shell and every Connector started for its home.
class Session {
 public:
  explicit Session(bool readable = false, int width = 1280, int height = 900);
  ~Session();
  Process::Options environment(const std::string& log) const;
  // Starts `executable` with `arguments`, through `wrapper` when given, and waits for its window.
  bool launch(const std::vector<std::string>& arguments = {},
              const std::vector<std::string>& wrapper = {},
              const std::map<std::string, std::string>& variables = {},
              const fs::path& executable = app);
  // Ctrl+Q on the main window; true when the shell then exits 0.
  bool quit();
  std::vector<Window> sheets();  // dialogs over the main window
  std::optional<Window> waitSheet(Clock::duration timeout = 20s);
  void press(const Window& window, const std::string& key,
             const std::vector<std::string>& modifiers = {});
  void clickContent(int x, int y);  // in the web view, below the menu bar
  // The shell's "alert", "button: …" and "text: …" lines (see the probe).
  std::vector<std::string> texts();
  bool waitText(const std::string& text, Clock::duration timeout = 30s);
  bool pressNamed(const std::string& name);  // a button or menu item, by accessibility
  std::vector<int> connectors() { return processesOf("Tarnwick Connector", home.path()); }

  VirtualDisplay display;
  TemporaryFolder home{"tarnwick-e2e-home"};
  std::unique_ptr<Screen> screen;
  std::unique_ptr<Process> shell;
  Window main;

 private:
  std::unique_ptr<Process> bus_;
  std::string busAddress_;
};

// The stand-in service host on `port` with a test CA made in `folder`.
struct ServiceHost {
  ServiceHost(const fs::path& folder, int port, const std::vector<std::string>& arguments = {},
              const std::map<std::string, std::string>& variables = {});
  // A wrapper that runs a program where tarnwick.com is loopback and the test CA trusted, with
  // each further pair of paths bind-mounted (source over target).
  std::vector<std::string> wrapper(const std::vector<std::string>& binds = {}) const;
  fs::path folder;
  std::unique_ptr<Process> process;
  bool ready = false;
};
std::vector<std::string> namespaced(const std::vector<std::string>& binds);

}  // namespace tarnwick::e2e
