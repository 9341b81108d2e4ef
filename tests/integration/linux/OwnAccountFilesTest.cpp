// What the shell trusts for where it lies must be this account's (other owners need root).
#include <sys/stat.h>
#include <unistd.h>

#include "FakePlatform.h"
#include "Integration.h"
#include "app/StatusPage.h"
#include "platform/OwnAccountFiles.h"
#include "platform/linux/shell/DesktopServices.h"

namespace tarnwick::integration {

constexpr uid_t nobody = 65534;
const uid_t self = ::getuid();
const std::string missingPage =
    app::statusPageHTML("The Tarnwick connector is missing. Reinstall Tarnwick and try again.");

// A folder ("d/"), a link, a name alone (mode 0) or a file; a case's last entry is its subject.
struct Entry {
  std::string path;
  mode_t mode;
  std::string target = {};
  uid_t owner = self;
};
struct Case {
  const char* name;
  std::vector<Entry> tree;
  bool expected;
};

class OwnFiles : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    ::umask(022);  // folders made on the way are closed to others
    for (const auto& entry : GetParam().tree) {
      if (entry.owner != self && ::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a file to another account";
      }
      path = (top.path() / entry.path).lexically_normal();
      fs::create_directories(path.parent_path());  // the folder itself for "d/"
      if (!entry.target.empty()) {
        fs::create_symlink(entry.target, path);
      } else if (entry.mode == 0) {
        continue;  // a name alone
      } else if (!entry.path.ends_with('/')) {
        writeFile(path, "[Tarnwick]\nk=v\n");
      }
      ASSERT_EQ(::lchown(path.c_str(), entry.owner, entry.owner), 0);
      ASSERT_TRUE(!entry.target.empty() || ::chmod(path.c_str(), entry.mode) == 0);
    }
  }
  TemporaryFolder top;
  fs::path path;
};
const auto named = [](const auto& info) { return std::string(info.param.name); };

// A program the shell starts: the fallback Connector, a link to the case's file.
using ProgramStarts = OwnFiles;
TEST_P(ProgramStarts, OnlyWhenThisAccountOrRootAloneCanChangeIt) {
  fakes::FakePlatform platform;
  platform.userFolders.supportFolder = top.path() / "data";
  auto fallback = top.path() / "data/Tarnwick/Tarnwick Connector.app/Contents/MacOS/Tarnwick";
  fs::create_directories(fallback.parent_path());
  fs::create_symlink(path, fallback);
  auto delegate = platform.makeDelegate();
  delegate->applicationDidFinishLaunching();
  platform.http.respondNext(fakes::FakeHttpClient::transportError("Could not connect."));
  platform.mainQueue.runUntilIdle();
  const auto& runs = platform.commands.calls;
  EXPECT_EQ(runs.size() == 2 && runs[1].find(fallback.string()) != std::string::npos,
            GetParam().expected);
  const auto& pages = platform.application.webView->pages;
  EXPECT_EQ(!pages.empty() && pages.back() == missingPage, !GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramStarts,
    testing::Values(Case{"own", {{"p", 0755}}, true}, Case{"groupWritable", {{"p", 0775}}, false},
                    Case{"othersWritable", {{"p", 0757}}, false},
                    Case{"openFolderAbove", {{"d/", 0777}, {"d/p", 0755}}, false},
                    Case{"stickyFolderAbove", {{"d/", 01777}, {"d/p", 0755}}, true},
                    Case{"upLink", {{"o/", 0777}, {"o/p", 0755}, {"d/l", 0, "../o/p"}}, false},
                    Case{"anotherAccounts", {{"p", 0755, {}, nobody}}, false},
                    Case{"othersFolderAbove", {{"d/", 0755, {}, nobody}, {"d/p", 0755}}, false},
                    Case{"anotherAccountsLink", {{"p", 0755}, {"l", 0, "p", nobody}}, false}),
    named);

// The update's work folder: made new and private whatever the umask, or not at all.
using WorkFolder = OwnFiles;
TEST_P(WorkFolder, IsMadeOnlyNewAndPrivateInAFolderOnlyThisAccountCanChange) {
  bool existed = fs::exists(path);
  mode_t mask = ::umask(0);
  bool made = platform::makePrivateFolder(path);
  ::umask(mask);
  EXPECT_EQ(made, GetParam().expected);
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info) == 0, made || existed);
  EXPECT_TRUE(!made || (info.st_mode & 07777) == 0700);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, WorkFolder,
    testing::Values(Case{"fresh", {{"w", 0}}, true}, Case{"alreadyThere", {{"w/", 0700}}, false},
                    Case{"openParent", {{"d/", 0777}, {"d/w", 0}}, false},
                    Case{"stickyParent", {{"d/", 01777}, {"d/w", 0}}, true},
                    Case{"othersParent", {{"d/", 0755, {}, nobody}, {"d/w", 0}}, false}),
    named);

// Another account's preferences, or ones others may write, read as none; a save makes them ours.
using Preferences = OwnFiles;
TEST_P(Preferences, AreReadOnlyFromThisAccountsOwnFile) {
  platform::linux_desktop::KeyFilePreferences preferences(path);
  EXPECT_EQ(preferences.string("k").value_or("none"), GetParam().expected ? "v" : "none");
  preferences.setString("j", "w");
  EXPECT_EQ(preferences.string("j"), std::optional<std::string>("w"));
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Preferences,
    testing::Values(Case{"own", {{"p.ini", 0600}}, true},
                    Case{"ownViaLink", {{"p.ini", 0644}, {"l", 0, "p.ini"}}, true},
                    Case{"groupWritable", {{"p.ini", 0660}}, false},
                    Case{"othersWritable", {{"p.ini", 0646}}, false},
                    Case{"anotherAccounts", {{"p.ini", 0644, {}, nobody}}, false}),
    named);

}  // namespace tarnwick::integration
