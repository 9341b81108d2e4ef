#include "platform/linux/X11SupportDevices.h"

#include <X11/XF86keysym.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#include "platform/linux/JpegEncoder.h"

namespace tarnwick::platform::linux_desktop {

namespace {

using namespace std::chrono_literals;

// Keysyms at the place of each virtual key code on a US keyboard. Zero: no key there.
constexpr std::array<KeySym, 128> virtualKeyTable = [] {
  std::array<KeySym, 128> table{};
  auto set = [&table](std::size_t code, KeySym keysym) { table[code] = keysym; };
  // Letters and digits, in the order the codes run.
  set(0, XK_a), set(1, XK_s), set(2, XK_d), set(3, XK_f), set(4, XK_h), set(5, XK_g);
  set(6, XK_z), set(7, XK_x), set(8, XK_c), set(9, XK_v), set(10, XK_section), set(11, XK_b);
  set(12, XK_q), set(13, XK_w), set(14, XK_e), set(15, XK_r), set(16, XK_y), set(17, XK_t);
  set(18, XK_1), set(19, XK_2), set(20, XK_3), set(21, XK_4), set(22, XK_6), set(23, XK_5);
  set(24, XK_equal), set(25, XK_9), set(26, XK_7), set(27, XK_minus), set(28, XK_8);
  set(29, XK_0), set(30, XK_bracketright), set(31, XK_o), set(32, XK_u);
  set(33, XK_bracketleft), set(34, XK_i), set(35, XK_p), set(36, XK_Return), set(37, XK_l);
  set(38, XK_j), set(39, XK_apostrophe), set(40, XK_k), set(41, XK_semicolon);
  set(42, XK_backslash), set(43, XK_comma), set(44, XK_slash), set(45, XK_n), set(46, XK_m);
  set(47, XK_period), set(48, XK_Tab), set(49, XK_space), set(50, XK_grave);
  set(51, XK_BackSpace), set(52, XK_KP_Enter), set(53, XK_Escape);
  // Modifiers. Command is Control here: it carries the shortcuts.
  set(54, XK_Control_R), set(55, XK_Control_L), set(56, XK_Shift_L), set(57, XK_Caps_Lock);
  set(58, XK_Alt_L), set(59, XK_Control_L), set(60, XK_Shift_R), set(61, XK_Alt_R);
  set(62, XK_Control_R);
  // 63 is Function, which never reaches the system as a key.
  set(64, XK_F17), set(65, XK_KP_Decimal), set(67, XK_KP_Multiply), set(69, XK_KP_Add);
  set(71, XK_Clear), set(72, XF86XK_AudioRaiseVolume), set(73, XF86XK_AudioLowerVolume);
  set(74, XF86XK_AudioMute), set(75, XK_KP_Divide), set(76, XK_KP_Enter);
  set(78, XK_KP_Subtract), set(79, XK_F18), set(80, XK_F19), set(81, XK_KP_Equal);
  set(82, XK_KP_0), set(83, XK_KP_1), set(84, XK_KP_2), set(85, XK_KP_3), set(86, XK_KP_4);
  set(87, XK_KP_5), set(88, XK_KP_6), set(89, XK_KP_7), set(90, XK_F20), set(91, XK_KP_8);
  set(92, XK_KP_9), set(93, XK_yen), set(94, XK_underscore), set(95, XK_KP_Separator);
  set(96, XK_F5), set(97, XK_F6), set(98, XK_F7), set(99, XK_F3), set(100, XK_F8);
  set(101, XK_F9), set(102, XK_Eisu_toggle), set(103, XK_F11), set(104, XK_Hiragana_Katakana);
  set(105, XK_F13), set(106, XK_F16), set(107, XK_F14), set(109, XK_F10), set(110, XK_Menu);
  set(111, XK_F12), set(113, XK_F15);
  // Help sits where Insert is on other keyboards, and Insert is what it does here.
  set(114, XK_Insert), set(115, XK_Home), set(116, XK_Prior), set(117, XK_Delete);
  set(118, XK_F4), set(119, XK_End), set(120, XK_F2), set(121, XK_Next), set(122, XK_F1);
  set(123, XK_Left), set(124, XK_Right), set(125, XK_Down), set(126, XK_Up);
  return table;
}();

// Clients translate a key when they read it, with the mapping they fetched last, so a temporary
// key binding must outlive their reading. A client that answers the window manager's ping tells
// when it has read; this is how long it gets to do so.
constexpr auto clientReadTimeout = 2s;
// What a client that cannot be asked gets instead.
constexpr auto bindingSettleTime = 150ms;

// A wheel event of any size is this many steps at most, so that a huge delta cannot flood clients.
constexpr std::int64_t maximumWheelSteps = 200;

constexpr unsigned int leftButton = 1;
constexpr unsigned int rightButton = 3;
constexpr unsigned int wheelUpButton = 4;
constexpr unsigned int wheelDownButton = 5;

// The default handler ends the process on any protocol error; ours counts them, so that each
// operation can tell whether its requests went through.
int protocolErrors = 0;

int countError(Display*, XErrorEvent*) {
  ++protocolErrors;
  return 0;
}

class Connection {
 public:
  Connection() : display_(XOpenDisplay(nullptr)) {
    if (!display_) {
      return;
    }
    XSetErrorHandler(countError);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    hasXTest_ = XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor);
  }
  ~Connection() {
    if (display_) {
      XCloseDisplay(display_);
    }
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* display() const { return display_; }
  bool canPostInput() const { return display_ && hasXTest_; }

  // Makes sure the server has handled every request so far; false when any of them failed since
  // the last call.
  bool settled() {
    XSync(display_, False);
    bool clean = protocolErrors == 0;
    protocolErrors = 0;
    return clean;
  }

 private:
  Display* display_;
  bool hasXTest_ = false;
};

// Screens side by side from left to right, as one global coordinate space.
struct ScreenArea {
  int screen;
  int left;
  int width;
  int height;
};

std::vector<ScreenArea> screenAreas(Display* display) {
  std::vector<ScreenArea> areas;
  int left = 0;
  for (int screen = 0; screen < ScreenCount(display); ++screen) {
    areas.push_back({screen, left, DisplayWidth(display, screen), DisplayHeight(display, screen)});
    left += DisplayWidth(display, screen);
  }
  return areas;
}

int clampedCoordinate(double value) {
  // The server keeps the pointer on its screen; this only keeps the conversion defined.
  constexpr double limit = std::numeric_limits<std::int16_t>::max();
  return static_cast<int>(std::floor(std::clamp(value, -limit, limit)));
}

// The top-level window at or above the given one whose client takes part in the ping protocol.
std::optional<Window> pingableWindowAbove(Display* display, Window window) {
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  while (window != None) {
    Atom* protocols = nullptr;
    int count = 0;
    if (XGetWMProtocols(display, window, &protocols, &count)) {
      bool found = std::find(protocols, protocols + count, ping) != protocols + count;
      XFree(protocols);
      if (found) {
        return window;
      }
    }
    Window root = None, parent = None, *children = nullptr;
    unsigned int childCount = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &childCount)) {
      return std::nullopt;
    }
    if (children) {
      XFree(children);
    }
    if (parent == root) {
      return std::nullopt;
    }
    window = parent;
  }
  return std::nullopt;
}

bool pingFocusedClient(Display* display, std::chrono::milliseconds timeout) {
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  if (focus == None || focus == PointerRoot) {
    return false;
  }
  auto target = pingableWindowAbove(display, focus);
  if (!target) {
    return false;
  }
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, *target, &attributes)) {
    return false;
  }
  Window root = attributes.root;
  Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  static long nextToken = static_cast<long>(getpid()) << 8;
  long token = nextToken++;
  // Answers go to the root window, to whoever watches its substructure.
  XSelectInput(display, root, SubstructureNotifyMask);
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = *target;
  request.xclient.message_type = protocols;
  request.xclient.format = 32;
  request.xclient.data.l[0] = static_cast<long>(ping);
  request.xclient.data.l[1] = token;
  request.xclient.data.l[2] = static_cast<long>(*target);
  XSendEvent(display, *target, False, NoEventMask, &request);
  XFlush(display);

  bool answered = false;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!answered) {
    while (!answered && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      answered = event.type == ClientMessage && event.xclient.message_type == protocols &&
                 event.xclient.format == 32 && event.xclient.data.l[0] == static_cast<long>(ping) &&
                 event.xclient.data.l[1] == token &&
                 event.xclient.data.l[2] == static_cast<long>(*target);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (answered || left.count() <= 0) {
      break;
    }
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, static_cast<int>(left.count()) + 1);
  }
  XSelectInput(display, root, NoEventMask);
  return answered;
}

// Pings the client of the focused window and waits for its answer. Events reach a client in
// order and it answers when it reads the ping, so an answer means it has read every key sent
// before. False when the focus is on no such client or no answer came in time.
bool focusedClientHasRead(Display* display, std::chrono::milliseconds timeout) {
  // A window gone meanwhile is no failure of the typing.
  int errorsBefore = protocolErrors;
  bool answered = pingFocusedClient(display, timeout);
  XSync(display, False);
  protocolErrors = errorsBefore;
  return answered;
}

// The core keyboard mapping, with temporary bindings of spare keycodes (those without keysyms)
// for keysyms that no key carries. Bindings live until the object goes, or until spare keycodes
// run out. Only spare keycodes are ever rewritten: a real key rewritten through the core mapping
// could lose what its extended description says about it.
class Keyboard {
 public:
  struct Key {
    KeyCode code;
    bool shifted;  // the keysym is the key's second level
  };

  explicit Keyboard(Connection& connection) : connection_(connection) {
    Display* display = connection.display();
    XDisplayKeycodes(display, &minimum_, &maximum_);
    int count = maximum_ - minimum_ + 1;
    KeySym* symbols =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minimum_), count, &perCode_);
    if (!symbols) {
      perCode_ = 0;
      return;
    }
    mapping_.assign(symbols, symbols + count * perCode_);
    XFree(symbols);
    for (int code = minimum_; code <= maximum_; ++code) {
      auto first = mapping_.begin() + (code - minimum_) * perCode_;
      if (std::all_of(first, first + perCode_, [](KeySym symbol) { return symbol == NoSymbol; })) {
        spare_.push_back(static_cast<KeyCode>(code));
      }
    }
  }

  ~Keyboard() { releaseBindings(); }
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // Keys for the keysyms from the first on, as many as could be had: it stops at the first keysym
  // that is on no key when no spare keycode is left. New bindings are made before this returns,
  // all at once where the spare keycodes run together, so that a client refreshing its mapping
  // for the first sees the rest too.
  std::vector<Key> keysFor(const std::vector<KeySym>& keysyms, std::size_t from) {
    std::vector<Key> keys;
    std::vector<KeyCode> fresh;
    for (std::size_t index = from; index < keysyms.size(); ++index) {
      if (auto key = existingKey(keysyms[index])) {
        keys.push_back(*key);
        continue;
      }
      if (bound_.size() >= spare_.size() || perCode_ == 0) {
        break;
      }
      KeyCode code = spare_[bound_.size()];
      bound_.emplace_back(keysyms[index], code);
      fresh.push_back(code);
      keys.push_back(Key{code, false});
    }
    writeBindings(fresh);
    return keys;
  }

  bool hasBindings() const { return !bound_.empty(); }

  // Waits for clients to read what was typed under the bindings, then returns the spare keycodes
  // to having no keysym, as they were.
  void releaseBindings() {
    if (bound_.empty()) {
      return;
    }
    XSync(connection_.display(), False);
    if (!focusedClientHasRead(connection_.display(), clientReadTimeout)) {
      std::this_thread::sleep_for(bindingSettleTime);
    }
    std::vector<KeyCode> codes;
    for (const auto& binding : bound_) {
      codes.push_back(binding.second);
    }
    bound_.clear();
    writeBindings(codes);
  }

 private:
  std::optional<Key> existingKey(KeySym keysym) const {
    // Shift reaches a key's second level, except on the keypad, where Num Lock does.
    int levels = std::min(perCode_, IsKeypadKey(keysym) ? 1 : 2);
    for (int level = 0; level < levels; ++level) {
      for (int code = minimum_; code <= maximum_; ++code) {
        if (mapping_[static_cast<std::size_t>((code - minimum_) * perCode_ + level)] == keysym) {
          return Key{static_cast<KeyCode>(code), level == 1};
        }
      }
    }
    for (const auto& [symbol, code] : bound_) {
      if (symbol == keysym) {
        return Key{code, false};
      }
    }
    return std::nullopt;
  }

  // Writes the spare keycodes' current bindings (their keysym on both levels, so that a held
  // Shift changes nothing; or nothing), one request for each run of consecutive keycodes.
  void writeBindings(std::vector<KeyCode> codes) {
    if (codes.empty()) {
      return;
    }
    std::sort(codes.begin(), codes.end());
    std::size_t start = 0;
    while (start < codes.size()) {
      std::size_t end = start + 1;
      while (end < codes.size() && codes[end] == codes[end - 1] + 1) {
        ++end;
      }
      std::vector<KeySym> rows(static_cast<std::size_t>(perCode_) * (end - start), NoSymbol);
      for (std::size_t index = start; index < end; ++index) {
        auto binding = std::find_if(bound_.begin(), bound_.end(), [&](const auto& entry) {
          return entry.second == codes[index];
        });
        if (binding != bound_.end()) {
          auto row = rows.begin() + static_cast<std::ptrdiff_t>((index - start) *
                                                                static_cast<std::size_t>(perCode_));
          std::fill(row, row + std::min(perCode_, 2), binding->first);
        }
      }
      XChangeKeyboardMapping(connection_.display(), codes[start], perCode_, rows.data(),
                             static_cast<int>(end - start));
      start = end;
    }
    XSync(connection_.display(), False);
  }

  Connection& connection_;
  int minimum_ = 0, maximum_ = 0, perCode_ = 0;
  std::vector<KeySym> mapping_;  // as it was before any binding
  std::vector<KeyCode> spare_;
  std::vector<std::pair<KeySym, KeyCode>> bound_;
};

class X11Input final : public InputEvents {
 public:
  explicit X11Input(Connection& connection) : connection_(connection) {}

  bool postKey(std::uint16_t keyCode, std::uint64_t flags) override {
    auto keysym = keysymForVirtualKey(keyCode);
    if (!connection_.canPostInput() || !keysym) {
      return false;
    }
    auto keys = keyboard().keysFor({*keysym}, 0);
    if (keys.empty() && keyboard().hasBindings()) {
      keyboard().releaseBindings();
      keys = keyboard().keysFor({*keysym}, 0);
    }
    if (keys.empty()) {
      return false;
    }
    auto key = keys.begin();
    std::vector<KeyCode> modifiers;
    auto modifierKeysyms = modifierKeysymsForFlags(flags);
    if (key->shifted && std::find(modifierKeysyms.begin(), modifierKeysyms.end(), XK_Shift_L) ==
                            modifierKeysyms.end()) {
      modifierKeysyms.push_back(XK_Shift_L);
    }
    for (auto modifier : modifierKeysyms) {
      // A modifier must be a real key: a temporarily bound keycode is in no modifier's map.
      KeyCode code = XKeysymToKeycode(connection_.display(), modifier);
      if (code == 0) {
        return false;
      }
      modifiers.push_back(code);
    }
    connection_.settled();
    for (auto code : modifiers) {
      XTestFakeKeyEvent(connection_.display(), code, True, CurrentTime);
    }
    XTestFakeKeyEvent(connection_.display(), key->code, True, CurrentTime);
    XTestFakeKeyEvent(connection_.display(), key->code, False, CurrentTime);
    for (auto code = modifiers.rbegin(); code != modifiers.rend(); ++code) {
      XTestFakeKeyEvent(connection_.display(), *code, False, CurrentTime);
    }
    return connection_.settled();
  }

  // The chunk's characters one key each, in one burst. Characters on no key go through spare
  // keycodes bound for the purpose; only when those run out does the burst wait for clients to
  // read what was sent, so that the keycodes can be bound anew.
  bool postText(const std::u16string& chunk) override {
    if (!connection_.canPostInput()) {
      return false;
    }
    KeyCode shift = XKeysymToKeycode(connection_.display(), XK_Shift_L);
    auto keysyms = keysymsForText(chunk);
    connection_.settled();
    std::size_t done = 0;
    while (done < keysyms.size()) {
      auto keys = keyboard().keysFor(keysyms, done);
      if (keys.empty()) {
        if (!keyboard().hasBindings()) {
          return false;  // no spare keycode at all
        }
        keyboard().releaseBindings();
        continue;
      }
      for (const auto& key : keys) {
        if (key.shifted && shift == 0) {
          return false;
        }
        if (key.shifted) {
          XTestFakeKeyEvent(connection_.display(), shift, True, CurrentTime);
        }
        XTestFakeKeyEvent(connection_.display(), key.code, True, CurrentTime);
        XTestFakeKeyEvent(connection_.display(), key.code, False, CurrentTime);
        if (key.shifted) {
          XTestFakeKeyEvent(connection_.display(), shift, False, CurrentTime);
        }
      }
      XFlush(connection_.display());
      done += keys.size();
    }
    return connection_.settled();
  }

  // X delivers a button only where the pointer is, so the pointer goes to the point first (as a
  // Quartz click moves the cursor there too); no motion is sent when it is already there. X
  // events carry no click count: clients count clicks by time and place themselves, so the state
  // cannot be passed on.
  bool postClick(double x, double y, MouseButton button, std::int64_t) override {
    if (!connection_.canPostInput()) {
      return false;
    }
    Display* display = connection_.display();
    auto areas = screenAreas(display);
    int globalX = clampedCoordinate(x), globalY = clampedCoordinate(y);
    auto area = std::find_if(areas.begin(), areas.end(), [globalX](const ScreenArea& candidate) {
      return globalX >= candidate.left && globalX < candidate.left + candidate.width;
    });
    if (area == areas.end()) {
      area = globalX < 0 ? areas.begin() : areas.end() - 1;
    }
    int localX = globalX - area->left;
    connection_.settled();
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    bool there = XQueryPointer(display, RootWindow(display, area->screen), &root, &child, &rootX,
                               &rootY, &windowX, &windowY, &mask) &&
                 rootX == localX && rootY == globalY;
    if (!there) {
      XTestFakeMotionEvent(display, area->screen, localX, globalY, CurrentTime);
    }
    unsigned int number = button == MouseButton::right ? rightButton : leftButton;
    XTestFakeButtonEvent(display, number, True, CurrentTime);
    XTestFakeButtonEvent(display, number, False, CurrentTime);
    return connection_.settled();
  }

  // X wheels move in steps, one press and release of button 4 (up) or 5 (down) each; a line is a
  // step. Zero lines move nothing, so nothing is sent.
  bool postScroll(std::int32_t lines) override {
    if (!connection_.canPostInput()) {
      return false;
    }
    auto steps =
        std::min<std::int64_t>(std::abs(static_cast<std::int64_t>(lines)), maximumWheelSteps);
    unsigned int number = lines > 0 ? wheelUpButton : wheelDownButton;
    connection_.settled();
    for (std::int64_t step = 0; step < steps; ++step) {
      XTestFakeButtonEvent(connection_.display(), number, True, CurrentTime);
      XTestFakeButtonEvent(connection_.display(), number, False, CurrentTime);
    }
    return connection_.settled();
  }

 private:
  Keyboard& keyboard() {
    if (!keyboard_) {
      keyboard_ = std::make_unique<Keyboard>(connection_);
    }
    return *keyboard_;
  }

  Connection& connection_;
  std::unique_ptr<Keyboard> keyboard_;
};

// Eight bits of a colour channel from a pixel, whatever the visual's mask.
std::uint8_t channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) {
    return 0;
  }
  int shift = std::countr_zero(mask);
  int bits = std::popcount(mask);
  unsigned long value = (pixel & mask) >> shift;
  unsigned long largest = (1UL << bits) - 1;
  return static_cast<std::uint8_t>((value * 255 + largest / 2) / largest);
}

// Copies one screen's root window into the RGB image at the given left edge.
bool captureScreen(Display* display, const ScreenArea& area, Image& image) {
  XImage* captured = XGetImage(display, RootWindow(display, area.screen), 0, 0,
                               static_cast<unsigned int>(area.width),
                               static_cast<unsigned int>(area.height), AllPlanes, ZPixmap);
  if (!captured) {
    return false;
  }
  bool usable = captured->red_mask && captured->green_mask && captured->blue_mask;
  bool common = captured->bits_per_pixel == 32 && captured->red_mask == 0xFF0000 &&
                captured->green_mask == 0xFF00 && captured->blue_mask == 0xFF &&
                captured->byte_order == LSBFirst;
  for (int y = 0; usable && y < area.height; ++y) {
    auto* out =
        image.rgb.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                            static_cast<std::size_t>(area.left)) *
                               3;
    const auto* row =
        reinterpret_cast<const std::uint8_t*>(captured->data) +
        static_cast<std::size_t>(y) * static_cast<std::size_t>(captured->bytes_per_line);
    for (int x = 0; x < area.width; ++x, out += 3) {
      if (common) {
        const std::uint8_t* pixel = row + static_cast<std::size_t>(x) * 4;
        out[0] = pixel[2], out[1] = pixel[1], out[2] = pixel[0];
      } else {
        unsigned long pixel = XGetPixel(captured, x, y);
        out[0] = channel(pixel, captured->red_mask);
        out[1] = channel(pixel, captured->green_mask);
        out[2] = channel(pixel, captured->blue_mask);
      }
    }
  }
  XDestroyImage(captured);
  return usable;
}

class X11Screen final : public Screen {
 public:
  explicit X11Screen(Connection& connection) : connection_(connection) {}

  // Every screen's root window, side by side: the root holds all the screen's monitors.
  std::optional<Image> captureAllDisplays() override {
    Display* display = connection_.display();
    if (!display) {
      return std::nullopt;
    }
    auto areas = screenAreas(display);
    Image image;
    for (const auto& area : areas) {
      image.width += area.width;
      image.height = std::max(image.height, area.height);
    }
    image.rgb.assign(
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3, 0);
    connection_.settled();
    for (const auto& area : areas) {
      if (!captureScreen(display, area, image)) {
        connection_.settled();
        return std::nullopt;
      }
    }
    if (!connection_.settled() || image.width == 0 || image.height == 0) {
      return std::nullopt;
    }
    return image;
  }

 private:
  Connection& connection_;
};

// X has no permission prompts: input is possible where the server takes XTest events, capture
// where the root window can be read. A request asks the same.
class X11PrivacyAccess final : public PrivacyAccess {
 public:
  explicit X11PrivacyAccess(Connection& connection) : connection_(connection) {}

  bool isTrustedForAccessibility(bool) override { return connection_.canPostInput(); }

  bool screenCaptureAllowed() override {
    Display* display = connection_.display();
    if (!display) {
      return false;
    }
    connection_.settled();
    XImage* pixel = XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    if (pixel) {
      XDestroyImage(pixel);
    }
    return connection_.settled() && pixel;
  }

  bool requestScreenCapture() override { return screenCaptureAllowed(); }

 private:
  Connection& connection_;
};

std::optional<std::vector<unsigned long>> windowListProperty(Display* display, Window window,
                                                             Atom property, Atom type) {
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 65536, False, type, &actualType, &format,
                         &count, &remaining, &data) != Success ||
      !data) {
    return std::nullopt;
  }
  std::optional<std::vector<unsigned long>> values;
  if (actualType == type && format == 32) {
    // Format 32 comes as longs, whatever the size of a long.
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    values.emplace(items, items + count);
  }
  XFree(data);
  return values;
}

class X11RunningApplications final : public RunningApplications {
 public:
  explicit X11RunningApplications(Connection& connection) : connection_(connection) {}

  bool activateFirst(const std::string& bundleIdentifier) override {
    Display* display = connection_.display();
    if (!display) {
      return false;
    }
    connection_.settled();
    Window root = DefaultRootWindow(display);
    for (Window window : applicationWindows()) {
      XClassHint hint{};
      if (!XGetClassHint(display, window, &hint)) {
        continue;
      }
      bool matches = windowClassMatches(bundleIdentifier, hint.res_name ? hint.res_name : "",
                                        hint.res_class ? hint.res_class : "");
      XFree(hint.res_name);
      XFree(hint.res_class);
      if (!matches) {
        continue;
      }
      if (windowManagerSupports("_NET_ACTIVE_WINDOW")) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;  // on the user's behalf, ahead of every other application
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
      } else {
        XRaiseWindow(display, window);
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
      }
      return connection_.settled();
    }
    return false;
  }

 private:
  bool windowManagerSupports(const char* name) {
    Display* display = connection_.display();
    auto supported = windowListProperty(display, DefaultRootWindow(display),
                                        XInternAtom(display, "_NET_SUPPORTED", False), XA_ATOM);
    Atom wanted = XInternAtom(display, name, False);
    return supported && std::find(supported->begin(), supported->end(), wanted) != supported->end();
  }

  // The window manager's client list, oldest first; without one, the viewable top-level windows.
  std::vector<Window> applicationWindows() {
    Display* display = connection_.display();
    Window root = DefaultRootWindow(display);
    if (auto clients = windowListProperty(
            display, root, XInternAtom(display, "_NET_CLIENT_LIST", False), XA_WINDOW)) {
      return {clients->begin(), clients->end()};
    }
    std::vector<Window> windows;
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) && children) {
      for (unsigned int index = 0; index < count; ++index) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[index], &attributes) &&
            attributes.map_state == IsViewable) {
          windows.push_back(children[index]);
        }
      }
      XFree(children);
    }
    return windows;
  }

  Connection& connection_;
};

class BlockingSleeper final : public Sleeper {
 public:
  void sleepFor(Seconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

std::optional<unsigned long> keysymForVirtualKey(std::uint16_t keyCode) {
  if (keyCode >= virtualKeyTable.size() || virtualKeyTable[keyCode] == 0) {
    return std::nullopt;
  }
  return virtualKeyTable[keyCode];
}

std::vector<unsigned long> modifierKeysymsForFlags(std::uint64_t flags) {
  std::vector<unsigned long> keysyms;
  // Command and Control both hold Control; Caps Lock is a state, not a key to hold, and is left
  // as it is.
  if (flags & (keyFlags::command | keyFlags::control)) {
    keysyms.push_back(XK_Control_L);
  }
  if (flags & keyFlags::shift) {
    keysyms.push_back(XK_Shift_L);
  }
  if (flags & keyFlags::option) {
    keysyms.push_back(XK_Alt_L);
  }
  return keysyms;
}

std::vector<unsigned long> keysymsForText(const std::u16string& text) {
  std::vector<unsigned long> keysyms;
  for (std::size_t index = 0; index < text.size(); ++index) {
    char32_t point = text[index];
    if (point >= 0xD800 && point <= 0xDBFF && index + 1 < text.size() &&
        text[index + 1] >= 0xDC00 && text[index + 1] <= 0xDFFF) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[index + 1] - 0xDC00u);
      ++index;
    } else if (point >= 0xD800 && point <= 0xDFFF) {
      point = 0xFFFD;
    }
    if (point == u'\n' || point == u'\r') {
      keysyms.push_back(XK_Return);
    } else if (point == u'\t') {
      keysyms.push_back(XK_Tab);
    } else if (point < 0x20 || (point >= 0x7F && point < 0xA0)) {
      continue;  // types nothing
    } else if (point < 0x100) {
      keysyms.push_back(point);  // Latin-1 keysyms are the characters themselves
    } else {
      keysyms.push_back(0x01000000UL | point);
    }
  }
  return keysyms;
}

bool windowClassMatches(const std::string& bundleIdentifier, const std::string& instanceName,
                        const std::string& className) {
  if (bundleIdentifier.empty()) {
    return false;
  }
  if (instanceName == bundleIdentifier || className == bundleIdentifier) {
    return true;
  }
  // Most X programs name themselves by the last part alone ("TextEdit", "notes").
  auto lastDot = bundleIdentifier.rfind('.');
  std::string last =
      lastDot == std::string::npos ? bundleIdentifier : bundleIdentifier.substr(lastDot + 1);
  auto sameIgnoringCase = [&last](const std::string& name) {
    return !last.empty() && name.size() == last.size() &&
           std::equal(name.begin(), name.end(), last.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) ==
                    std::tolower(static_cast<unsigned char>(b));
           });
  };
  return sameIgnoringCase(instanceName) || sameIgnoringCase(className);
}

struct X11SupportDeviceProvider::Devices {
  Connection connection;
  X11PrivacyAccess privacy{connection};
  X11Screen screen{connection};
  LibjpegEncoder encoder;
  // After the connection, so that it goes first: it gives the keyboard mapping back.
  X11Input input{connection};
  X11RunningApplications applications{connection};
  BlockingSleeper sleeper;
};

X11SupportDeviceProvider::X11SupportDeviceProvider() = default;
X11SupportDeviceProvider::~X11SupportDeviceProvider() = default;

SupportDevices X11SupportDeviceProvider::devices() {
  if (!devices_) {
    devices_ = std::make_unique<Devices>();
  }
  return {.privacy = devices_->privacy,
          .screen = devices_->screen,
          .encoder = devices_->encoder,
          .input = devices_->input,
          .applications = devices_->applications,
          .sleeper = devices_->sleeper};
}

}  // namespace tarnwick::platform::linux_desktop
