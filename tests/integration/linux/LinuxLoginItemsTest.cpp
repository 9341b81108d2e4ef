// Login items as autostart entries, with copies of the probe standing in for the helper.
#include <glib.h>
#include <signal.h>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/LinuxBundle.h"
#include "platform/linux/LinuxLoginItems.h"

namespace tarnwick::integration {
namespace {

using namespace platform::linux_desktop;
using Info = std::vector<std::pair<std::string, std::string>>;
const std::string identifier = "com.ostrel.tarnwick.macos";

// The Exec line read back as desktops read it: the key file's unescaping, then "%%", then quoting.
std::optional<std::vector<std::string>> commandOfEntry(const fs::path& entry) {
  g_autoptr(GKeyFile) file = g_key_file_new();
  g_autofree gchar* exec = nullptr;
  g_auto(GStrv) argv = nullptr;
  if (!g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr) ||
      !(exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr))) {
    return std::nullopt;
  }
  std::string line;
  for (const char* at = exec; *at; at += (at[0] == '%' && at[1] == '%') ? 2 : 1) {
    line += *at;
  }
  if (!g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) {
    return std::nullopt;
  }
  return std::vector<std::string>(argv, argv + g_strv_length(argv));
}

class LoginItems : public testing::Test {
 protected:
  // A helper `name`.app in the bundle's login items, its executable a copy of the probe.
  fs::path place(const std::string& name, const Info& info, const std::string& exe) {
    auto contents = bundlePath / "Contents/Library/LoginItems" / (name + ".app") / "Contents";
    fs::create_directories(contents / "MacOS");
    std::string plist = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : info) {
      plist += "<key>" + key + "</key><string>" + value + "</string>\n";
    }
    writeFile(contents / "Info.plist", plist + "</dict></plist>\n");
    fs::copy_file(TARNWICK_PROBE, contents / "MacOS" / exe);
    return contents / "MacOS" / exe;
  }
  static std::vector<pid_t> starts(const fs::path& executable) {
    std::vector<pid_t> pids;
    for (const auto& line : linesOf(readFile(executable.string() + ".starts"))) {
      pids.push_back(std::stoi(line));
    }
    return pids;
  }
  ~LoginItems() override {
    for (pid_t pid : runningCopies(executable)) {
      ::kill(pid, SIGKILL);  // whatever a failed test left running
    }
  }

  TemporaryFolder folder;
  fs::path bundlePath = folder.path() / "Tarnwick.app", autostart = folder.path() / "autostart";
  fs::path entry = autostart / (identifier + ".desktop");
  fs::path executable = place("Tarnwick Connector",
                              {{"CFBundleIdentifier", identifier},
                               {"CFBundleExecutable", "Tarnwick Connector"},
                               {"CFBundleName", "Tarnwick Connector"}},
                              "Tarnwick Connector");
  LinuxBundle bundle{bundlePath};
  connector::PosixCommandRunner runner;
  LinuxLoginItems items{bundle, runner, autostart};
};

TEST_F(LoginItems, EnablingWritesTheEntryAndStartsOneCopyDisablingStopsItBeforeReturning) {
  auto elsewhere = folder.path() / "elsewhere/Tarnwick Connector";  // the same name elsewhere
  fs::create_directories(elsewhere.parent_path());
  fs::copy_file(TARNWICK_PROBE, elsewhere);
  Process stranger(elsewhere, {});
  EXPECT_FALSE(items.isRunning(identifier));
  ASSERT_TRUE(items.setEnabled(identifier, true));
  auto lines = linesOf(readFile(entry));
  for (const char* line : {"[Desktop Entry]", "Type=Application", "Name=Tarnwick Connector"}) {
    EXPECT_EQ(std::ranges::count(lines, line), 1) << line;
  }
  EXPECT_EQ(commandOfEntry(entry), std::vector<std::string>{executable});
  ASSERT_TRUE(waitUntil([&] { return starts(executable).size() == 1; }, 10s));
  EXPECT_EQ(runningCopies(executable), starts(executable));
  EXPECT_TRUE(items.isRunning(identifier));
  ASSERT_TRUE(items.setEnabled(identifier, true));  // while it runs: no second copy
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(starts(executable).size(), 1u);

  ASSERT_TRUE(items.setEnabled(identifier, false));
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(runningCopies(executable).empty());
  EXPECT_FALSE(items.isRunning(identifier));
  EXPECT_TRUE(items.setEnabled(identifier, false));
  EXPECT_TRUE(stranger.running());
  ASSERT_TRUE(items.setEnabled(identifier, true));  // a fresh copy
  ASSERT_TRUE(waitUntil([&] { return starts(executable).size() == 2; }, 10s));
  EXPECT_EQ(runningCopies(executable), std::vector<pid_t>{starts(executable)[1]});

  // A copy ignoring the request to stop holds the disable only about a second.
  ASSERT_TRUE(items.setEnabled(identifier, false));
  writeFile(executable.string() + ".stubborn", "");
  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return starts(executable).size() == 3; }, 10s));
  auto began = Clock::now();
  EXPECT_TRUE(items.setEnabled(identifier, false));
  EXPECT_GE(Clock::now() - began, 900ms);
  EXPECT_LT(Clock::now() - began, 3s);
}

TEST_F(LoginItems, AHelperThatCannotBeFoundOrRunSafelyIsNeitherWrittenNorStarted) {
  struct Case {
    Info info;
    std::string requested;
  } cases[] = {
      {{{"CFBundleIdentifier", "com.example.probe"}, {"CFBundleExecutable", "Probe"}}, "com.x"},
      {{{"CFBundleIdentifier", "com.example.probe"},
        {"CFBundleExecutable", "../../../Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector"}},
       "com.example.probe"},
      {{{"CFBundleIdentifier", "com.example.probe"}}, "com.example.probe"},
      {{{"CFBundleIdentifier", "com.example.probe"}, {"CFBundleExecutable", "Absent"}},
       "com.example.probe"},
      {{{"CFBundleIdentifier", "../escape"}, {"CFBundleExecutable", "Probe"}}, "../escape"},
  };
  for (const auto& c : cases) {
    fs::remove_all(bundlePath / "Contents/Library/LoginItems/Probe.app");
    auto probe = place("Probe", c.info, "Probe");
    EXPECT_FALSE(items.setEnabled(c.requested, true)) << c.info.back().second;
    EXPECT_FALSE(items.setEnabled(c.requested, false)) << c.info.back().second;
  }
  LinuxBundle none{std::nullopt};
  EXPECT_FALSE(LinuxLoginItems(none, runner, autostart).setEnabled(identifier, true));
  EXPECT_FALSE(fs::exists(autostart) && !fs::is_empty(autostart));
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fs::exists(executable.string() + ".starts") ||
               fs::exists(bundlePath / "Contents/Library/LoginItems/Probe.app/Contents/MacOS/Probe.starts"));
}

TEST(DesktopEntryExec, ReadsBackAsTheSamePathWhateverItHolds) {
  TemporaryFolder folder;
  for (std::string path : {"/opt/T.app/Contents/MacOS/Tarnwick Connector", "/tmp/a \"q\" $HOME `id`",
                           "/tmp/back\\slash", "/tmp/100%/%u", "/tmp/semi;colon & |", "/tmp/caf\xc3\xa9 'x'"}) {
    auto exec = desktopEntryExec(path);
    ASSERT_TRUE(exec) << path;
    writeFile(folder.path() / "x.desktop", "[Desktop Entry]\nType=Application\nName=x\nExec=" + *exec + "\n");
    EXPECT_EQ(commandOfEntry(folder.path() / "x.desktop"), std::vector<std::string>{path}) << *exec;
  }
  EXPECT_FALSE(desktopEntryExec("/tmp/line\nExec=/bin/evil"));
  EXPECT_FALSE(desktopEntryExec("/tmp/cr\rx"));
}

}  // namespace
}  // namespace tarnwick::integration
