#pragma once

#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FakeMainQueue.h"
#include "platform/SupportDevices.h"

namespace tarnwick::fakes {

// Records every event as a line of text, so tests compare whole sequences.
class FakeInputEvents final : public platform::InputEvents {
 public:
  bool postKey(std::uint16_t keyCode, std::uint64_t flags) override {
    std::ostringstream line;
    line << "key " << keyCode << " flags 0x" << std::hex << flags;
    return record(line.str());
  }
  bool postText(const std::u16string& chunk) override {
    chunks.push_back(chunk);
    return record("text " + std::to_string(chunk.size()));
  }
  bool postClick(double x, double y, platform::MouseButton button,
                 std::int64_t clickState) override {
    std::ostringstream line;
    line << "click " << x << " " << y << " "
         << (button == platform::MouseButton::right ? "right" : "left") << " " << clickState;
    return record(line.str());
  }
  bool postScroll(std::int32_t lines) override { return record("scroll " + std::to_string(lines)); }

  std::vector<std::string> events;
  std::vector<std::u16string> chunks;
  // Posts succeed until this many have been accepted; then every post fails.
  std::optional<std::size_t> failAfter;

 private:
  bool record(std::string line) {
    if (failAfter && events.size() >= *failAfter) {
      return false;
    }
    events.push_back(std::move(line));
    return true;
  }
};

class FakePrivacyAccess final : public platform::PrivacyAccess {
 public:
  bool isTrustedForAccessibility(bool prompt) override {
    questions.push_back(prompt ? "accessibility with prompt" : "accessibility");
    return trusted;
  }
  bool screenCaptureAllowed() override {
    questions.push_back("screen capture");
    return captureAllowed;
  }
  bool requestScreenCapture() override {
    questions.push_back("screen capture request");
    return captureAllowed;
  }
  bool trusted = true;
  bool captureAllowed = true;
  std::vector<std::string> questions;
};

class FakeScreen final : public platform::Screen {
 public:
  std::optional<platform::Image> captureAllDisplays() override {
    ++captures;
    return image;
  }
  std::optional<platform::Image> image = platform::Image{2, 1, {1, 2, 3, 4, 5, 6}};
  int captures = 0;
};

class FakeImageEncoder final : public platform::ImageEncoder {
 public:
  std::optional<std::vector<std::uint8_t>> encodeJPEG(const platform::Image& image,
                                                      double quality) override {
    qualities.push_back(quality);
    encodedSizes.emplace_back(image.width, image.height);
    return data;
  }
  std::optional<std::vector<std::uint8_t>> data = std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9};
  std::vector<double> qualities;
  std::vector<std::pair<int, int>> encodedSizes;
};

class FakeRunningApplications final : public platform::RunningApplications {
 public:
  explicit FakeRunningApplications(FakeInputEvents& input) : input_(input) {}
  bool activateFirst(const std::string& bundleIdentifier) override {
    // Into the input log as well, so tests see where activation falls among the events.
    input_.events.push_back("activate " + bundleIdentifier);
    return running.contains(bundleIdentifier);
  }
  std::set<std::string> running;

 private:
  FakeInputEvents& input_;
};

// Every support device faked; counts how often the devices were opened.
class FakeSupportDevices final : public platform::SupportDeviceProvider {
 public:
  platform::SupportDevices devices() override {
    ++opened;
    return ports();
  }
  platform::SupportDevices ports() {
    return {.privacy = privacy,
            .screen = screen,
            .encoder = encoder,
            .input = input,
            .applications = applications,
            .sleeper = sleeper};
  }

  FakePrivacyAccess privacy;
  FakeScreen screen;
  FakeImageEncoder encoder;
  FakeInputEvents input;
  FakeRunningApplications applications{input};
  FakeSleeper sleeper;
  int opened = 0;
};

}  // namespace tarnwick::fakes
