// The support-control actions on fake devices: text chunks, typing into an allowed application,
// clicks, scrolling and snapshots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "FakeSupportDevices.h"
#include "TemporaryTree.h"
#include "support/TarnwickSupportControl.h"

namespace tarnwick::support {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<std::string>;
using Control = TarnwickSupportControl;

std::vector<std::size_t> chunkSizes(const fakes::FakeInputEvents& input) {
  std::vector<std::size_t> sizes;
  for (const auto& chunk : input.chunks) {
    sizes.push_back(chunk.size());
  }
  return sizes;
}

std::u16string joined(const std::vector<std::u16string>& chunks) {
  std::u16string text;
  for (const auto& chunk : chunks) {
    text += chunk;
  }
  return text;
}

// --- postText ---

struct ChunkCase {
  const char* name;
  std::u16string text;
  std::vector<std::size_t> sizes;
};

class TextChunks : public testing::TestWithParam<ChunkCase> {};

TEST_P(TextChunks, CutsEveryTwentyUnitsKeepingPairsWhole) {
  fakes::FakeInputEvents input;
  EXPECT_TRUE(Control::postText(input, GetParam().text));
  EXPECT_EQ(chunkSizes(input), GetParam().sizes);
  EXPECT_EQ(joined(input.chunks), GetParam().text);
}

const std::u16string smile = u"\U0001F600";  // two code units

INSTANTIATE_TEST_SUITE_P(
    Texts, TextChunks,
    testing::Values(
        ChunkCase{"empty", u"", {}}, ChunkCase{"one", u"a", {1}},
        ChunkCase{"exactlyTwenty", std::u16string(20, u'x'), {20}},
        ChunkCase{"twentyOne", std::u16string(21, u'x'), {20, 1}},
        ChunkCase{"fortyFive", std::u16string(45, u'x'), {20, 20, 5}},
        // The pair would straddle units 19 and 20: the first chunk ends early.
        ChunkCase{"pairAtBoundary", std::u16string(19, u'a') + smile + u"b", {19, 3}},
        // A pair that ends exactly at the boundary needs nothing.
        ChunkCase{"pairEndingAtBoundary", std::u16string(18, u'a') + smile + u"b", {20, 1}},
        ChunkCase{
            "onlyPairs",
            smile + smile + smile + smile + smile + smile + smile + smile + smile + smile + smile,
            {20, 2}},
        // A lone high surrogate has no partner to keep: cut as usual.
        ChunkCase{"loneHighSurrogate", std::u16string(19, u'a') + u"\xD83D" + u"bc", {20, 2}}),
    [](const testing::TestParamInfo<ChunkCase>& chunkCase) {
      return std::string(chunkCase.param.name);
    });

TEST(PostText, MixedTextArrivesInOrder) {
  fakes::FakeInputEvents input;
  std::u16string text = u"Grüße aus Köln… → ok " + smile + u" done, and some more words";
  ASSERT_TRUE(Control::postText(input, text));
  EXPECT_EQ(joined(input.chunks), text);
  for (const auto& chunk : input.chunks) {
    EXPECT_LE(chunk.size(), 20U);
  }
}

TEST(PostText, AFailedEventAbandonsTheRest) {
  fakes::FakeInputEvents input;
  input.failAfter = 1;
  EXPECT_FALSE(Control::postText(input, std::u16string(45, u'x')));
  EXPECT_EQ(input.events, Events{"text 20"});
}

// --- typeText ---

TEST(TypeText, RefusesAnApplicationOutsideTheAllowListAtOnce) {
  for (const char* identifier : {"com.apple.Safari", "com.apple.textedit", "com.apple.TextEdit ",
                                 "", "com.apple.Notes.extra"}) {
    fakes::FakeSupportDevices devices;
    EXPECT_FALSE(Control::typeText(devices.ports(), identifier, u"hello")) << identifier;
    EXPECT_TRUE(devices.sleeper.pauses.empty()) << identifier;
    EXPECT_TRUE(devices.input.events.empty()) << identifier;
  }
}

TEST(TypeText, ActivatesThenOpensANewDocumentThenTypes) {
  for (bool running : {true, false}) {
    for (const char* identifier : {"com.apple.TextEdit", "com.apple.Notes"}) {
      fakes::FakeSupportDevices devices;
      if (running) {
        devices.applications.running.insert(identifier);
      }
      // Not running: nothing is launched and the keys go to whatever is in front.
      EXPECT_TRUE(Control::typeText(devices.ports(), identifier, std::u16string(25, u'n')));
      EXPECT_EQ(devices.input.events, (Events{std::string("activate ") + identifier,
                                              "key 45 flags 0x100000", "text 20", "text 5"}));
      EXPECT_EQ(devices.sleeper.pauses, (std::vector<double>{0.8, 0.25, 0.4}));
    }
  }
}

TEST(TypeText, AFailedShortcutStopsBeforeTheText) {
  fakes::FakeSupportDevices devices;
  devices.input.failAfter = 0;
  EXPECT_FALSE(Control::typeText(devices.ports(), "com.apple.Notes", u"hello"));
  EXPECT_EQ(devices.input.events, Events{"activate com.apple.Notes"});
  EXPECT_EQ(devices.sleeper.pauses, (std::vector<double>{0.8, 0.25}));
}

// --- click and scroll ---

struct ClickCase {
  std::string button;
  std::int64_t count;
  std::string event;
};

class Clicks : public testing::TestWithParam<ClickCase> {};

TEST_P(Clicks, OnePairWithTheButtonAndClampedState) {
  fakes::FakeInputEvents input;
  EXPECT_TRUE(Control::click(input, 10.5, 20, GetParam().button, GetParam().count));
  EXPECT_EQ(input.events, Events{GetParam().event});
}

INSTANTIATE_TEST_SUITE_P(ButtonsAndCounts, Clicks,
                         testing::Values(ClickCase{"right", 1, "click 10.5 20 right 1"},
                                         ClickCase{"Right", 1, "click 10.5 20 left 1"},
                                         ClickCase{"right ", 1, "click 10.5 20 left 1"},
                                         ClickCase{"left", 1, "click 10.5 20 left 1"},
                                         ClickCase{"middle", 1, "click 10.5 20 left 1"},
                                         ClickCase{"", 1, "click 10.5 20 left 1"},
                                         ClickCase{"left", 2, "click 10.5 20 left 2"},
                                         ClickCase{"right", 3, "click 10.5 20 right 2"},
                                         ClickCase{"left", std::numeric_limits<std::int64_t>::max(),
                                                   "click 10.5 20 left 2"},
                                         ClickCase{"left", 0, "click 10.5 20 left 1"},
                                         ClickCase{"left", -5, "click 10.5 20 left 1"},
                                         ClickCase{"left", std::numeric_limits<std::int64_t>::min(),
                                                   "click 10.5 20 left 1"}));

TEST(Scroll, OneEventWhateverTheDelta) {
  for (std::int32_t delta : {0, 1, -1, -7, std::numeric_limits<std::int32_t>::min()}) {
    fakes::FakeInputEvents input;
    EXPECT_TRUE(Control::scroll(input, delta));
    EXPECT_EQ(input.events, Events{"scroll " + std::to_string(delta)});
  }
}

TEST(KeyAndScroll, ReportTheDevicesFailure) {
  fakes::FakeInputEvents input;
  input.failAfter = 0;
  EXPECT_FALSE(Control::postKey(input, 36));
  EXPECT_FALSE(Control::scroll(input, 1));
  EXPECT_FALSE(Control::click(input, 1, 1, "left", 1));
}

// --- snapshot ---

class Snapshot : public testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder.empty()); }
  static std::string contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  bool take(const fs::path& path) {
    return Control::snapshot(devices.screen, devices.encoder, path.string());
  }

  testing_support::TemporaryTree tree;
  const fs::path& folder = tree.root();
  fakes::FakeSupportDevices devices;
};

TEST_F(Snapshot, WritesTheJPEGDataWhateverTheExtension) {
  devices.encoder.data = std::vector<std::uint8_t>{0xFF, 0xD8, 'j', 'p', 'g', 0xFF, 0xD9};
  for (const char* name : {"shot.jpg", "shot.png", "shot"}) {
    EXPECT_TRUE(take(folder / name)) << name;
    EXPECT_EQ(contents(folder / name), "\xFF\xD8jpg\xFF\xD9") << name;
  }
  EXPECT_EQ(devices.encoder.qualities, (std::vector<double>{0.72, 0.72, 0.72}));
  EXPECT_EQ(devices.encoder.encodedSizes.front(), (std::pair<int, int>{2, 1}));
  EXPECT_EQ(entries(), (std::vector<std::string>{"shot", "shot.jpg", "shot.png"}));
}

TEST_F(Snapshot, ReplacesAnExistingFileAndLeavesNothingElse) {
  std::ofstream(folder / "shot.jpg") << "an older and much longer file than the new one";
  ASSERT_TRUE(take(folder / "shot.jpg"));
  EXPECT_EQ(contents(folder / "shot.jpg"), "\xFF\xD8\xFF\xD9");
  EXPECT_EQ(entries(), std::vector<std::string>{"shot.jpg"});
}

TEST_F(Snapshot, GivesTheNewFileTheUsualMode) {
  mode_t previous = ::umask(022);
  ASSERT_TRUE(take(folder / "shot.jpg"));
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat((folder / "shot.jpg").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644U);
}

TEST_F(Snapshot, AMissingFolderIsNotCreated) {
  EXPECT_FALSE(take(folder / "missing" / "shot.jpg"));
  EXPECT_FALSE(fs::exists(folder / "missing"));
  EXPECT_TRUE(entries().empty());
}

TEST_F(Snapshot, APathThatCannotBeAFileFails) {
  fs::create_directory(folder / "taken");
  std::ofstream(folder / "taken" / "inside") << "kept";
  EXPECT_FALSE(take(folder / "taken"));
  EXPECT_EQ(contents(folder / "taken" / "inside"), "kept");
  EXPECT_FALSE(take(folder / "taken" / ""));  // names a folder, not a file
  EXPECT_FALSE(take(""));
  EXPECT_EQ(entries(), std::vector<std::string>{"taken"});
  EXPECT_EQ(fs::directory_iterator(folder / "taken")->path().filename(), "inside");
}

TEST_F(Snapshot, NoImageOrNoDataWritesNothing) {
  devices.screen.image.reset();
  EXPECT_FALSE(take(folder / "shot.jpg"));
  EXPECT_TRUE(devices.encoder.qualities.empty());

  devices.screen.image = platform::Image{1, 1, {0, 0, 0}};
  devices.encoder.data.reset();
  EXPECT_FALSE(take(folder / "shot.jpg"));
  devices.encoder.data = std::vector<std::uint8_t>{};
  EXPECT_FALSE(take(folder / "shot.jpg"));
  EXPECT_TRUE(entries().empty());
}

}  // namespace
}  // namespace tarnwick::support
