#include "platform/linux/auth/PamDeviceOwnerAuth.h"

#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

namespace tarnwick::platform::linux_desktop {

// --- SecretText ---

SecretText::SecretText(const char* text, std::size_t size) : size_(size) {
  data_ = new char[size + 1];
  std::memcpy(data_, text, size);
  data_[size] = '\0';
}

SecretText::~SecretText() {
  wipe();
}

SecretText::SecretText(SecretText&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
  if (this != &other) {
    wipe();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

void SecretText::wipe() {
  if (data_) {
    explicit_bzero(data_, size_ + 1);
    delete[] data_;
    data_ = nullptr;
    size_ = 0;
  }
}

// --- The running system ---

std::string passwordStatusField(const std::string& output) {
  std::istringstream line(output.substr(0, output.find('\n')));
  std::string account, status;
  line >> account >> status;
  return status;
}

PamSetup systemPamSetup(CommandRunner& commands) {
  PamSetup setup;
  setup.account = []() -> std::optional<std::string> {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_name || !*found->pw_name) {
      return std::nullopt;
    }
    return std::string(found->pw_name);
  };
  setup.passwordStatus = [&commands](const std::string& account) {
    // Works unprivileged for one's own account; "--" keeps a name from reading as an option.
    return passwordStatusField(commands.capture("/usr/bin/passwd", {"-S", "--", account}));
  };
  return setup;
}

namespace {

bool canEvaluate(const PamSetup& setup) {
  // pam_start accepts a service without a file (the "other" stack answers), so look first.
  bool serviceExists = false;
  for (const auto& folder : setup.serviceFolders) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(folder / setup.service, ignored)) {
      serviceExists = true;
      break;
    }
  }
  if (!serviceExists || !setup.account) {
    return false;
  }
  auto account = setup.account();
  if (!account) {
    return false;
  }
  return !setup.passwordStatus || setup.passwordStatus(*account) != "NP";
}

void dropReplies(pam_response* replies, int count) {
  if (!replies) {
    return;
  }
  for (int index = 0; index < count; ++index) {
    if (char* text = replies[index].resp) {
      explicit_bzero(text, std::strlen(text));
      std::free(text);
    }
  }
  std::free(replies);
}

// PAM's conversation: questions go to the prompt and wait for the person; messages are shown and
// never wait. Modules may pass no reply pointer with messages alone (pam_matrix's "verbose" and
// pam_chatty do); a question without one cannot be answered.
int converse(int count, const pam_message** messages, pam_response** replies, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG || !messages || !data) {
    return PAM_CONV_ERR;
  }
  auto& prompt = *static_cast<OwnerPrompt*>(data);
  pam_response* answers = nullptr;
  if (replies) {
    *replies = nullptr;
    answers = static_cast<pam_response*>(
        std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!answers) {
      return PAM_BUF_ERR;
    }
  }
  for (int index = 0; index < count; ++index) {
    const pam_message* message = messages[index];
    if (!message) {
      dropReplies(answers, count);
      return PAM_CONV_ERR;
    }
    std::string text = message->msg ? message->msg : "";
    switch (message->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
      case PAM_PROMPT_ECHO_ON: {
        if (!answers) {
          return PAM_CONV_ERR;
        }
        auto answer = prompt.ask(text, message->msg_style == PAM_PROMPT_ECHO_ON);
        if (!answer) {
          dropReplies(answers, count);
          return PAM_CONV_ERR;
        }
        // PAM frees (and the modules wipe) what the reply points to, so it must be malloc'd.
        auto* copy = static_cast<char*>(std::malloc(answer->size() + 1));
        if (!copy) {
          dropReplies(answers, count);
          return PAM_BUF_ERR;
        }
        std::memcpy(copy, answer->data(), answer->size() + 1);
        answers[index].resp = copy;
        break;
      }
      case PAM_TEXT_INFO:
        prompt.tell(text, false);
        break;
      case PAM_ERROR_MSG:
        prompt.tell(text, true);
        break;
      default:
        dropReplies(answers, count);
        return PAM_CONV_ERR;
    }
  }
  if (replies) {
    *replies = answers;
  }
  return PAM_SUCCESS;
}

bool authenticate(const std::string& service, const std::string& account, OwnerPrompt& prompt) {
  pam_conv conversation{converse, &prompt};
  pam_handle_t* handle = nullptr;
  int status = pam_start(service.c_str(), account.c_str(), &conversation, &handle);
  if (status != PAM_SUCCESS) {
    if (handle) {
      pam_end(handle, status);
    }
    return false;
  }
  // An empty password is never enough, whatever "nullok" the stack carries.
  status = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
  if (status == PAM_SUCCESS) {
    // Authenticated but expired, or not allowed for this service, is still a refusal.
    status = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
  }
  pam_end(handle, status);
  return status == PAM_SUCCESS;
}

// One evaluation's answer, given once: by PAM, or earlier by the person cancelling.
class Answer {
 public:
  explicit Answer(std::function<void(bool)> reply) : reply_(std::move(reply)) {}
  void give(bool success) {
    std::function<void(bool)> reply;
    {
      std::lock_guard lock(mutex_);
      reply = std::move(reply_);
      reply_ = nullptr;
    }
    if (reply) {
      reply(success);
    }
  }

 private:
  std::mutex mutex_;
  std::function<void(bool)> reply_;
};

class Context final : public DeviceOwnerAuthContext {
 public:
  Context(std::shared_ptr<const PamSetup> setup, std::shared_ptr<OwnerPrompts> prompts)
      : setup_(std::move(setup)), prompts_(std::move(prompts)) {}

  void setCancelTitle(const std::string& title) override { cancelTitle_ = title; }
  bool canEvaluate() override { return linux_desktop::canEvaluate(*setup_); }

  void evaluate(const std::string& reason, std::function<void(bool)> reply) override {
    auto answer = std::make_shared<Answer>(std::move(reply));
    // Asked without asking first, it answers as a machine that cannot evaluate would.
    auto account = setup_->account ? setup_->account() : std::nullopt;
    if (!account || !prompts_ || !linux_desktop::canEvaluate(*setup_)) {
      answer->give(false);
      return;
    }
    // The thread keeps everything it uses, so the context may go at once; PAM may block for as
    // long as the person takes, so it is never joined.
    std::thread([setup = setup_, prompts = prompts_, reason, cancelTitle = cancelTitle_,
                 account = *account, answer] {
      auto prompt = prompts->open(reason, cancelTitle, [answer] { answer->give(false); });
      if (!prompt) {
        answer->give(false);
        return;
      }
      bool success = authenticate(setup->service, account, *prompt);
      prompt->close();
      answer->give(success);
    }).detach();
  }

 private:
  std::shared_ptr<const PamSetup> setup_;
  std::shared_ptr<OwnerPrompts> prompts_;
  std::string cancelTitle_;
};

}  // namespace

PamDeviceOwnerAuth::PamDeviceOwnerAuth(PamSetup setup, std::shared_ptr<OwnerPrompts> prompts)
    : setup_(std::make_shared<const PamSetup>(std::move(setup))), prompts_(std::move(prompts)) {}

std::unique_ptr<DeviceOwnerAuthContext> PamDeviceOwnerAuth::makeContext() {
  return std::make_unique<Context>(setup_, prompts_);
}

}  // namespace tarnwick::platform::linux_desktop
