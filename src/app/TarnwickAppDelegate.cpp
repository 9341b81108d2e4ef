#include "app/TarnwickAppDelegate.h"

#include <variant>

#include "connector/ConnectorContract.h"
#include "service/ServiceContract.h"

namespace tarnwick::app {

namespace {

constexpr std::string_view versionKey = "CFBundleShortVersionString";
constexpr std::string_view versionFallback = "0.0.0";

std::string bundleVersion(platform::Bundle& bundle) {
  auto value = bundle.infoValue(std::string(versionKey));
  if (const auto* text = std::get_if<std::string>(&value)) {
    return *text;
  }
  return std::string(versionFallback);
}

}  // namespace

TarnwickAppDelegate::TarnwickAppDelegate(platform::Platform& platform)
    : platform_(platform),
      localURL_(connector::localURL),
      latestReleaseURL_(service::latestReleaseURL),
      currentVersion_(bundleVersion(platform.bundle)),
      connectorBundleIdentifier_(connector::connectorBundleIdentifier),
      releaseTeamIdentifier_("K7QW3ZTN8R"),
      launcherBundleIdentifier_("com.ostrel.tarnwick.launcher") {}

std::string TarnwickAppDelegate::connectorSignature() const {
  return std::string(connector::signaturePrefix) + currentVersion_;
}

}  // namespace tarnwick::app
