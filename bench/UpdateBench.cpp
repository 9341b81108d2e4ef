// The update's digest and seal check, timed. Prints figures; asserts nothing.
//
//   tarnwick_update_bench [folder]     (default /tmp; needs about 1.3 GiB free there for a while)
//
// 1. The updater's SHA-256 of a 1 GiB file (1 MiB reads through OpenSSL's EVP interface), beside
//    `openssl dgst -sha256` on the same file, and this process's peak resident memory growth
//    while hashing.
// 2. The seal check (the bundle's codesign tool) of a 200 MiB bundle of 1,000 files, beside the
//    time to hash the same bytes.
// Each figure is the best of three runs from the page cache.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Files.h"
#include "Processes.h"
#include "platform/linux/update/FileTree.h"
#include "platform/linux/update/Seal.h"
#include "update/Sha256.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::testsupport;

double seconds(const std::function<void()>& work) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    auto began = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - began).count());
  }
  return best;
}

long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) {
      return std::stol(line.substr(std::string(field).size()));
    }
  }
  return -1;
}

void writeRandom(const fs::path& path, std::size_t size, std::mt19937_64& random) {
  std::vector<std::uint64_t> block(1u << 17);  // 1 MiB
  std::ofstream file(path, std::ios::binary);
  for (std::size_t done = 0; done < size;) {
    for (auto& word : block) {
      word = random();
    }
    std::size_t length = std::min(size - done, block.size() * sizeof(std::uint64_t));
    file.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(length));
    done += length;
  }
}

// The updater's own digest of the download.
std::string hashFile(const fs::path& path) {
  return tarnwick::update::sha256(path).value_or("");
}

}  // namespace

int main(int argc, char** argv) {
  fs::path base = argc > 1 ? argv[1] : "/tmp";
  fs::path scratch = base / ("tarnwick-update-bench-" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  std::mt19937_64 random(12);

  // 1. The image digest.
  const std::size_t gib = std::size_t{1} << 30;
  auto image = scratch / "image.bin";
  writeRandom(image, gib, random);
  std::string ours;
  hashFile(image);  // into the page cache
  // Peak resident memory from here on: writing 5 to clear_refs resets the high-water mark.
  std::ofstream("/proc/self/clear_refs") << "5";
  long before = statusKiB("VmRSS:");
  double ourTime = seconds([&] { ours = hashFile(image); });
  long peak = statusKiB("VmHWM:");
  std::string theirs;
  double openSslTime = seconds([&] {
    theirs = runCommand("/usr/bin/openssl", {"dgst", "-sha256", "-r", image.string()}).output;
  });
  std::printf("sha256 of 1 GiB, 1 MiB reads through EVP: %.3f s (%.2f GB/s)\n", ourTime,
              static_cast<double>(gib) / ourTime / 1e9);
  std::printf("openssl dgst -sha256 on the same file:    %.3f s (%.2f GB/s); ratio %.2f\n",
              openSslTime, static_cast<double>(gib) / openSslTime / 1e9, openSslTime / ourTime);
  std::printf("same digest: %s\n", theirs.rfind(ours, 0) == 0 ? "yes" : "NO");
  std::printf("peak resident growth while hashing: %ld KiB\n", peak - before);
  fs::remove(image);

  // 2. The seal check.
  auto bundle = scratch / "Tarnwick.app";
  fs::create_directories(bundle / "Contents" / "MacOS");
  fs::copy_file(fs::path(TARNWICK_BUNDLE_DIR) / "Contents" / "Info.plist",
                bundle / "Contents" / "Info.plist");
  fs::copy_file("/bin/true", bundle / "Contents" / "MacOS" / "Tarnwick");
  const std::size_t files = 1000;
  const std::size_t each = (std::size_t{200} << 20) / files;
  std::vector<fs::path> paths;
  for (std::size_t i = 0; i < files; ++i) {
    auto folder = bundle / "Contents" / "Resources" / ("group" + std::to_string(i / 50));
    fs::create_directories(folder);
    paths.push_back(folder / ("file" + std::to_string(i) + ".bin"));
    writeRandom(paths.back(), each, random);
  }
  auto sealed = runCommand(TARNWICK_RELEASE_TOOL,
                           {"seal", "--key", TARNWICK_SIGNING_DIR "/signing.key", "--cert",
                            TARNWICK_SIGNING_DIR "/signing.pem", bundle.string()});
  const std::string requirement =
      "=anchor apple generic and identifier \"com.ostrel.tarnwick.launcher\" and certificate "
      "leaf[subject.OU] = \"K7QW3ZTN8R\"";
  int status = -1;
  double checkTime = seconds([&] {
    status = runCommand(fs::path(TARNWICK_BUNDLE_DIR) / "Contents" / "Helpers" / "codesign",
                        {"--verify", "--deep", "--strict", "-R", requirement, bundle.string()})
                 .status;
  });
  double hashTime = seconds([&] {
    for (const auto& path : paths) {
      hashFile(path);
    }
  });
  std::printf("seal check of a 200 MiB bundle of %zu files: %.3f s (status %d, seal %d)\n",
              files + 2, checkTime, status, sealed.status);
  std::printf("hashing the same bytes:                      %.3f s; ratio %.2f\n", hashTime,
              checkTime / hashTime);
  fs::remove_all(scratch);
  return 0;
}
