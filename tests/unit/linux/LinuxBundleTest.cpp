#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/LinuxServices.h"
#include "platform/linux/bundle/LinuxBundle.h"

namespace tarnwick::platform::linux_desktop {
namespace {

namespace fs = std::filesystem;

struct ContainingCase {
  const char* executable;
  std::optional<fs::path> bundle;
};

TEST(LinuxBundle, IsTheAppFolderWhoseContentsMacOSHoldsTheExecutable) {
  const std::vector<ContainingCase> cases = {
      {"/opt/Tarnwick.app/Contents/MacOS/Tarnwick", fs::path("/opt/Tarnwick.app")},
      {"/Other Name.app/Contents/MacOS/anything", fs::path("/Other Name.app")},
      {"relative/T.app/Contents/MacOS/T", fs::path("relative/T.app")},
      {"/usr/bin/Tarnwick", std::nullopt},
      {"/opt/Tarnwick/Contents/MacOS/Tarnwick", std::nullopt},  // not an .app folder
      {"/opt/T.app/Contents/Resources/Tarnwick", std::nullopt},
      {"/opt/T.app/contents/MacOS/Tarnwick", std::nullopt},  // names are exact
      {"/opt/T.app/Contents/MacOS/", std::nullopt},
      {"/opt/.app/Contents/MacOS/T", std::nullopt},
      {"Tarnwick", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bundleContaining(c.executable), c.bundle) << c.executable;
  }
}

class TemporaryBundle : public testing::Test {
 protected:
  TemporaryBundle() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-bundle-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    bundle_ = root_ / "Tarnwick.app";
    fs::create_directories(bundle_ / "Contents" / "MacOS");
  }
  ~TemporaryBundle() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void writeInfo(const std::string& contents) {
    std::ofstream(bundle_ / "Contents" / "Info.plist", std::ios::binary) << contents;
  }
  LinuxBundle bundle() { return LinuxBundle(bundle_); }

  fs::path root_;
  fs::path bundle_;
};

constexpr const char* infoXML = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.probe</string>
	<key>CFBundleShortVersionString</key>
	<string>2.3.1</string>
	<key>Empty</key>
	<string></string>
	<key>Accented</key>
	<string>Caf&#233; &#8594; ok</string>
	<key>Number</key>
	<integer>7</integer>
	<key>Flag</key>
	<true/>
	<key>List</key>
	<array><string>a</string></array>
	<key>Nested</key>
	<dict><key>CFBundleShortVersionString</key><string>9.9</string></dict>
</dict>
</plist>
)";

TEST_F(TemporaryBundle, InfoValuesAreStringsOtherOrAbsent) {
  writeInfo(infoXML);
  auto info = bundle();
  EXPECT_EQ(info.bundlePath(), bundle_);
  EXPECT_EQ(info.infoValue("CFBundleShortVersionString"), InfoValue(std::string("2.3.1")));
  EXPECT_EQ(info.infoValue("Empty"), InfoValue(std::string("")));
  EXPECT_EQ(info.infoValue("Accented"), InfoValue(std::string("Caf\u00e9 \u2192 ok")));
  for (const char* key : {"Number", "Flag", "List", "Nested"}) {
    EXPECT_EQ(info.infoValue(key), InfoValue(InfoOther{})) << key;
  }
  EXPECT_EQ(info.infoValue("Missing"), InfoValue(InfoAbsent{}));
  EXPECT_EQ(info.infoValue("cfbundleidentifier"), InfoValue(InfoAbsent{}));  // keys are exact
  EXPECT_EQ(info.bundleIdentifier(), "com.example.probe");
}

TEST_F(TemporaryBundle, AnotherBundlesInfoIsReadFromItsOwnFolder) {
  writeInfo(infoXML);
  LinuxBundle none(std::nullopt);
  EXPECT_EQ(none.infoValueAt(bundle_, "CFBundleShortVersionString"),
            InfoValue(std::string("2.3.1")));
  EXPECT_EQ(none.infoValueAt(bundle_, "Number"), InfoValue(InfoOther{}));
  EXPECT_EQ(none.infoValueAt(root_ / "Other.app", "CFBundleShortVersionString"),
            InfoValue(InfoAbsent{}));
}

TEST_F(TemporaryBundle, ABinaryInfoFileReadsTheSame) {
  plist_t root = nullptr;
  plist_from_memory(infoXML, static_cast<uint32_t>(std::string(infoXML).size()), &root);
  ASSERT_NE(root, nullptr);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &binary, &length);
  plist_free(root);
  ASSERT_NE(binary, nullptr);
  writeInfo(std::string(binary, length));
  std::free(binary);
  EXPECT_EQ(bundle().infoValue("CFBundleShortVersionString"), InfoValue(std::string("2.3.1")));
  EXPECT_EQ(bundle().infoValue("Number"), InfoValue(InfoOther{}));
}

TEST_F(TemporaryBundle, AnUnreadableInfoFileGivesNothing) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"not a property list", "CFBundleShortVersionString = 2.3.1\n"},
      {"cut off", std::string(infoXML).substr(0, 300)},
      {"an array at the top",
       "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>CFBundleIdentifier</string>"
       "</array></plist>"},
  };
  for (const auto& [what, contents] : cases) {
    writeInfo(contents);
    EXPECT_EQ(bundle().infoValue("CFBundleShortVersionString"), InfoValue(InfoAbsent{})) << what;
    EXPECT_EQ(bundle().bundleIdentifier(), std::nullopt) << what;
  }
}

TEST_F(TemporaryBundle, WithoutAnInfoFileOrABundleEverythingIsAbsent) {
  EXPECT_EQ(bundle().infoValue("CFBundleShortVersionString"), InfoValue(InfoAbsent{}));
  LinuxBundle none(std::nullopt);
  EXPECT_EQ(none.bundlePath(), std::nullopt);
  EXPECT_EQ(none.bundleIdentifier(), std::nullopt);
  EXPECT_EQ(none.infoValue("CFBundleShortVersionString"), InfoValue(InfoAbsent{}));
}

TEST_F(TemporaryBundle, AnIdentifierThatIsNotAStringIsAbsent) {
  writeInfo(R"(<?xml version="1.0"?><plist version="1.0"><dict>
    <key>CFBundleIdentifier</key><integer>3</integer></dict></plist>)");
  EXPECT_EQ(bundle().bundleIdentifier(), std::nullopt);
}

TEST(LinuxBundle, TheBuiltBundleCarriesTheLauncherIdentifierAndAVersion) {
  LinuxBundle built{fs::path(TARNWICK_BUNDLE_DIR)};
  EXPECT_EQ(built.bundleIdentifier(), "com.ostrel.tarnwick.launcher");
  auto version = built.infoValue("CFBundleShortVersionString");
  ASSERT_TRUE(std::holds_alternative<std::string>(version));
  EXPECT_FALSE(std::get<std::string>(version).empty());
}

TEST(LinuxBundle, ATestProgramRunsOutsideAnyBundle) {
  auto running = LinuxBundle::ofRunningExecutable();
  EXPECT_EQ(running.bundlePath(), std::nullopt);
  EXPECT_EQ(running.infoValue("CFBundleShortVersionString"), InfoValue(InfoAbsent{}));
}

TEST(LinuxToolLocation, MovesOnlyTheToolsThisSystemKeepsElsewhere) {
  EXPECT_EQ(linuxToolLocation("/usr/sbin/lsof"), "/usr/bin/lsof");
  EXPECT_EQ(linuxToolLocation("/bin/kill"), "/bin/kill");
  EXPECT_EQ(linuxToolLocation("/usr/sbin/lsof2"), "/usr/sbin/lsof2");
}

TEST(LinuxToolLocation, TheUpdaterToolsComeFromTheBundlesHelpers) {
  const std::filesystem::path bundle = "/home/u/My Apps/Tarnwick.app";
  const std::string helpers = "/home/u/My Apps/Tarnwick.app/Contents/Helpers/";
  struct Case {
    std::string canonical;
    std::string inBundle;
  };
  for (const auto& [canonical, inBundle] : std::vector<Case>{
           {"/usr/bin/hdiutil", helpers + "hdiutil"},
           {"/usr/bin/codesign", helpers + "codesign"},
           {"/usr/sbin/spctl", helpers + "spctl"},
           {"/usr/bin/ditto", helpers + "ditto"},
           {"/usr/bin/xattr", helpers + "xattr"},
           {"/usr/bin/open", helpers + "open"},
           {"/bin/launchctl", helpers + "launchctl"},
           {"/usr/sbin/lsof", "/usr/bin/lsof"},
           {"/bin/sh", "/bin/sh"},
           {"/bin/rm", "/bin/rm"},
           {"/usr/bin/id", "/usr/bin/id"},
           {"/usr/bin/hdiutil2", "/usr/bin/hdiutil2"},
       }) {
    EXPECT_EQ(linuxToolLocationFor(canonical, bundle), inBundle) << canonical;
    // Outside a bundle there is no such tool, and nothing stands in for it.
    bool helper = inBundle.starts_with(helpers);
    EXPECT_EQ(linuxToolLocationFor(canonical, std::nullopt), helper ? canonical : inBundle);
  }
}

}  // namespace
}  // namespace tarnwick::platform::linux_desktop
