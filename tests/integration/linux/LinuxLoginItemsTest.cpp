// Login items as autostart entries, with copies of the probe standing in for the helper.
#include <glib.h>
#include <signal.h>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/bundle/LinuxBundle.h"
#include "platform/linux/bundle/LinuxLoginItems.h"

namespace tarnwick::integration {

using namespace platform::linux_desktop;
using Info = std::vector<std::pair<std::string, std::string>>;

// The Exec line as desktops read it: the key file's unescaping, then "%%", then quoting.
std::vector<std::string> commandOfEntry(const fs::path& entry) {
  g_autoptr(GKeyFile) file = g_key_file_new();
  g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr);
  g_autofree gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
  std::string line = exec ? exec : "";
  for (auto at = line.find("%%"); at != line.npos; at = line.find("%%", at + 1)) {
    line.erase(at, 1);
  }
  g_auto(GStrv) argv = nullptr;
  return g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)
             ? std::vector<std::string>(argv, argv + g_strv_length(argv))
             : std::vector<std::string>{};
}

TEST(LoginItems, EnablingWritesTheEntryAndStartsOneCopyDisablingStopsItAndNothingUnsafeIsStarted) {
  TemporaryFolder folder;
  // The entry holds the helper's path whatever it holds, read back as desktops read it.
  const auto odd = folder.path() / "a \"q\" $HOME `id` back\\slash 100%/%u;& | caf\xc3\xa9 'x'";
  const auto bundlePath = odd / "Tarnwick.app", autostart = folder.path() / "autostart";
  const std::string identifier = "com.ostrel.tarnwick.macos";
  // A helper `name`.app in the bundle's login items, its executable a copy of the probe.
  auto place = [&](const std::string& name, const Info& info, const std::string& exe = "Probe") {
    auto contents = bundlePath / "Contents/Library/LoginItems" / (name + ".app") / "Contents";
    fs::remove_all(contents);
    fs::create_directories(contents / "MacOS");
    std::string plist = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : info) {
      plist += "<key>" + key + "</key><string>" + value + "</string>\n";
    }
    writeFile(contents / "Info.plist", plist + "</dict></plist>\n");
    fs::copy_file(TARNWICK_PROBE, contents / "MacOS" / exe);
    return contents / "MacOS" / exe;
  };
  auto starts = [](const fs::path& executable) {  // the pids the copies wrote, in order
    std::istringstream in(readFile(executable.string() + ".starts"));
    return std::vector<pid_t>(std::istream_iterator<pid_t>(in), {});
  };
  auto executable = place("Tarnwick Connector",
                          {{"CFBundleIdentifier", identifier},
                           {"CFBundleExecutable", "Tarnwick Connector"},
                           {"CFBundleName", "Tarnwick Connector"}},
                          "Tarnwick Connector");
  auto elsewhere = folder.path() / "Tarnwick Connector";  // the same name elsewhere
  fs::copy_file(TARNWICK_PROBE, elsewhere);
  Process stranger(elsewhere, {});
  LinuxBundle bundle{bundlePath};
  connector::PosixCommandRunner runner;
  LinuxLoginItems items{bundle, runner, autostart};

  EXPECT_FALSE(items.isRunning(identifier));
  ASSERT_TRUE(items.setEnabled(identifier, true));
  auto entry = autostart / (identifier + ".desktop");
  for (const char* line : {"[Desktop Entry]", "Type=Application", "Name=Tarnwick Connector"}) {
    EXPECT_EQ(std::ranges::count(linesOf(readFile(entry)), line), 1) << line;
  }
  EXPECT_EQ(commandOfEntry(entry), std::vector<std::string>{executable});
  EXPECT_FALSE(desktopEntryExec("/tmp/line\nExec=/bin/evil") || desktopEntryExec("/tmp/cr\rx"));
  ASSERT_TRUE(waitUntil([&] { return starts(executable).size() == 1; }, 10s));
  EXPECT_EQ(runningCopies(executable), starts(executable));
  EXPECT_TRUE(items.isRunning(identifier));
  ASSERT_TRUE(items.setEnabled(identifier, true));  // while it runs: no second copy
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(starts(executable).size(), 1u);
  ASSERT_TRUE(items.setEnabled(identifier, false));
  EXPECT_TRUE(!fs::exists(entry) && runningCopies(executable).empty() &&
              !items.isRunning(identifier));
  EXPECT_TRUE(items.setEnabled(identifier, false) && stranger.running());
  // A fresh copy; one that ignores the request to stop holds the disable only about a second.
  writeFile(executable.string() + ".stubborn", "");
  ASSERT_TRUE(items.setEnabled(identifier, true));
  ASSERT_TRUE(waitUntil([&] { return starts(executable).size() == 2; }, 10s));
  EXPECT_EQ(runningCopies(executable), std::vector{starts(executable)[1]});
  auto began = Clock::now();
  EXPECT_TRUE(items.setEnabled(identifier, false));
  EXPECT_TRUE(Clock::now() - began >= 900ms && Clock::now() - began < 3s);
  for (pid_t pid : runningCopies(executable)) {
    ::kill(pid, SIGKILL);
  }

  // Helpers that cannot be found, or would run from outside their folder: nothing written or run.
  // The helper's identifier, the key naming its executable and that name; the one requested.
  const std::array<std::string, 4> refused[] = {
      {"com.example.probe", "CFBundleExecutable", "Probe", "com.x"},
      {"com.example.probe", "CFBundleExecutable",
       "../../../Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector", "com.example.probe"},
      {"com.example.probe", "CFBundleVersion", "1.0", "com.example.probe"},
      {"com.example.probe", "CFBundleExecutable", "Absent", "com.example.probe"},
      {"../escape", "CFBundleExecutable", "Probe", "../escape"}};
  for (const auto& [id, key, name, requested] : refused) {
    auto probe = place("Probe", {{"CFBundleIdentifier", id}, {key, name}});
    EXPECT_FALSE(items.setEnabled(requested, true) || items.setEnabled(requested, false))
        << requested;
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(starts(probe).empty() && starts(executable).size() == 2) << requested;
  }
  LinuxBundle none{std::nullopt};
  EXPECT_FALSE(LinuxLoginItems(none, runner, autostart).setEnabled(identifier, true));
  EXPECT_TRUE(fs::is_empty(autostart));
}

}  // namespace tarnwick::integration
