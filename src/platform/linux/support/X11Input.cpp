// Keyboard and pointer events through XTest.
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#include "platform/linux/support/X11Connection.h"
#include "platform/linux/support/X11SupportDevices.h"

namespace tarnwick::platform::linux_desktop {

namespace {

using namespace std::chrono_literals;

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

int clampedCoordinate(double value) {
  // The server keeps the pointer on its screen; this only keeps the conversion defined.
  constexpr double limit = std::numeric_limits<std::int16_t>::max();
  return static_cast<int>(std::floor(std::clamp(value, -limit, limit)));
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

  explicit Keyboard(X11Connection& connection) : connection_(connection) {
    Display* display = connection.display();
    XDisplayKeycodes(display, &minimum_, &maximum_);
    int count = maximum_ - minimum_ + 1;
    XPtr<KeySym> symbols(
        XGetKeyboardMapping(display, static_cast<KeyCode>(minimum_), count, &perCode_));
    if (!symbols) {
      perCode_ = 0;
      return;
    }
    mapping_.assign(symbols.get(), symbols.get() + count * perCode_);
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

  X11Connection& connection_;
  int minimum_ = 0, maximum_ = 0, perCode_ = 0;
  std::vector<KeySym> mapping_;  // as it was before any binding
  std::vector<KeyCode> spare_;
  std::vector<std::pair<KeySym, KeyCode>> bound_;
};

class X11Input final : public InputEvents {
 public:
  explicit X11Input(X11Connection& connection) : connection_(connection) {}

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

  X11Connection& connection_;
  std::unique_ptr<Keyboard> keyboard_;
};

}  // namespace

std::unique_ptr<InputEvents> makeX11Input(X11Connection& connection) {
  return std::make_unique<X11Input>(connection);
}

}  // namespace tarnwick::platform::linux_desktop
