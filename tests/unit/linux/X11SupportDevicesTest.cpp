// The pure parts of the X11 support devices: the virtual key table, modifiers, text as keysyms,
// window classes, and JPEG encoding.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <sstream>

#include "platform/linux/support/JpegEncoder.h"
#include "platform/linux/support/X11SupportDevices.h"

// Xlib's own, declared here because its header's macros clash with the test framework's names.
extern "C" char* XKeysymToString(unsigned long keysym);

namespace tarnwick::platform::linux_desktop {
namespace {

std::string nameOf(std::optional<unsigned long> keysym) {
  const char* name = keysym ? XKeysymToString(*keysym) : "none";
  return name ? name : "unnamed";
}

TEST(X11Keys, VirtualKeysModifiersAndTextBecomeTheKeysymsTheyName) {
  std::istringstream expected(
      "0 a 1 s 11 b 12 q 18 1 22 6 23 5 29 0 24 equal 27 minus 30 bracketright 33 bracketleft "
      "36 Return 39 apostrophe 41 semicolon 42 backslash 43 comma 44 slash 45 n 47 period 48 Tab "
      "49 space 50 grave 51 BackSpace 53 Escape 117 Delete 115 Home 119 End 116 Prior 121 Next "
      "123 Left 124 Right 125 Down 126 Up 122 F1 120 F2 99 F3 118 F4 96 F5 111 F12 105 F13 90 F20 "
      "82 KP_0 92 KP_9 65 KP_Decimal 76 KP_Enter 81 KP_Equal 71 Clear 55 Control_L 54 Control_R "
      "59 Control_L 56 Shift_L 60 Shift_R 58 Alt_L 61 Alt_R 57 Caps_Lock 63 none 66 none 127 none "
      "128 none 65535 none");
  for (std::uint16_t code; expected >> code;) {
    std::string name;
    expected >> name;
    EXPECT_EQ(nameOf(keysymForVirtualKey(code)), name) << code;
  }
  auto modifiers = [](std::uint64_t flags) {
    std::string result;
    for (auto keysym : modifierKeysymsForFlags(flags)) {
      result += nameOf(keysym) + " ";
    }
    return result;
  };
  EXPECT_EQ(modifiers(0) + modifiers(keyFlags::capsLock) + modifiers(0x800000) + "|" +
                modifiers(keyFlags::command) + modifiers(keyFlags::command | keyFlags::control) +
                modifiers(keyFlags::shift | keyFlags::option),
            "|Control_L Control_L Shift_L Alt_L ");  // Caps Lock and Function: none
  using Keysyms = std::vector<unsigned long>;
  EXPECT_EQ(keysymsForText(u"aZ ~\u00e9\u00ff\u20ac\U0001F600"),
            (Keysyms{'a', 'Z', ' ', '~', 0xE9, 0xFF, 0x10020AC, 0x101F600}));
  EXPECT_EQ(keysymsForText(u"a\nb\r\t\x01\x7f\x85"), (Keysyms{'a', 0xFF0D, 'b', 0xFF0D, 0xFF09}));
  EXPECT_EQ(keysymsForText(std::u16string(1, u'\xD83D') + u"a" + u'\xDE00'),
            (Keysyms{0x100FFFD, 'a', 0x100FFFD}));
  // A window matches the application by its identifier or that identifier's last part.
  EXPECT_TRUE(windowClassMatches("com.apple.TextEdit", "TextEdit", "TextEdit") &&
              windowClassMatches("com.apple.TextEdit", "textedit", "") &&
              windowClassMatches("com.apple.Notes", "", "NOTES") &&
              windowClassMatches("com.apple.Notes", "com.apple.Notes", ""));
  EXPECT_FALSE(windowClassMatches("com.apple.Notes", "gnome-notes", "Gnome-notes") ||
               windowClassMatches("com.apple.TextEdit", "Edit", "Text"));
  EXPECT_FALSE(windowClassMatches("com.apple.", "", "") || windowClassMatches("", "", ""));
}

TEST(JpegEncoding, EncodesTheImageAsItIsAtTheQualityAskedAndRefusesWhatIsNoImage) {
  Image image{40, 30, {}};
  for (int index = 0; index < 40 * 30; ++index) {  // red on the left, blue on the right
    bool left = index % 40 < 20;
    image.rgb.insert(image.rgb.end(),
                     {std::uint8_t(left ? 230 : 10), 20, std::uint8_t(left ? 10 : 220)});
  }
  auto data = LibjpegEncoder().encodeJPEG(image, 0.72);
  ASSERT_TRUE(data);
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data->data(), data->size());
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  EXPECT_EQ(info.output_width * 1000 + info.output_height, 40030u);
  std::vector<std::uint8_t> row(info.output_width * 3);
  for (JSAMPROW rows = row.data(); info.output_scanline < 16;) {
    jpeg_read_scanlines(&info, &rows, 1);
  }
  jpeg_destroy_decompress(&info);
  for (auto [at, value] : {std::pair{15, 230}, {17, 10}, {105, 10}, {107, 220}}) {
    EXPECT_NEAR(row[std::size_t(at)], value, 12) << at;
  }
  EXPECT_LT(LibjpegEncoder().encodeJPEG(image, 0.1)->size(), data->size()) << "quality is used";
  for (const auto& [refused, quality] : {std::pair{Image{0, 0, {}}, 0.72},
                                         {Image{2, 2, std::vector<std::uint8_t>(11)}, 0.72},
                                         {Image{-1, 2, {}}, 0.72},
                                         {Image{70000, 1, std::vector<std::uint8_t>(210000)}, 0.72},
                                         {Image{1, 1, {0, 0, 0}}, 1.5}}) {
    EXPECT_FALSE(LibjpegEncoder().encodeJPEG(refused, quality)) << refused.width;
  }
  EXPECT_TRUE(LibjpegEncoder().encodeJPEG(Image{1, 1, {0, 0, 0}}, 0));
}

}  // namespace
}  // namespace tarnwick::platform::linux_desktop
