// The real executable's command line without any display: which arguments lead to a support
// command, with its marker and status, and which to the normal start.
#include <gtest/gtest.h>

#include "Harness.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;

struct CommandLineCase {
  const char* name;
  std::vector<std::string> arguments;
  // Nothing: the normal start, which takes the lock in the data folder and prints no marker.
  std::optional<int> status;
};

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

// What the dynamic loader brought in, as it reported with LD_DEBUG=files into `folder`.
std::string loadedFiles(const fs::path& folder) {
  std::string all;
  for (const auto& entry : fs::directory_iterator(folder)) {
    all += readFile(entry.path());
  }
  return all;
}

TEST_P(CommandLine, LeadsToTheCommandOrToTheNormalStart) {
  TemporaryFolder home("tarnwick-support-home");
  TemporaryFolder folder("tarnwick-support");
  TemporaryFolder loader("tarnwick-support-loader");
  Process::Options options;
  options.environment = {{"HOME", home.path().string()},
                         {"LD_DEBUG", "files"},
                         {"LD_DEBUG_OUTPUT", (loader.path() / "files").string()}};
  options.unset = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"};
  auto arguments = GetParam().arguments;
  for (auto& argument : arguments) {
    if (argument == "@folder") {
      argument = folder.path().string();
    }
  }
  auto result = runCommand(appExecutable().string(), arguments, options, 30s);
  auto lock = home.path() / ".local" / "share" / "Tarnwick" / "visible-app.lock";
  if (GetParam().status) {
    EXPECT_EQ(result.status, *GetParam().status);
    EXPECT_EQ(result.output,
              *GetParam().status == 0 ? "TARNWICK_CONTROL_OK\n" : "TARNWICK_CONTROL_DENIED\n");
    EXPECT_FALSE(fs::exists(home.path() / ".local")) << "the lock was touched";
    // A support command starts with X11 alone: the windowed application's libraries stay out.
    auto loaded = loadedFiles(loader.path());
    EXPECT_NE(loaded.find("libX11.so"), std::string::npos);
    EXPECT_EQ(loaded.find("libgtk-3.so"), std::string::npos);
    EXPECT_EQ(loaded.find("libwebkit2gtk"), std::string::npos);
  } else {
    // Without a display the normal start cannot open its window and ends there.
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(fs::exists(lock)) << "the normal start did not run";
    EXPECT_NE(loadedFiles(loader.path()).find("libwebkit2gtk"), std::string::npos);
  }
  EXPECT_TRUE(fs::is_empty(folder.path())) << "a file was written";
}

INSTANTIATE_TEST_SUITE_P(
    WithoutDisplay, CommandLine,
    testing::Values(
        CommandLineCase{"noArguments", {}, std::nullopt},
        CommandLineCase{"help", {"--help"}, std::nullopt},
        CommandLineCase{"prefixAlone", {"--tarnwick-support-"}, 2},
        CommandLineCase{"unknownName", {"--tarnwick-support-status"}, 2},
        CommandLineCase{"otherLetterCase", {"--tarnwick-support-Key", "36"}, 2},
        // No display: nothing is trusted or readable.
        CommandLineCase{"statusIgnoresExtraArguments",
                        {"--tarnwick-support-screen-status", "more", "--tarnwick-support-key"},
                        3},
        CommandLineCase{
            "accessibilityWithoutDisplay", {"--tarnwick-support-accessibility-status"}, 3},
        CommandLineCase{"snapshotWithoutPath", {"--tarnwick-support-snapshot"}, 2},
        CommandLineCase{"snapshotTwoPaths",
                        {"--tarnwick-support-snapshot", "@folder/a.jpg", "@folder/b.jpg"},
                        2},
        CommandLineCase{
            "snapshotWithoutDisplay", {"--tarnwick-support-snapshot", "@folder/a.jpg"}, 4},
        CommandLineCase{"keyOutOfRange", {"--tarnwick-support-key", "65536"}, 2},
        CommandLineCase{"keyWord", {"--tarnwick-support-key", "abc"}, 2},
        CommandLineCase{"keyLeadingSpace", {"--tarnwick-support-key", " 36"}, 2},
        CommandLineCase{"keyWithoutDisplay", {"--tarnwick-support-key", "36"}, 4},
        CommandLineCase{"clickOneShort", {"--tarnwick-support-click", "10", "20", "left"}, 2},
        CommandLineCase{"scrollOutOf32Bits", {"--tarnwick-support-scroll", "2147483648"}, 2},
        CommandLineCase{"typeEmptyPostsNothing", {"--tarnwick-support-type", ""}, 0}),
    [](const testing::TestParamInfo<CommandLineCase>& commandLine) {
      return std::string(commandLine.param.name);
    });

// An executable whose application module cannot be found — a bundle without it, or no bundle at
// all — still answers support commands; the normal start says why it cannot go on and fails,
// holding nothing.
TEST(IncompleteBundle, SupportCommandsStillRunAndTheNormalStartFails) {
  struct Case {
    const char* layout;
    fs::path executable;  // inside the scratch folder
    const char* reason;
  };
  for (const auto& each : {Case{"bundleWithoutModule", "Tarnwick.app/Contents/MacOS/Tarnwick",
                                "libtarnwick-desktop.so"},
                           Case{"noBundle", "bin/Tarnwick", "inside its bundle"}}) {
    SCOPED_TRACE(each.layout);
    TemporaryFolder home("tarnwick-support-home");
    TemporaryFolder scratch("tarnwick-incomplete-bundle");
    auto executable = scratch.path() / each.executable;
    fs::create_directories(executable.parent_path());
    fs::copy_file(appExecutable(), executable);
    Process::Options options;
    options.environment = {{"HOME", home.path().string()}};
    options.unset = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"};
    options.stderrFile = scratch.path() / "errors";

    auto command = runCommand(executable.string(), {"--tarnwick-support-type", ""}, options, 30s);
    EXPECT_EQ(command.status, 0);
    EXPECT_EQ(command.output, "TARNWICK_CONTROL_OK\n");

    auto start = runCommand(executable.string(), {}, options, 30s);
    EXPECT_EQ(start.status, 1);
    EXPECT_EQ(start.output, "");
    auto errors = readFile(scratch.path() / "errors");
    EXPECT_NE(errors.find(each.reason), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(home.path() / ".local")) << "the lock was taken";
  }
}

}  // namespace
}  // namespace tarnwick::e2e
