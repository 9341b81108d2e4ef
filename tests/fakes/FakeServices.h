#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Bundle.h"
#include "platform/CommandRunner.h"
#include "platform/DeviceOwnerAuth.h"
#include "platform/LoginItems.h"
#include "platform/Pasteboard.h"
#include "platform/Preferences.h"
#include "platform/UserFolders.h"
#include "platform/Workspace.h"

namespace tarnwick::fakes {

class FakeWorkspace final : public platform::Workspace {
 public:
  bool openURL(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
  bool activateRunningApplication(const std::string& bundleIdentifier) override {
    activated.push_back(bundleIdentifier);
    return runningApplications.contains(bundleIdentifier);
  }
  std::vector<std::string> opened;
  std::vector<std::string> activated;
  std::map<std::string, int> runningApplications;
};

class FakePasteboard final : public platform::Pasteboard {
 public:
  std::optional<std::string> plainText() override { return text; }
  std::optional<std::string> text;
};

class FakePreferences final : public platform::Preferences {
 public:
  std::optional<std::string> string(const std::string& key) override {
    auto found = strings.find(key);
    return found == strings.end() ? std::nullopt : std::optional(found->second);
  }
  std::optional<platform::Date> date(const std::string& key) override {
    auto found = dates.find(key);
    return found == dates.end() ? std::nullopt : std::optional(found->second);
  }
  void setString(const std::string& key, const std::string& value) override {
    strings[key] = value;
  }
  void setDate(const std::string& key, platform::Date value) override { dates[key] = value; }
  platform::Date now() override { return clock; }

  std::map<std::string, std::string> strings;
  std::map<std::string, platform::Date> dates;
  platform::Date clock{};
};

class FakeBundle final : public platform::Bundle {
 public:
  std::optional<std::filesystem::path> bundlePath() override { return path; }
  std::optional<std::string> bundleIdentifier() override { return identifier; }
  platform::InfoValue infoValue(const std::string& key) override {
    auto found = info.find(key);
    return found == info.end() ? platform::InfoValue(platform::InfoAbsent{}) : found->second;
  }
  platform::InfoValue infoValueAt(const std::filesystem::path& bundle,
                                  const std::string& key) override {
    auto found = otherInfo.find({bundle, key});
    return found == otherInfo.end() ? platform::InfoValue(platform::InfoAbsent{}) : found->second;
  }
  std::optional<std::filesystem::path> path;
  std::optional<std::string> identifier;
  std::map<std::string, platform::InfoValue> info;
  std::map<std::pair<std::filesystem::path, std::string>, platform::InfoValue> otherInfo;
};

class FakeLoginItems final : public platform::LoginItems {
 public:
  bool setEnabled(const std::string& bundleIdentifier, bool enabled) override {
    calls.emplace_back(bundleIdentifier, enabled);
    return true;
  }
  bool isRunning(const std::string& bundleIdentifier) override {
    return running.contains(bundleIdentifier);
  }
  std::vector<std::pair<std::string, bool>> calls;
  std::set<std::string> running;
};

// Scripted authentication: `available` decides canEvaluate; replies wait until the test answers.
class FakeDeviceOwnerAuth final : public platform::DeviceOwnerAuth {
 public:
  struct Evaluation {
    std::string cancelTitle;
    std::string reason;
    std::function<void(bool)> reply;
  };
  class Context final : public platform::DeviceOwnerAuthContext {
   public:
    explicit Context(FakeDeviceOwnerAuth& owner) : owner_(owner) {}
    void setCancelTitle(const std::string& title) override { cancelTitle_ = title; }
    bool canEvaluate() override { return owner_.available; }
    void evaluate(const std::string& reason, std::function<void(bool)> reply) override {
      owner_.evaluations.push_back({cancelTitle_, reason, std::move(reply)});
    }

   private:
    FakeDeviceOwnerAuth& owner_;
    std::string cancelTitle_;
  };

  std::unique_ptr<platform::DeviceOwnerAuthContext> makeContext() override {
    ++contexts;
    return std::make_unique<Context>(*this);
  }
  bool available = true;
  int contexts = 0;
  std::vector<Evaluation> evaluations;
};

class FakeUserFolders final : public platform::UserFolders {
 public:
  std::filesystem::path home() override { return homeFolder; }
  std::optional<std::filesystem::path> applicationSupport() override { return supportFolder; }
  std::filesystem::path temporary() override { return temporaryFolder; }
  std::filesystem::path homeFolder = "/nonexistent/home";
  std::optional<std::filesystem::path> supportFolder = "/nonexistent/home/.local/share";
  std::filesystem::path temporaryFolder = "/nonexistent/tmp";
};

// Records every tool call; answers from a table keyed by path.
class FakeCommandRunner final : public platform::CommandRunner {
 public:
  struct Call {
    enum class Kind { run, capture, detached, launched } kind;
    std::string path;
    std::vector<std::string> arguments;
    bool operator==(const Call&) const = default;
  };

  bool run(const std::string& path, const std::vector<std::string>& arguments) override {
    calls.push_back({Call::Kind::run, path, arguments});
    if (answer) {
      return answer(calls.back());
    }
    auto found = runResults.find(path);
    return found != runResults.end() && found->second;
  }
  std::string capture(const std::string& path, const std::vector<std::string>& arguments) override {
    calls.push_back({Call::Kind::capture, path, arguments});
    auto found = captureOutputs.find(path);
    return found == captureOutputs.end() ? "" : found->second;
  }
  // Recorded as a detached start; the copy runs while `detachedRunning` says so.
  std::function<bool()> launchWatched(const std::string& path,
                                      const std::vector<std::string>& arguments) override {
    calls.push_back({Call::Kind::detached, path, arguments});
    return [running = detachedRunning] { return *running; };
  }
  bool launch(const std::string& path, const std::vector<std::string>& arguments) override {
    calls.push_back({Call::Kind::launched, path, arguments});
    return launchResult;
  }
  std::string toolLocation(const std::string& canonicalPath) override {
    auto found = toolLocations.find(canonicalPath);
    return found == toolLocations.end() ? canonicalPath : found->second;
  }

  std::vector<Call> calls;
  // When set, decides every run (and may act on files, as the tool would); else runResults.
  std::function<bool(const Call&)> answer;
  std::map<std::string, bool> runResults;
  bool launchResult = true;
  std::map<std::string, std::string> toolLocations;
  std::map<std::string, std::string> captureOutputs;
  std::shared_ptr<bool> detachedRunning = std::make_shared<bool>(false);
};

}  // namespace tarnwick::fakes
