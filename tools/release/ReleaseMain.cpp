// Release tooling: seals and signs a bundle, re-versions one, and writes a release manifest.
//
//   tarnwick-release seal --key KEY.pem --cert CERT.pem BUNDLE
//   tarnwick-release set-version BUNDLE VERSION
//       the bundle's and its login items' CFBundleShortVersionString and CFBundleVersion
//   tarnwick-release manifest --version V --build N --url URL --image FILE [--notes TEXT]
//       prints the manifest JSON, with the image's SHA-256
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/linux/update/FileTree.h"
#include "platform/linux/update/Seal.h"
#include "platform/linux/update/Signature.h"

namespace fs = std::filesystem;
using namespace tarnwick::update_tools;

namespace {

// --name value pairs after the command, and the remaining plain arguments.
struct Options {
  std::map<std::string, std::string> named;
  std::vector<std::string> plain;
};

Options parse(int argc, char** argv, int first) {
  Options options;
  for (int i = first; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.rfind("--", 0) == 0 && i + 1 < argc) {
      options.named[argument.substr(2)] = argv[++i];
    } else {
      options.plain.push_back(argument);
    }
  }
  return options;
}

bool writeFile(const fs::path& path, const std::string& data) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << data;
  file.close();
  return static_cast<bool>(file);
}

int seal(const Options& options) {
  if (!options.named.contains("key") || !options.named.contains("cert") ||
      options.plain.size() != 1) {
    return 64;
  }
  fs::path bundle = options.plain[0];
  fs::path folder = bundle / "Contents" / sealFolder;
  std::error_code error;
  fs::remove_all(folder, error);
  Fd bundleFd = openFolder(bundle.string());
  auto text = bundleFd ? computeSeal(bundleFd.get()) : std::nullopt;
  if (!text) {
    std::cerr << "seal: the bundle cannot be sealed (no identifier or version, or a file that "
                 "cannot be sealed)\n";
    return 1;
  }
  auto signature = signDetached(*text, options.named.at("key"), options.named.at("cert"));
  if (!signature) {
    std::cerr << "seal: the key or certificate could not be used\n";
    return 1;
  }
  if (!fs::create_directory(folder, error) || !writeFile(folder / sealName, *text) ||
      !writeFile(folder / signatureName, *signature)) {
    std::cerr << "seal: the seal could not be written\n";
    return 1;
  }
  fs::permissions(folder, fs::perms(0755), error);
  fs::permissions(folder / sealName, fs::perms(0644), error);
  fs::permissions(folder / signatureName, fs::perms(0644), error);
  return 0;
}

bool setVersionIn(const fs::path& info, const std::string& version) {
  std::ifstream file(info, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  if (!root) {
    return false;
  }
  std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) {
    return false;
  }
  plist_dict_set_item(root, "CFBundleShortVersionString", plist_new_string(version.c_str()));
  plist_dict_set_item(root, "CFBundleVersion", plist_new_string(version.c_str()));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  if (!xml) {
    return false;
  }
  std::string text(xml, length);
  std::free(xml);
  return writeFile(info, text);
}

int setVersion(const Options& options) {
  if (options.plain.size() != 2) {
    return 64;
  }
  fs::path bundle = options.plain[0];
  const std::string& version = options.plain[1];
  if (!setVersionIn(bundle / "Contents" / "Info.plist", version)) {
    std::cerr << "set-version: no Info.plist in " << bundle << "\n";
    return 1;
  }
  std::error_code error;
  for (const auto& item :
       fs::directory_iterator(bundle / "Contents" / "Library" / "LoginItems", error)) {
    if (item.path().extension() == ".app" &&
        !setVersionIn(item.path() / "Contents" / "Info.plist", version)) {
      std::cerr << "set-version: no Info.plist in " << item.path() << "\n";
      return 1;
    }
  }
  return 0;
}

int manifest(const Options& options) {
  for (const char* required : {"version", "build", "url", "image"}) {
    if (!options.named.contains(required)) {
      return 64;
    }
  }
  Fd image(::open(options.named.at("image").c_str(), O_RDONLY | O_CLOEXEC));
  auto digest = image ? sha256OfDescriptor(image.get()) : std::nullopt;
  if (!digest) {
    std::cerr << "manifest: the image cannot be read\n";
    return 1;
  }
  nlohmann::ordered_json document = {
      {"version", options.named.at("version")},
      {"build", std::stoll(options.named.at("build"))},
      {"download_url", options.named.at("url")},
      {"sha256", *digest},
  };
  if (options.named.contains("notes")) {
    document["release_notes"] = options.named.at("notes");
  }
  std::cout << document.dump(2) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) {
      std::cerr << "usage: tarnwick-release seal|set-version|manifest …\n";
      return 64;
    }
    std::string command = argv[1];
    auto options = parse(argc, argv, 2);
    if (command == "seal") {
      return seal(options);
    }
    if (command == "set-version") {
      return setVersion(options);
    }
    if (command == "manifest") {
      return manifest(options);
    }
    return 64;
  } catch (const std::exception& error) {
    std::cerr << "tarnwick-release: " << error.what() << "\n";
    return 70;
  }
}
