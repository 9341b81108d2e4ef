#include <X11/XF86keysym.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <array>

#include "platform/SupportDevices.h"
#include "platform/linux/support/X11SupportDevices.h"

namespace tarnwick::platform::linux_desktop {

namespace {

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

}  // namespace tarnwick::platform::linux_desktop
