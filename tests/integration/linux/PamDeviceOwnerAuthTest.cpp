// The PAM backend against real PAM stacks without root: the binary runs itself again under
// pam_wrapper, whose service folder holds pam_matrix and pam_chatty stacks (written at configure
// time), and a scripted prompt answers the conversation in place of the dialog.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <mutex>

#include "Processes.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/auth/PamDeviceOwnerAuth.h"

namespace tarnwick::integration {
namespace {

using namespace std::chrono_literals;
using namespace platform::linux_desktop;

// Answers questions from a script (nothing: the person cancels) and records the conversation.
class ScriptedPrompts final : public OwnerPrompts {
 public:
  explicit ScriptedPrompts(std::vector<std::optional<std::string>> answers)
      : answers_(std::move(answers)) {}

  std::unique_ptr<OwnerPrompt> open(const std::string& reason, const std::string& cancelTitle,
                                    std::function<void()> cancelled) override {
    record("open " + reason + " / " + cancelTitle);
    return std::make_unique<Prompt>(*this, std::move(cancelled));
  }

  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  class Prompt final : public OwnerPrompt {
   public:
    Prompt(ScriptedPrompts& owner, std::function<void()> cancelled)
        : owner_(owner), cancelled_(std::move(cancelled)) {}
    std::optional<SecretText> ask(const std::string& question, bool echo) override {
      owner_.record((echo ? "ask echo " : "ask ") + question);
      std::optional<std::string> answer;
      {
        std::lock_guard lock(owner_.mutex_);
        if (!owner_.answers_.empty()) {
          answer = owner_.answers_.front();
          owner_.answers_.erase(owner_.answers_.begin());
        }
      }
      if (!answer) {
        cancelled_();
        return std::nullopt;
      }
      return SecretText(answer->data(), answer->size());
    }
    void tell(const std::string& message, bool error) override {
      owner_.record((error ? "error " : "info ") + message);
    }
    void close() override { owner_.record("close"); }

   private:
    ScriptedPrompts& owner_;
    std::function<void()> cancelled_;
  };

  void record(const std::string& line) {
    std::lock_guard lock(mutex_);
    log_.push_back(line);
  }

  std::mutex mutex_;
  std::vector<std::optional<std::string>> answers_;
  std::vector<std::string> log_;
};

PamSetup setupFor(const std::string& service, std::optional<std::string> account,
                  std::string status = "P") {
  PamSetup setup;
  setup.service = service;
  setup.serviceFolders = {"/nonexistent/pam.d", TARNWICK_PAM_SERVICE_DIR};
  setup.account = [account] { return account; };
  setup.passwordStatus = [status](const std::string&) { return status; };
  return setup;
}

// The answer, or nothing when none came within 10 s.
std::optional<bool> evaluate(platform::DeviceOwnerAuth& auth) {
  auto context = auth.makeContext();
  context->setCancelTitle("Cancel");
  auto answered = std::make_shared<std::promise<bool>>();
  auto answer = answered->get_future();
  context->evaluate("Unlock Tarnwick Business financial data",
                    [answered](bool success) { answered->set_value(success); });
  context.reset();  // the evaluation keeps what it needs
  if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    return std::nullopt;
  }
  return answer.get();
}

struct StackCase {
  const char* what;
  const char* service;
  const char* account;
  std::vector<std::optional<std::string>> answers;
  bool success;
  std::vector<std::string> conversation;  // after "open", up to and with "close"
};

class PamStacks : public testing::TestWithParam<StackCase> {};

TEST_P(PamStacks, AuthenticateThenAccountAnswerThroughTheConversation) {
  const auto& stack = GetParam();
  auto prompts = std::make_shared<ScriptedPrompts>(stack.answers);
  PamDeviceOwnerAuth auth(setupFor(stack.service, stack.account), prompts);
  EXPECT_EQ(evaluate(auth), stack.success);
  // The worker closes the prompt just before it answers; a cancelled one answers first.
  EXPECT_TRUE(testsupport::waitUntil([&] { return prompts->log().back() == "close"; }, 10s));
  auto log = prompts->log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "open Unlock Tarnwick Business financial data / Cancel");
  EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), stack.conversation);
}

const std::vector<std::string> asked = {"ask Password: ", "close"};

INSTANTIATE_TEST_SUITE_P(
    Matrix, PamStacks,
    testing::Values(
        StackCase{"right password", "tarnwick-matrix", "alice", {"right-password"}, true, asked},
        StackCase{"wrong password", "tarnwick-matrix", "alice", {"wrong"}, false, asked},
        StackCase{"empty password", "tarnwick-matrix", "alice", {""}, false, asked},
        StackCase{"unknown user", "tarnwick-matrix", "mallory", {"right-password"}, false, asked},
        StackCase{"account refused", "tarnwick-matrix", "bob", {"secret"}, false, asked},
        StackCase{"cancelled", "tarnwick-matrix", "alice", {std::nullopt}, false, asked},
        // pam_chatty's messages, then pam_matrix's "verbose" one sent without a reply pointer.
        StackCase{
            "chatty modules",
            "tarnwick-chatty",
            "carol",
            {"pw"},
            true,
            {"info Authentication succeeded", "info Authentication succeeded",
             "info Authentication succeeded", "error Authentication generated an error",
             "error Authentication generated an error", "error Authentication generated an error",
             "ask Password: ", "info Authentication succeeded", "close"}}),
    [](const testing::TestParamInfo<StackCase>& caseInfo) {
      std::string name;
      for (char c : std::string(caseInfo.param.what)) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

TEST(PamAvailability, NeedsTheServiceFileAnAccountAndAPasswordThatIsNotEmpty) {
  struct Case {
    std::string service;
    std::optional<std::string> account;
    std::string status;
    bool available;
  } cases[] = {
      {"tarnwick-matrix", "alice", "P", true},
      {"tarnwick-matrix", "alice", "L", true},  // the stack decides: a fingerprint may still do
      {"tarnwick-matrix", "alice", "", true},   // status unknown (a network account)
      {"tarnwick-matrix", "alice", "NP", false},
      {"tarnwick-matrix", std::nullopt, "P", false},
      {"tarnwick-missing", "alice", "P", false},
  };
  for (const auto& [service, account, status, available] : cases) {
    SCOPED_TRACE(service + " " + account.value_or("(none)") + " " + status);
    auto prompts = std::make_shared<ScriptedPrompts>(
        std::vector<std::optional<std::string>>{"right-password"});
    PamDeviceOwnerAuth auth(setupFor(service, account, status), prompts);
    EXPECT_EQ(auth.makeContext()->canEvaluate(), available);
    if (!available) {
      // Evaluated anyway, it refuses without a prompt.
      EXPECT_EQ(evaluate(auth), false);
      EXPECT_TRUE(prompts->log().empty());
    }
  }
}

TEST(PamAvailability, TheRunningAccountAndItsPasswordStatusAreRead) {
  EXPECT_EQ(passwordStatusField("root L 2025-05-20 0 99999 7 -1\n"), "L");
  EXPECT_EQ(passwordStatusField("someone NP 2025-05-20 0 99999 7 -1"), "NP");
  EXPECT_EQ(passwordStatusField(""), "");
  connector::PosixCommandRunner commands;
  auto setup = systemPamSetup(commands);
  auto account = setup.account();
  ASSERT_TRUE(account);
  EXPECT_EQ(*account + "\n", testsupport::runCommand("/usr/bin/id", {"-un"}).output);
  auto status = setup.passwordStatus(*account);
  EXPECT_TRUE(status == "P" || status == "NP" || status == "L") << status;
}

}  // namespace
}  // namespace tarnwick::integration

// Runs again with pam_wrapper preloaded, so that PAM reads the test's service folder.
int main(int argc, char** argv) {
  if (!getenv("PAM_WRAPPER")) {
    setenv("LD_PRELOAD", TARNWICK_PAM_WRAPPER_LIBRARY, 1);
    setenv("PAM_WRAPPER", "1", 1);
    setenv("PAM_WRAPPER_SERVICE_DIR", TARNWICK_PAM_SERVICE_DIR, 1);
    execv("/proc/self/exe", argv);
    return 127;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
