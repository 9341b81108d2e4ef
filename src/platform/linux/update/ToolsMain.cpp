// The bundle's system tools in one program: it runs as the tool its name says (each name is a link
// to it in Contents/Helpers), or as `tarnwick-tools TOOL ARGUMENTS…`.
#include <exception>
#include <string>

#include "platform/linux/update/PinnedRoot.h"
#include "platform/linux/update/Tools.h"

int main(int argc, char** argv) {
  try {
    if (argc < 1) {
      return 64;
    }
    std::string tool = argv[0];
    if (auto slash = tool.rfind('/'); slash != std::string::npos) {
      tool.erase(0, slash + 1);
    }
    int first = 1;
    if (tool == "tarnwick-tools") {
      if (argc < 2) {
        return 64;
      }
      tool = argv[1];
      first = 2;
    }
    tarnwick::update_tools::Arguments arguments(argv + first, argv + argc);
    return tarnwick::update_tools::runTool(tool, arguments, tarnwick::update_tools::pinnedRoot());
  } catch (const std::exception&) {
    return 70;
  } catch (...) {
    return 70;
  }
}
