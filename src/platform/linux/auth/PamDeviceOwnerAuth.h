#pragma once

// Device-owner authentication on Linux: the person's own account, through PAM (service
// "tarnwick"), on a worker thread whose conversation talks to a prompt on screen.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/CommandRunner.h"
#include "platform/DeviceOwnerAuth.h"

namespace tarnwick::platform::linux_desktop {

// Text the person typed: one heap buffer that moves without being copied and is wiped when it
// goes.
class SecretText {
 public:
  SecretText() = default;
  SecretText(const char* text, std::size_t size);
  ~SecretText();
  SecretText(SecretText&& other) noexcept;
  SecretText& operator=(SecretText&& other) noexcept;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;

  const char* data() const { return data_ ? data_ : ""; }
  std::size_t size() const { return size_; }

 private:
  void wipe();
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// The prompt of one evaluation, driven by PAM's conversation from the evaluation's worker thread.
class OwnerPrompt {
 public:
  virtual ~OwnerPrompt() = default;
  // A module's question in its own words ("Password: "). Blocks until the person answers;
  // nothing once they have cancelled.
  virtual std::optional<SecretText> ask(const std::string& question, bool echo) = 0;
  // A module's message ("Place your finger on the fingerprint reader"). Never blocks.
  virtual void tell(const std::string& message, bool error) = 0;
  // The evaluation is over: the prompt goes and the next one may come.
  virtual void close() = 0;
};

// Where prompts are shown, one at a time.
class OwnerPrompts {
 public:
  virtual ~OwnerPrompts() = default;
  // Called on the evaluation's worker thread; blocks until it is this evaluation's turn.
  // `cancelled` runs at most once, on any thread, when the person cancels: the evaluation answers
  // false at once, whatever PAM says later. Nothing when no prompt can be shown.
  virtual std::unique_ptr<OwnerPrompt> open(const std::string& reason,
                                            const std::string& cancelTitle,
                                            std::function<void()> cancelled) = 0;
};

struct PamSetup {
  std::string service = "tarnwick";
  // Where PAM looks for the service's file, the administrator's folder first.
  std::vector<std::filesystem::path> serviceFolders = {"/etc/pam.d", "/usr/lib/pam.d"};
  // The account to authenticate; nothing when it does not resolve.
  std::function<std::optional<std::string>()> account;
  // The account's password status as `passwd -S` gives it ("P", "NP", "L"); "" when unknown.
  std::function<std::string(const std::string& account)> passwordStatus;
};

// The running user's account, and its password status read with /usr/bin/passwd -S.
PamSetup systemPamSetup(CommandRunner& commands);

// The status field of `passwd -S` output ("root L 2025-05-20 0 99999 7 -1" gives "L").
std::string passwordStatusField(const std::string& output);

// Can evaluate when the service file exists, the account resolves and it is not an account
// without a password ("NP"). A locked password ("L") still can: the stack decides, and a
// fingerprint or another module may succeed where the password cannot.
//
// Evaluating runs pam_start, pam_authenticate with PAM_DISALLOW_NULL_AUTHTOK and pam_acct_mgmt
// on a worker thread of its own; success only when both succeed.
class PamDeviceOwnerAuth final : public DeviceOwnerAuth {
 public:
  PamDeviceOwnerAuth(PamSetup setup, std::shared_ptr<OwnerPrompts> prompts);
  std::unique_ptr<DeviceOwnerAuthContext> makeContext() override;

 private:
  std::shared_ptr<const PamSetup> setup_;
  std::shared_ptr<OwnerPrompts> prompts_;
};

}  // namespace tarnwick::platform::linux_desktop
