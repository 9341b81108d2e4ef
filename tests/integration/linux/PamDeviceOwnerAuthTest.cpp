// The PAM backend against pam_matrix and pam_chatty stacks under pam_wrapper (which the tests'
// environment preloads), without root; a scripted prompt answers in place of the dialog.
#include <future>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/auth/PamDeviceOwnerAuth.h"

namespace tarnwick::integration {

using namespace platform::linux_desktop;

// Answers each question with `answer` (none: cancelled), writing down the conversation.
struct Script final : OwnerPrompts {
  struct Prompt final : OwnerPrompt {
    explicit Prompt(Script& owner) : to(owner) {}
    std::optional<SecretText> ask(const std::string& question, bool echo) override {
      to.say((echo ? "ask echo " : "ask ") + question);
      return to.answer ? std::optional(SecretText(to.answer->data(), to.answer->size()))
                       : (to.cancelled(), std::nullopt);
    }
    void tell(const std::string& text, bool error) override {
      to.say((error ? "error " : "info ") + text);
    }
    void close() override { to.say("close"); }
    Script& to;
  };
  std::unique_ptr<OwnerPrompt> open(const std::string& reason, const std::string& cancel,
                                    std::function<void()> onCancel) override {
    say("open " + reason + " / " + cancel);
    cancelled = std::move(onCancel);
    return std::make_unique<Prompt>(*this);
  }
  void say(const std::string& line) {
    std::lock_guard lock(mutex);
    log += line + "\n";
  }
  std::string said() {
    std::lock_guard lock(mutex);
    return log;
  }
  std::optional<std::string> answer;
  std::function<void()> cancelled;
  std::mutex mutex;
  std::string log;
};

// "yes" or "no" (or "no answer" within 10 s), then the conversation.
std::string evaluate(const std::string& service, std::optional<std::string> account,
                     std::optional<std::string> answer, std::string status = "P") {
  auto script = std::make_shared<Script>();
  script->answer = std::move(answer);
  PamDeviceOwnerAuth auth({.service = service,
                           .serviceFolders = {"/nonexistent/pam.d", TARNWICK_PAM_SERVICE_DIR},
                           .account = [account] { return account; },
                           .passwordStatus = [status](auto&) { return status; }},
                          script);
  auto context = auth.makeContext();
  std::string available = context->canEvaluate() ? "" : "unavailable, ";
  context->setCancelTitle("Cancel");
  auto answered = std::make_shared<std::promise<bool>>();
  auto result = answered->get_future();
  context->evaluate("Unlock Tarnwick Business financial data",
                    [answered](bool success) { answered->set_value(success); });
  context.reset();  // the evaluation keeps what it needs
  if (result.wait_for(10s) != std::future_status::ready) {
    return "no answer";
  }
  // The worker closes the prompt just before it answers; a cancelled one answers first.
  waitUntil([&] { return !available.empty() || script->said().ends_with("close\n"); }, 10s);
  return available + (result.get() ? "yes\n" : "no\n") + script->said();
}

TEST(PamDeviceOwnerAuth, AsksThroughTheConversationAndNeedsBothStacksAServiceAndAPassword) {
  const std::string
      asked = "open Unlock Tarnwick Business financial data / Cancel\nask Password: \nclose\n",
      info = "info Authentication succeeded\n", error = "error Authentication generated an error\n";
  using Text = std::optional<std::string>;
  const std::tuple<const char*, Text, Text, std::string, std::string> cases[] = {
      {"tarnwick-matrix", "alice", "right-password", "P", "yes\n" + asked},
      {"tarnwick-matrix", "alice", "wrong", "P", "no\n" + asked},
      {"tarnwick-matrix", "alice", "", "P", "no\n" + asked},
      {"tarnwick-matrix", "mallory", "right-password", "P", "no\n" + asked},  // unknown
      {"tarnwick-matrix", "bob", "secret", "P", "no\n" + asked},        // the account stack refuses
      {"tarnwick-matrix", "alice", std::nullopt, "P", "no\n" + asked},  // cancelled
      // The stack decides on a locked password (a fingerprint may do) or an unknown status.
      {"tarnwick-matrix", "alice", "right-password", "L", "yes\n" + asked},
      {"tarnwick-matrix", "alice", "right-password", "", "yes\n" + asked},
      // Refused without a prompt: no password, no account, no service.
      {"tarnwick-matrix", "alice", "right-password", "NP", "unavailable, no\n"},
      {"tarnwick-matrix", std::nullopt, "right-password", "P", "unavailable, no\n"},
      {"tarnwick-missing", "alice", "right-password", "P", "unavailable, no\n"},
      // pam_chatty's messages, then pam_matrix's "verbose" one sent without a reply pointer.
      {"tarnwick-chatty", "carol", "pw", "P",
       "yes\nopen Unlock Tarnwick Business financial data / Cancel\n" + info + info + info + error +
           error + error + "ask Password: \n" + info + "close\n"}};
  for (const auto& [service, account, answer, status, expected] : cases) {
    EXPECT_EQ(evaluate(service, account, answer, status), expected) << account.value_or("-");
  }
  EXPECT_EQ(passwordStatusField("root L 2025-05-20 0 99999 7 -1\n") + passwordStatusField(""), "L");
  connector::PosixCommandRunner commands;
  auto setup = systemPamSetup(commands);
  EXPECT_EQ(setup.account().value_or("") + "\n", runCommand("/usr/bin/id", {"-un"}).output);
  EXPECT_TRUE(
      std::set<std::string>({"P", "NP", "L"}).contains(setup.passwordStatus(*setup.account())));
}

}  // namespace tarnwick::integration
