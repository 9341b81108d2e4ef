// The pure parts of the X11 support devices: the virtual key table, modifiers, text as keysyms,
// window classes, and JPEG encoding.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <set>

#include "platform/linux/support/JpegEncoder.h"
#include "platform/linux/support/X11SupportDevices.h"

// Xlib's own, declared here because its header's macros clash with the test framework's names.
extern "C" char* XKeysymToString(unsigned long keysym);

namespace tarnwick::platform::linux_desktop {
namespace {

std::string keysymName(std::optional<unsigned long> keysym) {
  if (!keysym) {
    return "none";
  }
  const char* name = XKeysymToString(*keysym);
  return name ? name : "unnamed";
}

TEST(VirtualKeys, NameTheKeyAtTheirPlace) {
  std::vector<std::pair<std::uint16_t, std::string>> expected{{0, "a"},
                                                              {1, "s"},
                                                              {11, "b"},
                                                              {12, "q"},
                                                              {18, "1"},
                                                              {22, "6"},
                                                              {23, "5"},
                                                              {29, "0"},
                                                              {24, "equal"},
                                                              {27, "minus"},
                                                              {30, "bracketright"},
                                                              {33, "bracketleft"},
                                                              {36, "Return"},
                                                              {39, "apostrophe"},
                                                              {41, "semicolon"},
                                                              {42, "backslash"},
                                                              {43, "comma"},
                                                              {44, "slash"},
                                                              {45, "n"},
                                                              {47, "period"},
                                                              {48, "Tab"},
                                                              {49, "space"},
                                                              {50, "grave"},
                                                              {51, "BackSpace"},
                                                              {53, "Escape"},
                                                              {117, "Delete"},
                                                              {115, "Home"},
                                                              {119, "End"},
                                                              {116, "Prior"},
                                                              {121, "Next"},
                                                              {123, "Left"},
                                                              {124, "Right"},
                                                              {125, "Down"},
                                                              {126, "Up"},
                                                              {122, "F1"},
                                                              {120, "F2"},
                                                              {99, "F3"},
                                                              {118, "F4"},
                                                              {96, "F5"},
                                                              {111, "F12"},
                                                              {105, "F13"},
                                                              {90, "F20"},
                                                              {82, "KP_0"},
                                                              {92, "KP_9"},
                                                              {65, "KP_Decimal"},
                                                              {76, "KP_Enter"},
                                                              {81, "KP_Equal"},
                                                              {71, "Clear"},
                                                              {55, "Control_L"},
                                                              {54, "Control_R"},
                                                              {59, "Control_L"},
                                                              {56, "Shift_L"},
                                                              {60, "Shift_R"},
                                                              {58, "Alt_L"},
                                                              {61, "Alt_R"},
                                                              {57, "Caps_Lock"},
                                                              {63, "none"},
                                                              {66, "none"},
                                                              {127, "none"},
                                                              {128, "none"},
                                                              {65535, "none"}};
  for (const auto& [code, name] : expected) {
    EXPECT_EQ(keysymName(keysymForVirtualKey(code)), name) << code;
  }
}

TEST(VirtualKeys, CoverEveryLetterDigitAndFunctionKeyOnce) {
  std::multiset<std::string> names;
  for (std::uint16_t code = 0; code < 128; ++code) {
    names.insert(keysymName(keysymForVirtualKey(code)));
  }
  std::vector<std::string> wanted;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    wanted.emplace_back(1, letter);
  }
  for (int number = 0; number <= 9; ++number) {
    wanted.push_back(std::to_string(number));
    wanted.push_back("KP_" + std::to_string(number));
  }
  for (int number = 1; number <= 20; ++number) {
    wanted.push_back("F" + std::to_string(number));
  }
  for (const auto& name : wanted) {
    EXPECT_EQ(names.count(name), 1U) << name;
  }
}

TEST(Modifiers, CommandHoldsControl) {
  auto names = [](std::uint64_t flags) {
    std::vector<std::string> result;
    for (auto keysym : modifierKeysymsForFlags(flags)) {
      result.push_back(keysymName(keysym));
    }
    return result;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names(0), Names{});
  EXPECT_EQ(names(keyFlags::command), Names{"Control_L"});
  EXPECT_EQ(names(keyFlags::command | keyFlags::control), Names{"Control_L"});
  EXPECT_EQ(names(keyFlags::shift | keyFlags::option), (Names{"Shift_L", "Alt_L"}));
  EXPECT_EQ(names(keyFlags::capsLock), Names{});
  EXPECT_EQ(names(0x800000), Names{});  // Function: no key of its own
}

TEST(TextKeysyms, OnePerCharacter) {
  using Keysyms = std::vector<unsigned long>;
  EXPECT_EQ(keysymsForText(u""), Keysyms{});
  EXPECT_EQ(keysymsForText(u"aZ ~"), (Keysyms{'a', 'Z', ' ', '~'}));
  EXPECT_EQ(keysymsForText(u"\u00e9\u00ff"), (Keysyms{0xE9, 0xFF}));
  EXPECT_EQ(keysymsForText(u"\u20ac\u2026"), (Keysyms{0x10020AC, 0x1002026}));
  EXPECT_EQ(keysymsForText(u"\U0001F600"), Keysyms{0x101F600});
  EXPECT_EQ(keysymsForText(u"a\nb\r\t"), (Keysyms{'a', 0xFF0D, 'b', 0xFF0D, 0xFF09}));
  EXPECT_EQ(keysymsForText(u"\x01\x7f\x85x"), Keysyms{'x'});
  EXPECT_EQ(keysymsForText(std::u16string(1, u'\xD83D') + u"a"), (Keysyms{0x100FFFD, 'a'}));
  EXPECT_EQ(keysymsForText(std::u16string(1, u'\xDE00')), Keysyms{0x100FFFD});
}

TEST(WindowClasses, MatchTheIdentifierOrItsLastPart) {
  EXPECT_TRUE(windowClassMatches("com.apple.TextEdit", "TextEdit", "TextEdit"));
  EXPECT_TRUE(windowClassMatches("com.apple.TextEdit", "textedit", ""));
  EXPECT_TRUE(windowClassMatches("com.apple.Notes", "", "NOTES"));
  EXPECT_TRUE(windowClassMatches("com.apple.Notes", "com.apple.Notes", ""));
  EXPECT_FALSE(windowClassMatches("com.apple.Notes", "gnome-notes", "Gnome-notes"));
  EXPECT_FALSE(windowClassMatches("com.apple.TextEdit", "Edit", "Text"));
  EXPECT_FALSE(windowClassMatches("com.apple.", "", ""));
  EXPECT_FALSE(windowClassMatches("", "", ""));
}

struct Decoded {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

Decoded decode(const std::vector<std::uint8_t>& data) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), data.size());
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  Decoded result{static_cast<int>(info.output_width), static_cast<int>(info.output_height), {}};
  std::vector<std::uint8_t> row(info.output_width * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows = row.data();
    jpeg_read_scanlines(&info, &rows, 1);
    result.rgb.insert(result.rgb.end(), row.begin(), row.end());
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return result;
}

TEST(JpegEncoding, EncodesTheImageAsItIs) {
  Image image{40, 30, {}};
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      bool left = x < 20;
      image.rgb.insert(image.rgb.end(), {std::uint8_t(left ? 230 : 10), std::uint8_t(20),
                                         std::uint8_t(left ? 10 : 220)});
    }
  }
  auto data = LibjpegEncoder().encodeJPEG(image, 0.72);
  ASSERT_TRUE(data);
  auto decoded = decode(*data);
  EXPECT_EQ(decoded.width, 40);
  EXPECT_EQ(decoded.height, 30);
  auto at = [&](int x, int y, int channel) {
    return decoded.rgb[static_cast<std::size_t>((y * 40 + x) * 3 + channel)];
  };
  EXPECT_NEAR(at(5, 15, 0), 230, 12);  // red on the left
  EXPECT_NEAR(at(5, 15, 2), 10, 12);
  EXPECT_NEAR(at(35, 15, 0), 10, 12);  // blue on the right
  EXPECT_NEAR(at(35, 15, 2), 220, 12);
}

TEST(JpegEncoding, QualityDecidesTheSize) {
  Image image{64, 64, {}};
  std::uint32_t noise = 12345;
  for (int index = 0; index < 64 * 64 * 3; ++index) {
    noise = noise * 1103515245 + 12345;
    image.rgb.push_back(static_cast<std::uint8_t>(noise >> 24));
  }
  auto low = LibjpegEncoder().encodeJPEG(image, 0.2);
  auto high = LibjpegEncoder().encodeJPEG(image, 1.0);
  ASSERT_TRUE(low && high);
  EXPECT_LT(low->size(), high->size());
}

TEST(JpegEncoding, RefusesWhatIsNoImage) {
  LibjpegEncoder encoder;
  EXPECT_FALSE(encoder.encodeJPEG(Image{0, 0, {}}, 0.72));
  EXPECT_FALSE(encoder.encodeJPEG(Image{2, 2, std::vector<std::uint8_t>(11)}, 0.72));
  EXPECT_FALSE(encoder.encodeJPEG(Image{-1, 2, {}}, 0.72));
  EXPECT_FALSE(encoder.encodeJPEG(Image{70000, 1, std::vector<std::uint8_t>(210000)}, 0.72));
  EXPECT_FALSE(encoder.encodeJPEG(Image{1, 1, {0, 0, 0}}, 1.5));
  EXPECT_TRUE(encoder.encodeJPEG(Image{1, 1, {0, 0, 0}}, 0));
}

}  // namespace
}  // namespace tarnwick::platform::linux_desktop
