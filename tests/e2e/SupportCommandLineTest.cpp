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

TEST_P(CommandLine, LeadsToTheCommandOrToTheNormalStart) {
  TemporaryFolder home("tarnwick-support-home");
  TemporaryFolder folder("tarnwick-support");
  Process::Options options;
  options.environment = {{"HOME", home.path().string()}};
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
  } else {
    // Without a display the normal start cannot open its window and ends there.
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(fs::exists(lock)) << "the normal start did not run";
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

}  // namespace
}  // namespace tarnwick::e2e
