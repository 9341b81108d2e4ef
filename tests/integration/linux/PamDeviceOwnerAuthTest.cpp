// The PAM backend against real PAM stacks without root: the binary runs itself again under
// pam_wrapper, whose service folder holds pam_matrix and pam_chatty stacks (written at configure
// time), and a scripted prompt answers the conversation in place of the dialog.
#include <future>

#include "Integration.h"
#include "connector/PosixCommandRunner.h"
#include "platform/linux/PamDeviceOwnerAuth.h"

namespace tarnwick::integration {
namespace {

using namespace platform::linux_desktop;
using Answers = std::vector<std::optional<std::string>>;
using Log = std::vector<std::string>;

// Answers questions from a script (nothing: the person cancels) and records the conversation.
struct ScriptedPrompts final : OwnerPrompts {
  explicit ScriptedPrompts(Answers script) : answers(std::move(script)) {}
  std::unique_ptr<OwnerPrompt> open(const std::string& reason, const std::string& cancelTitle,
                                    std::function<void()> onCancel) override {
    record("open " + reason + " / " + cancelTitle);
    cancelled = std::move(onCancel);
    struct Handle final : OwnerPrompt {
      explicit Handle(ScriptedPrompts& owner) : to(owner) {}
      std::optional<SecretText> ask(const std::string& q, bool echo) override { return to.ask(q, echo); }
      void tell(const std::string& message, bool error) override { to.tell(message, error); }
      void close() override { to.close(); }
      ScriptedPrompts& to;
    };
    return std::make_unique<Handle>(*this);
  }
  std::optional<SecretText> ask(const std::string& question, bool echo) {
    record((echo ? "ask echo " : "ask ") + question);
    std::optional<std::string> answer;
    {
      std::lock_guard lock(mutex);
      answer = answers.empty() ? std::nullopt : answers.front();
      answers.erase(answers.begin(), answers.begin() + !answers.empty());
    }
    if (!answer) {
      cancelled();
      return std::nullopt;
    }
    return SecretText(answer->data(), answer->size());
  }
  void tell(const std::string& message, bool error) { record((error ? "error " : "info ") + message); }
  void close() { record("close"); }
  void record(const std::string& line) {
    std::lock_guard lock(mutex);
    log.push_back(line);
  }
  Log recorded() {
    std::lock_guard lock(mutex);
    return log;
  }
  std::mutex mutex;
  Answers answers;
  Log log;
  std::function<void()> cancelled;
};

// The answer of one evaluation (nothing when none came within 10 s), and the conversation.
std::pair<std::optional<bool>, Log> evaluate(const std::string& service, std::optional<std::string> account,
                                             Answers answers, std::string status = "P",
                                             bool available = true) {
  auto prompts = std::make_shared<ScriptedPrompts>(std::move(answers));
  PamDeviceOwnerAuth auth({.service = service,
                           .serviceFolders = {"/nonexistent/pam.d", TARNWICK_PAM_SERVICE_DIR},
                           .account = [account] { return account; },
                           .passwordStatus = [status](auto&) { return status; }},
                          prompts);
  auto context = auth.makeContext();
  EXPECT_EQ(context->canEvaluate(), available);
  context->setCancelTitle("Cancel");
  auto answered = std::make_shared<std::promise<bool>>();
  auto answer = answered->get_future();
  context->evaluate("Unlock Tarnwick Business financial data",
                    [answered](bool success) { answered->set_value(success); });
  context.reset();  // the evaluation keeps what it needs
  if (answer.wait_for(10s) != std::future_status::ready) {
    return {std::nullopt, prompts->recorded()};
  }
  // The worker closes the prompt just before it answers; a cancelled one answers first.
  waitUntil([&] { return !available || prompts->recorded().back() == "close"; }, 10s);
  return {answer.get(), prompts->recorded()};
}

TEST(PamStacks, AuthenticateThenAccountAnswerThroughTheConversation) {
  const std::string opened = "open Unlock Tarnwick Business financial data / Cancel";
  const Log asked = {opened, "ask Password: ", "close"};
  const std::string info = "info Authentication succeeded", error = "error Authentication generated an error";
  struct Case {
    const char* service;
    const char* account;
    Answers answers;
    bool success;
    Log conversation;
  } cases[] = {
      {"tarnwick-matrix", "alice", {"right-password"}, true, asked},
      {"tarnwick-matrix", "alice", {"wrong"}, false, asked},
      {"tarnwick-matrix", "alice", {""}, false, asked},
      {"tarnwick-matrix", "mallory", {"right-password"}, false, asked},  // unknown
      {"tarnwick-matrix", "bob", {"secret"}, false, asked},  // the account stack refuses
      {"tarnwick-matrix", "alice", {std::nullopt}, false, asked},  // cancelled
      // pam_chatty's messages, then pam_matrix's "verbose" one sent without a reply pointer.
      {"tarnwick-chatty", "carol", {"pw"}, true,
       {opened, info, info, info, error, error, error, "ask Password: ", info, "close"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evaluate(c.service, c.account, c.answers), std::pair(std::optional(c.success), c.conversation))
        << c.service << " " << c.account << " " << c.answers[0].value_or("(cancel)");
  }
}

TEST(PamAvailability, NeedsTheServiceFileAnAccountAndAPasswordThatIsNotEmpty) {
  struct Case {
    std::string service;
    std::optional<std::string> account;
    std::string status;
    bool available;
  } cases[] = {
      {"tarnwick-matrix", "alice", "L", true},  // the stack decides: a fingerprint may still do
      {"tarnwick-matrix", "alice", "", true},   // unknown (a network account)
      {"tarnwick-matrix", "alice", "NP", false},
      {"tarnwick-matrix", std::nullopt, "P", false},
      {"tarnwick-missing", "alice", "P", false},
  };
  for (const auto& c : cases) {
    auto [answer, log] = evaluate(c.service, c.account, {"right-password"}, c.status, c.available);
    EXPECT_EQ(answer, c.available) << c.service << " " << c.status;
    EXPECT_EQ(log.empty(), !c.available) << "refused without a prompt";
  }
  EXPECT_EQ(passwordStatusField("root L 2025-05-20 0 99999 7 -1\n"), "L");
  EXPECT_EQ(passwordStatusField(""), "");
  connector::PosixCommandRunner commands;
  auto setup = systemPamSetup(commands);
  auto account = setup.account();
  ASSERT_TRUE(account);
  EXPECT_EQ(*account + "\n", runCommand("/usr/bin/id", {"-un"}).output);
  EXPECT_TRUE(std::set<std::string>({"P", "NP", "L"}).contains(setup.passwordStatus(*account)));
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
