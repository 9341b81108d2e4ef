#pragma once

// What every integration test uses: real files and processes, and a way to wait for them.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "Files.h"
#include "Processes.h"

namespace tarnwick::integration {
namespace fs = std::filesystem;
using namespace testsupport;
}  // namespace tarnwick::integration
