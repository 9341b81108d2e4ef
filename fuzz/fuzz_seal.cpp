// The seal inside an update image and what it is read with: the bundle's Info.plist, the seal text
// and its detached signature, all as the image carries them (the input is the three, split at a
// separator), in a bundle whose other files are fixed here.
//
// Both readers of Info.plist (the update tools' and the shell's) agree on every string; a
// computed seal is well formed whatever the strings hold, its fields decode back to them, so no
// value can add a line; only a signature by the pinned root's one signing identity verifies; and a
// bundle that passes the check has a seal naming the required identifier.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "FuzzCheck.h"
#include "platform/linux/bundle/LinuxBundle.h"
#include "platform/linux/update/FileTree.h"
#include "platform/linux/update/Seal.h"
#include "platform/linux/update/Signature.h"
#include "platform/linux/update/Tools.h"

using tarnwick::fuzz::require;
namespace fs = std::filesystem;
namespace tools = tarnwick::update_tools;

namespace {

constexpr std::string_view separator = "\xff\xfeTARNWICK\xfe\xff";
constexpr std::string_view identifier = "com.ostrel.tarnwick.launcher";
constexpr std::string_view team = "K7QW3ZTN8R";
// The fixed part of the bundle; make-seal-seeds.sh builds the same.
constexpr std::string_view executableText = "#!/bin/sh\nexit 0\n";

std::string scratch;
std::string bundle;
std::string root;

void writeFile(const std::string& path, std::string_view data, mode_t mode) {
  tools::Fd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  require(static_cast<bool>(file));
  for (std::size_t done = 0; done < data.size();) {
    ssize_t wrote = ::write(file.get(), data.data() + done, data.size() - done);
    require(wrote > 0);
    done += static_cast<std::size_t>(wrote);
  }
  require(::fchmod(file.get(), mode) == 0);
}

void cleanUp() {
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// A seal field read back: only printable ASCII without spaces, %XX for everything else.
std::optional<std::string> decodeField(std::string_view field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    auto byte = static_cast<unsigned char>(field[i]);
    if (byte <= 0x20 || byte >= 0x7f) {
      return std::nullopt;
    }
    if (field[i] != '%') {
      text += field[i];
      continue;
    }
    if (i + 2 >= field.size()) {
      return std::nullopt;
    }
    int high = hexValue(field[i + 1]);
    int low = hexValue(field[i + 2]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    text += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return text;
}

std::vector<std::string> split(std::string_view text, char at) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= text.size();) {
    auto end = text.find(at, start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::optional<std::string> shellString(const std::string& key) {
  auto value = tarnwick::platform::linux_desktop::LinuxBundle(fs::path(bundle)).infoValue(key);
  const auto* text = std::get_if<std::string>(&value);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

void checkSeal(const std::string& seal, const std::string& id, const std::string& version) {
  require(seal.size() > 0 && seal.back() == '\n');
  auto lines = split(std::string_view(seal).substr(0, seal.size() - 1), '\n');
  require(lines.size() >= 4);
  require(lines[0] == "tarnwick-seal 1");
  auto header = [](const std::string& line, std::string_view word) {
    auto fields = split(line, ' ');
    require(fields.size() == 2 && fields[0] == word);
    return decodeField(fields[1]);
  };
  require(header(lines[1], "identifier") == id);
  require(header(lines[2], "version") == version);
  std::string previous;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    auto fields = split(lines[i], ' ');
    require(fields.size() == 5);
    require(fields[0] == "d" || fields[0] == "f" || fields[0] == "l");
    auto path = decodeField(fields[4]);
    require(path.has_value() && (i == 3 || *path > previous));
    previous = *path;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/tarnwick-fuzz-seal-XXXXXX";
  require(::mkdtemp(pattern) != nullptr);
  scratch = pattern;
  std::atexit(cleanUp);
  bundle = scratch + "/Tarnwick.app";
  for (const char* folder : {"", "/Contents", "/Contents/MacOS", "/Contents/_CodeSignature"}) {
    require(::mkdir((bundle + folder).c_str(), 0755) == 0);
    require(::chmod((bundle + folder).c_str(), 0755) == 0);
  }
  writeFile(bundle + "/Contents/MacOS/Tarnwick", executableText, 0755);
  std::ifstream pem(TARNWICK_FUZZ_SEAL_ROOT, std::ios::binary);
  root.assign(std::istreambuf_iterator<char>(pem), std::istreambuf_iterator<char>());
  require(!root.empty());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view parts[3];
  for (int i = 0; i < 2; ++i) {
    auto at = bytes.find(separator);
    if (at == std::string_view::npos) {
      break;
    }
    parts[i] = bytes.substr(0, at);
    bytes.remove_prefix(at + separator.size());
  }
  parts[2] = bytes;
  const std::string info(parts[0]);
  const std::string sealText(parts[1]);
  const std::string signature(parts[2]);
  writeFile(bundle + "/Contents/Info.plist", info, 0644);
  writeFile(bundle + "/Contents/_CodeSignature/seal", sealText, 0644);
  writeFile(bundle + "/Contents/_CodeSignature/seal.sig", signature, 0644);

  tools::Fd bundleFd = tools::openFolder(bundle);
  require(static_cast<bool>(bundleFd));
  for (const char* key :
       {"CFBundleIdentifier", "CFBundleShortVersionString", "CFBundleExecutable"}) {
    require(tools::infoString(bundleFd.get(), key) == shellString(key));
  }

  if (auto seal = tools::computeSeal(bundleFd.get())) {
    checkSeal(*seal, *tools::infoString(bundleFd.get(), "CFBundleIdentifier"),
              *tools::infoString(bundleFd.get(), "CFBundleShortVersionString"));
  }

  if (auto signer = tools::verifyDetached(sealText, signature, root)) {
    require(signer->organizationalUnit == team);
  }
  tools::signerCertificateValidNow(signature);

  int sealed =
      tools::codesign({"--verify", "--deep", "--strict", "-R",
                       "=anchor apple generic and identifier \"" + std::string(identifier) +
                           "\" and certificate leaf[subject.OU] = \"" + std::string(team) + "\"",
                       bundle},
                      root);
  require(sealed == 0 || sealed == 1);
  if (sealed == 0) {
    require(sealText.find("\nidentifier " + std::string(identifier) + "\n") != std::string::npos);
  }
  return 0;
}
