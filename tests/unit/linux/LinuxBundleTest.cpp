#include <gtest/gtest.h>
#include <plist/plist.h>

#include "Files.h"
#include "platform/linux/LinuxServices.h"
#include "platform/linux/bundle/LinuxBundle.h"

namespace tarnwick::platform::linux_desktop {
namespace {

namespace fs = std::filesystem;
const InfoValue absent = InfoAbsent{}, other = InfoOther{};

TEST(LinuxBundle, IsTheAppFolderWhoseContentsMacOSHoldsTheExecutable) {
  // the executable | its bundle, "-" for none
  for (std::string_view row :
       {"/opt/Tarnwick.app/Contents/MacOS/Tarnwick|/opt/Tarnwick.app",
        "relative/Other Name.app/Contents/MacOS/T|relative/Other Name.app", "/usr/bin/Tarnwick|-",
        "/opt/Tarnwick/Contents/MacOS/Tarnwick|-", "/opt/T.app/Contents/Resources/T|-",
        "/opt/T.app/contents/MacOS/T|-", "/opt/T.app/Contents/MacOS/|-",
        "/opt/.app/Contents/MacOS/T|-", "Tarnwick|-"}) {
    const auto bar = row.find('|');
    EXPECT_EQ(bundleContaining(row.substr(0, bar)).value_or("-").string(), row.substr(bar + 1))
        << row;
  }
  EXPECT_EQ(LinuxBundle::ofRunningExecutable().bundlePath(), std::nullopt)
      << "a test runs outside any bundle";
  LinuxBundle built{fs::path(TARNWICK_BUNDLE_DIR)};
  EXPECT_EQ(built.bundleIdentifier(), "com.ostrel.tarnwick.launcher");
  EXPECT_TRUE(std::holds_alternative<std::string>(built.infoValue("CFBundleShortVersionString")));
}

TEST(LinuxBundle, ReadsInfoValuesAsStringsOtherOrAbsentFromXMLOrBinaryFiles) {
  testsupport::TemporaryFolder folder;
  const auto bundle = folder.path() / "Tarnwick.app", info = bundle / "Contents/Info.plist";
  fs::create_directories(bundle / "Contents");
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
    <key>CFBundleIdentifier</key><string>com.example.probe</string>
    <key>CFBundleShortVersionString</key><string>2.3.1</string><key>Empty</key><string></string>
    <key>Accented</key><string>Caf&#233; &#8594; ok</string><key>Number</key><integer>7</integer>
    <key>Flag</key><true/><key>List</key><array><string>a</string></array>
    <key>Nested</key><dict><key>CFBundleShortVersionString</key><string>9.9</string></dict></dict></plist>)";
  plist_t root = nullptr;
  plist_from_memory(xml.data(), uint32_t(xml.size()), &root);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &binary, &length);
  plist_free(root);
  for (const auto& contents : {xml, std::string(binary, length)}) {
    testsupport::writeFile(info, contents);
    LinuxBundle read{bundle};
    EXPECT_EQ(read.bundlePath(), bundle);
    EXPECT_EQ(read.bundleIdentifier(), "com.example.probe");
    EXPECT_EQ(read.infoValue("CFBundleShortVersionString"), InfoValue(std::string("2.3.1")));
    EXPECT_EQ(read.infoValue("Empty"), InfoValue(std::string()));
    EXPECT_EQ(read.infoValue("Accented"), InfoValue(std::string("Caf\u00e9 \u2192 ok")));
    for (const char* key : {"Number", "Flag", "List", "Nested"}) {
      EXPECT_EQ(read.infoValue(key), other) << key;
    }
    EXPECT_EQ(read.infoValue("cfbundleidentifier"), absent) << "keys are exact";
    EXPECT_EQ(LinuxBundle(std::nullopt).infoValueAt(bundle, "Number"), other);
  }
  std::free(binary);
  for (const std::string& unreadable :
       {std::string(), std::string("CFBundleIdentifier = x\n"), xml.substr(0, 300),
        std::string("<plist version=\"1.0\"><array><string>x</string></array></plist>"),
        std::string("<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                    "<integer>3</integer></dict></plist>")}) {
    testsupport::writeFile(info, unreadable);
    EXPECT_EQ(LinuxBundle(bundle).bundleIdentifier(), std::nullopt) << unreadable;
  }
  EXPECT_EQ(LinuxBundle(bundle).infoValue("CFBundleShortVersionString"), absent);
  fs::remove(info);
  EXPECT_EQ(LinuxBundle(bundle).infoValue("CFBundleShortVersionString"), absent);
  EXPECT_EQ(LinuxBundle(std::nullopt)
                .infoValueAt(folder.path() / "Other.app", "CFBundleShortVersionString"),
            absent);
  LinuxBundle none{std::nullopt};
  EXPECT_TRUE(!none.bundlePath() && !none.bundleIdentifier() &&
              none.infoValue("CFBundleIdentifier") == absent);
}

TEST(LinuxToolLocation, TakesTheUpdaterToolsFromTheBundlesHelpersAndTheListerFromThisSystem) {
  const fs::path bundle = "/home/u/My Apps/Tarnwick.app";
  for (std::string tool : {"/usr/bin/hdiutil", "/usr/bin/codesign", "/usr/sbin/spctl",
                           "/usr/bin/ditto", "/usr/bin/xattr", "/usr/bin/open", "/bin/launchctl"}) {
    EXPECT_EQ(linuxToolLocationFor(tool, bundle), "/home/u/My Apps/Tarnwick.app/Contents/Helpers/" +
                                                      fs::path(tool).filename().string());
    EXPECT_EQ(linuxToolLocationFor(tool, std::nullopt), tool)
        << "outside a bundle nothing stands in";
  }
  for (auto [tool, located] : {std::pair{"/usr/sbin/lsof", "/usr/bin/lsof"},
                               {"/bin/sh", "/bin/sh"},
                               {"/usr/bin/hdiutil2", "/usr/bin/hdiutil2"},
                               {"/usr/sbin/lsof2", "/usr/sbin/lsof2"}}) {
    EXPECT_EQ(linuxToolLocationFor(tool, bundle), located);
    EXPECT_EQ(linuxToolLocation(tool), located);
  }
}

}  // namespace
}  // namespace tarnwick::platform::linux_desktop
