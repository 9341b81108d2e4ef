#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tarnwick::platform {

// One authentication of the person at the machine as its owner.
class DeviceOwnerAuthContext {
 public:
  virtual ~DeviceOwnerAuthContext() = default;

  virtual void setCancelTitle(const std::string& title) = 0;
  virtual bool canEvaluate() = 0;
  // The reply may arrive on any thread, exactly once. The evaluation keeps what it needs, so the
  // context may be released as soon as this returns.
  virtual void evaluate(const std::string& reason, std::function<void(bool success)> reply) = 0;
};

class DeviceOwnerAuth {
 public:
  virtual ~DeviceOwnerAuth() = default;
  virtual std::unique_ptr<DeviceOwnerAuthContext> makeContext() = 0;
};

}  // namespace tarnwick::platform
