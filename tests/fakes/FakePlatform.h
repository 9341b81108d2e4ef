#pragma once

#include "FakeHttpClient.h"
#include "FakeMainQueue.h"
#include "FakeServices.h"
#include "FakeShell.h"
#include "app/TarnwickAppDelegate.h"
#include "platform/Platform.h"
#include "service/ServiceContract.h"

namespace tarnwick::fakes {

// Every port faked, wired into one Platform.
struct FakePlatform {
  FakeMainQueue mainQueue;
  FakeSleeper sleeper;
  FakeHttpClient http;
  FakeApplication application;
  FakeWorkspace workspace;
  FakePasteboard pasteboard;
  FakePreferences preferences;
  FakeBundle bundle;
  FakeLoginItems loginItems;
  FakeDeviceOwnerAuth deviceOwnerAuth;
  FakeUserFolders userFolders;
  FakeCommandRunner commands;

  platform::Platform ports{.mainQueue = mainQueue,
                           .sleeper = sleeper,
                           .http = http,
                           .application = application,
                           .workspace = workspace,
                           .pasteboard = pasteboard,
                           .preferences = preferences,
                           .bundle = bundle,
                           .loginItems = loginItems,
                           .deviceOwnerAuth = deviceOwnerAuth,
                           .userFolders = userFolders,
                           .commands = commands};

  FakePlatform() { http.holdApart.emplace_back(service::latestReleaseURL); }

  std::shared_ptr<app::TarnwickAppDelegate> makeDelegate() {
    return std::make_shared<app::TarnwickAppDelegate>(ports);
  }
};

}  // namespace tarnwick::fakes
