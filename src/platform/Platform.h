#pragma once

#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/CommandRunner.h"
#include "platform/DeviceOwnerAuth.h"
#include "platform/HttpClient.h"
#include "platform/LoginItems.h"
#include "platform/MainQueue.h"
#include "platform/Pasteboard.h"
#include "platform/Preferences.h"
#include "platform/UserFolders.h"
#include "platform/WebView.h"
#include "platform/Workspace.h"

namespace tarnwick::platform {

// Everything the windowed application reaches through ports. The backend owns the objects; the
// references stay valid for the life of the process.
struct Platform {
  MainQueue& mainQueue;
  Sleeper& sleeper;
  HttpClient& http;
  Application& application;
  Workspace& workspace;
  Pasteboard& pasteboard;
  Preferences& preferences;
  Bundle& bundle;
  LoginItems& loginItems;
  DeviceOwnerAuth& deviceOwnerAuth;
  UserFolders& userFolders;
  CommandRunner& commands;
};

}  // namespace tarnwick::platform
