#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <sstream>

#include "Files.h"
#include "Processes.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/bundle/LinuxBundle.h"
#include "platform/linux/bundle/LinuxLoginItems.h"

namespace tarnwick::integration {

using namespace testsupport;
namespace {

namespace fs = std::filesystem;
using platform::linux_desktop::desktopEntryExec;
using platform::linux_desktop::LinuxBundle;
using platform::linux_desktop::LinuxLoginItems;
using platform::linux_desktop::runningCopies;

const std::string identifier = "com.ostrel.tarnwick.macos";

std::string infoPlist(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<plist version=\"1.0\"><dict>\n";
  for (const auto& [key, value] : entries) {
    text += "<key>" + key + "</key><string>" + value + "</string>\n";
  }
  return text + "</dict></plist>\n";
}

// A helper app `name`.app in the bundle's login items, its executable a copy of the probe.
fs::path placeHelper(const fs::path& bundle, const std::string& name,
                     const std::vector<std::pair<std::string, std::string>>& info,
                     const std::string& executableName) {
  auto helper = bundle / "Contents/Library/LoginItems" / (name + ".app");
  fs::create_directories(helper / "Contents/MacOS");
  writeFile(helper / "Contents/Info.plist", infoPlist(info));
  auto executable = helper / "Contents/MacOS" / executableName;
  fs::copy_file(TARNWICK_LOGIN_ITEM_PROBE, executable);
  return executable;
}

std::vector<pid_t> startsOf(const fs::path& executable) {
  std::vector<pid_t> pids;
  std::istringstream lines(readFile(executable.string() + ".starts"));
  for (pid_t pid; lines >> pid;) {
    pids.push_back(pid);
  }
  return pids;
}

// The Exec line read back the way desktops read it: the key file's own unescaping, field codes,
// then the quoting rules.
std::optional<std::vector<std::string>> commandOfEntry(const fs::path& entry) {
  GKeyFile* file = g_key_file_new();
  std::optional<std::vector<std::string>> command;
  if (g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)) {
    if (gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr)) {
      std::string line;
      for (const char* at = exec; *at; ++at) {
        line += *at;
        if (at[0] == '%' && at[1] == '%') {
          ++at;
        }
      }
      g_free(exec);
      gchar** argv = nullptr;
      if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) {
        command.emplace();
        for (gchar** each = argv; *each; ++each) {
          command->push_back(*each);
        }
        g_strfreev(argv);
      }
    }
  }
  g_key_file_free(file);
  return command;
}

class LoginItems : public testing::Test {
 protected:
  LoginItems() {
    bundlePath = folder.path() / "Tarnwick.app";
    executable = placeHelper(bundlePath, "Tarnwick Connector",
                             {{"CFBundleIdentifier", identifier},
                              {"CFBundleExecutable", "Tarnwick Connector"},
                              {"CFBundleName", "Tarnwick Connector"}},
                             "Tarnwick Connector");
    placeHelper(bundlePath, "Other",
                {{"CFBundleIdentifier", "com.example.other"}, {"CFBundleExecutable", "Other"}},
                "Other");
  }
  ~LoginItems() override {
    // Whatever a failed test left running goes, by pid.
    for (pid_t pid : runningCopies(executable)) {
      ::kill(pid, SIGKILL);
    }
  }

  fs::path entry() const { return autostart / (identifier + ".desktop"); }

  TemporaryFolder folder;
  fs::path bundlePath;
  fs::path executable;
  fs::path autostart = folder.path() / "config/autostart";
  LinuxBundle bundle{folder.path() / "Tarnwick.app"};
  connector::PosixCommandRunner runner;
  LinuxLoginItems items{bundle, runner, autostart};
};

TEST_F(LoginItems, EnablingWritesTheAutostartEntryAndStartsOneCopy) {
  ASSERT_TRUE(items.setEnabled(identifier, true));
  auto contents = readFile(entry());
  EXPECT_NE(contents.find("[Desktop Entry]\n"), std::string::npos);
  EXPECT_NE(contents.find("Type=Application\n"), std::string::npos);
  EXPECT_NE(contents.find("Name=Tarnwick Connector\n"), std::string::npos);
  EXPECT_EQ(commandOfEntry(entry()), std::vector<std::string>{executable.string()});

  ASSERT_TRUE(waitUntil([&] { return startsOf(executable).size() == 1; }, 10s));
  auto started = startsOf(executable);
  EXPECT_EQ(runningCopies(executable), started);

  // Enabled again while it runs: no second copy.
  ASSERT_TRUE(items.setEnabled(identifier, true));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(startsOf(executable), started);
}

TEST_F(LoginItems, DisablingRemovesTheEntryAndStopsTheCopyBeforeReturning) {
  EXPECT_FALSE(items.isRunning(identifier));
  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return runningCopies(executable).size() == 1; }, 10s));
  EXPECT_TRUE(items.isRunning(identifier));
  ASSERT_TRUE(items.setEnabled(identifier, false));
  EXPECT_FALSE(fs::exists(entry()));
  EXPECT_TRUE(runningCopies(executable).empty());
  EXPECT_FALSE(items.isRunning(identifier));

  // Disabled when already disabled: still fine.
  EXPECT_TRUE(items.setEnabled(identifier, false));
}

TEST_F(LoginItems, DisableThenEnableGivesAFreshCopy) {
  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return startsOf(executable).size() == 1; }, 10s));
  ASSERT_TRUE(items.setEnabled(identifier, false));
  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return startsOf(executable).size() == 2; }, 10s));
  auto starts = startsOf(executable);
  EXPECT_NE(starts[0], starts[1]);
  EXPECT_EQ(runningCopies(executable), std::vector<pid_t>{starts[1]});
}

TEST_F(LoginItems, OtherProgramsAreLeftRunning) {
  auto elsewhere = folder.path() / "elsewhere" / "Tarnwick Connector";
  fs::create_directories(elsewhere.parent_path());
  fs::copy_file(TARNWICK_LOGIN_ITEM_PROBE, elsewhere);
  Process stranger(elsewhere.string(), {}, {});
  ASSERT_TRUE(waitUntil([&] { return startsOf(elsewhere).size() == 1; }, 10s));

  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return runningCopies(executable).size() == 1; }, 10s));
  ASSERT_TRUE(items.setEnabled(identifier, false));
  EXPECT_TRUE(stranger.running());
  EXPECT_EQ(runningCopies(elsewhere), std::vector<pid_t>{stranger.pid()});
}

TEST_F(LoginItems, ACopyIgnoringTheRequestHoldsDisableOnlyAboutASecond) {
  writeFile(executable.string() + ".stubborn", "");
  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return startsOf(executable).size() == 1; }, 10s));
  auto began = Clock::now();
  EXPECT_TRUE(items.setEnabled(identifier, false));
  auto waited = Clock::now() - began;
  EXPECT_GE(waited, 900ms);
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(runningCopies(executable).size(), 1U) << "it ignored SIGTERM";
}

struct RefusalCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> info;
  std::string requested;
};

class Refusals : public LoginItems, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, WriteNothingAndStartNothing) {
  auto target = placeHelper(bundlePath, "Probe", GetParam().info, "Probe");
  EXPECT_FALSE(items.setEnabled(GetParam().requested, true));
  EXPECT_FALSE(items.setEnabled(GetParam().requested, false));
  EXPECT_FALSE(fs::exists(autostart) && !fs::is_empty(autostart));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(startsOf(target).empty());
  EXPECT_TRUE(startsOf(executable).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    testing::Values(
        RefusalCase{"unknownIdentifier",
                    {{"CFBundleIdentifier", "com.example.probe"}, {"CFBundleExecutable", "Probe"}},
                    "com.example.nobody"},
        RefusalCase{"executableOutsideItsFolder",
                    {{"CFBundleIdentifier", "com.example.probe"},
                     {"CFBundleExecutable",
                      "../../../Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector"}},
                    "com.example.probe"},
        RefusalCase{
            "noExecutableName", {{"CFBundleIdentifier", "com.example.probe"}}, "com.example.probe"},
        RefusalCase{"executableMissing",
                    {{"CFBundleIdentifier", "com.example.probe"}, {"CFBundleExecutable", "Absent"}},
                    "com.example.probe"},
        RefusalCase{"identifierWithSlash",
                    {{"CFBundleIdentifier", "../escape"}, {"CFBundleExecutable", "Probe"}},
                    "../escape"}),
    [](const auto& each) { return std::string(each.param.name); });

TEST(LoginItemsWithoutBundle, RefuseEverything) {
  LinuxBundle none{std::nullopt};
  connector::PosixCommandRunner runner;
  TemporaryFolder folder;
  LinuxLoginItems items{none, runner, folder.path() / "autostart"};
  EXPECT_FALSE(items.setEnabled(identifier, true));
  EXPECT_FALSE(fs::exists(folder.path() / "autostart"));
}

TEST(DesktopEntryExec, ReadsBackAsTheSamePathWhateverItHolds) {
  TemporaryFolder folder;
  for (std::string path :
       {"/opt/Tarnwick.app/Contents/MacOS/Tarnwick Connector", "/tmp/a \"quoted\" name",
        "/tmp/$HOME/`id`/x", "/tmp/back\\slash", "/tmp/100%/%u", "/tmp/semi;colon & amp|pipe",
        "/tmp/caf\xc3\xa9", "/tmp/'single'"}) {
    auto exec = desktopEntryExec(path);
    ASSERT_TRUE(exec) << path;
    auto entry = folder.path() / "probe.desktop";
    writeFile(entry, "[Desktop Entry]\nType=Application\nName=x\nExec=" + *exec + "\n");
    EXPECT_EQ(commandOfEntry(entry), std::vector<std::string>{path}) << *exec;
  }
  EXPECT_FALSE(desktopEntryExec("/tmp/line\nExec=/bin/evil"));
  EXPECT_FALSE(desktopEntryExec("/tmp/cr\rx"));
}

}  // namespace
}  // namespace tarnwick::integration
