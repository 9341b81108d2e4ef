// Download, verification and the installer hand-off of an update.
#include "update/UpdateInstall.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <variant>

#include "app/TarnwickAppDelegate.h"
#include "platform/OwnAccountFiles.h"
#include "update/InstallerScript.h"
#include "update/Sha256.h"
#include "update/TarnwickRelease.h"

namespace tarnwick::update {

std::string failureMessage(std::string_view reason) {
  return "This update was not installed because " + std::string(reason) +
         ". Nothing on this Mac was changed. Try again from Tarnwick \u2192 Check for "
         "Updates\u2026";
}

std::string downloadingStatus(std::string_view version) {
  return "Downloading Tarnwick " + std::string(version) + "\u2026";
}

std::string verifyingStatus(std::string_view version) {
  return "Verifying Tarnwick " + std::string(version) + "\u2026";
}

std::string installingStatus(std::string_view version) {
  return "Installing Tarnwick " + std::string(version) + " and reopening\u2026";
}

std::string designatedRequirement(std::string_view bundleIdentifier, std::string_view team) {
  return "anchor apple generic and identifier \"" + std::string(bundleIdentifier) +
         "\" and certificate leaf[subject.OU] = \"" + std::string(team) + "\"";
}

std::string makeUUID() {
  uuid_t bytes;
  uuid_generate_random(bytes);
  char text[37];
  uuid_unparse_upper(bytes, text);
  return text;
}

bool sameDigest(std::string_view a, std::string_view b) {
  // ASCII only: the user's locale has no say in how hexadecimal digits compare.
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

namespace fs = std::filesystem;

void removeWorkDirectory(const fs::path& work) {
  std::error_code error;
  fs::remove_all(work, error);
  if (!error || !fs::is_directory(fs::symlink_status(work, error))) {
    return;
  }
  // Each folder is made writable before it is entered; links are never followed.
  fs::permissions(work, fs::perms::owner_all, fs::perm_options::add, error);
  for (fs::recursive_directory_iterator entry(work, error), end; !error && entry != end;
       entry.increment(error)) {
    if (!entry->is_symlink(error) && entry->is_directory(error)) {
      fs::permissions(entry->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    error.clear();
  }
  fs::remove_all(work, error);
}

namespace {

// Moves the file, copying it when it lives on another file system.
bool moveFile(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (!error) {
    return true;
  }
  if (error != std::errc::cross_device_link) {
    return false;
  }
  if (!fs::copy_file(from, to, error) || error) {
    fs::remove(to, error);
    return false;
  }
  fs::remove(from, error);
  return true;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

// Written beside its final name and renamed into place, so the file is whole or absent.
bool writeAtomically(const fs::path& path, const std::string& text) {
  std::string temporary =
      (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

}  // namespace tarnwick::update

namespace tarnwick::app {

namespace fs = std::filesystem;
namespace tools = update::tools;
namespace reasons = update::reasons;

void TarnwickAppDelegate::installUpdate(const update::TarnwickRelease& release,
                                        const std::string& downloadURL,
                                        const fs::path& destination) {
  showStatus(update::downloadingStatus(release.version));

  platform::HttpRequest request;
  request.method = "GET";
  request.url = downloadURL;
  request.headers = {{"User-Agent", "Tarnwick/" + currentVersion_ + " macOS"}};
  request.timeout = platform::Seconds(update::downloadTimeoutSeconds);
  request.cachePolicy = platform::CachePolicy::reloadIgnoringLocalAndRemoteCache;
  platform_.http.downloadTask(
      std::move(request),
      [weak = weak_from_this(), &queue = platform_.mainQueue, release, destination](
          const platform::HttpResponse& response, const std::optional<fs::path>& file) {
        // On the loader thread, which stays blocked while the download is verified and staged:
        // the client deletes its file once this returns.
        auto self = weak.lock();
        if (!self) {
          return;
        }
        int status = response.status.value_or(0);
        if (response.transportError || status != 200 || !file) {
          queue.async([weak] {
            if (auto delegate = weak.lock()) {
              delegate->failUpdate(std::string(reasons::download));
            }
          });
          return;
        }
        queue.async([weak, version = release.version] {
          if (auto delegate = weak.lock()) {
            delegate->showStatus(update::verifyingStatus(version));
          }
        });
        self->prepareAndInstall(release, *file, destination);
        // Should the application have let go meanwhile, the delegate ends on the main thread,
        // where its window lives, not here.
        queue.async([last = std::move(self)] {});
      });
}

void TarnwickAppDelegate::prepareAndInstall(const update::TarnwickRelease& release,
                                            const fs::path& downloaded,
                                            const fs::path& destination) {
  const fs::path work = platform_.userFolders.temporary() /
                        (std::string(update::workDirectoryPrefix) + update::makeUUID());
  const fs::path image = work / update::imageName;
  const fs::path mountPoint = work / update::mountPointName;
  const fs::path staged = work / update::bundleName;
  bool made = false;
  bool mounted = false;

  auto detach = [this, &mountPoint] {
    run(std::string(tools::hdiutil), {"detach", mountPoint.string(), "-quiet"});
  };
  auto abandon = [&](std::string_view reason) {
    if (mounted) {
      detach();
    }
    if (made) {
      update::removeWorkDirectory(work);
    }
    platform_.mainQueue.async([weak = weak_from_this(), reason = std::string(reason)] {
      if (auto self = weak.lock()) {
        self->failUpdate(reason);
      }
    });
  };

  std::error_code error;
  // The work directory is made here, never taken over from whoever made it first, and is this
  // account's alone: whoever else could write in it could swap the image once its digest is
  // checked, the bundle once it is verified, or the installer script before it runs.
  fs::create_directories(work.parent_path(), error);
  made = platform::makePrivateFolder(work);
  if (!made || !fs::create_directory(mountPoint, error) || !update::moveFile(downloaded, image)) {
    abandon(reasons::prepare);
    return;
  }

  // Checked before the image is opened, so an unverified image is never attached.
  auto digest = update::sha256(image);
  if (!digest || !update::sameDigest(*digest, release.sha256)) {
    abandon(reasons::checksum);
    return;
  }

  if (!run(std::string(tools::hdiutil), {"attach", image.string(), "-nobrowse", "-readonly",
                                         "-mountpoint", mountPoint.string(), "-quiet"})) {
    abandon(reasons::open);
    return;
  }
  mounted = true;

  const fs::path source = mountPoint / update::bundleName;
  auto signedAsAnnounced = [&] {
    // The manifest comes from the same server as the image, so its digest proves integrity, not
    // origin: an older build, validly signed, could be announced as newer. The signed bundle's
    // own version has to be the one announced.
    auto value = platform_.bundle.infoValueAt(source, "CFBundleShortVersionString");
    const auto* version = std::get_if<std::string>(&value);
    return version && *version == release.version;
  };
  if (!fs::exists(source, error) ||
      !run(std::string(tools::codesign),
           {"--verify", "--deep", "--strict", "-R",
            "=" + update::designatedRequirement(launcherBundleIdentifier_, releaseTeamIdentifier_),
            source.string()}) ||
      !run(std::string(tools::spctl), {"--assess", "--type", "execute", source.string()}) ||
      !signedAsAnnounced()) {
    abandon(reasons::signature);
    return;
  }

  if (!run(std::string(tools::ditto), {source.string(), staged.string()})) {
    abandon(reasons::unpack);
    return;
  }
  detach();
  mounted = false;

  run(std::string(tools::xattr), {"-dr", "com.apple.quarantine", staged.string()});

  update::InstallerTools scriptTools;
  for (auto* tool : {&scriptTools.kill, &scriptTools.sleep, &scriptTools.launchctl, &scriptTools.id,
                     &scriptTools.ditto, &scriptTools.rm, &scriptTools.open}) {
    *tool = update::toolOutsideReplacedBundle(platform_.commands.toolLocation(*tool), destination,
                                              staged);
  }
  const fs::path script = work / update::scriptName;
  if (!update::writeAtomically(script, update::installerScript(scriptTools)) ||
      ::chmod(script.c_str(), 0755) != 0) {
    abandon(reasons::write);
    return;
  }

  platform_.mainQueue.async([weak = weak_from_this(), release, script, staged, destination, work] {
    if (auto self = weak.lock()) {
      self->handOffToInstaller(release, script, staged, destination, work);
    }
  });
}

void TarnwickAppDelegate::handOffToInstaller(const update::TarnwickRelease& release,
                                             const fs::path& script, const fs::path& staged,
                                             const fs::path& destination, const fs::path& work) {
  showStatus(update::installingStatus(release.version));
  if (!platform_.commands.launch(std::string(tools::shell),
                                 {script.string(), std::to_string(::getpid()), staged.string(),
                                  destination.string(), work.string()})) {
    update::removeWorkDirectory(work);
    failUpdate(std::string(reasons::start));
    return;
  }
  platform_.mainQueue.asyncAfter(platform::Seconds(update::terminationDelaySeconds),
                                 [weak = weak_from_this()] {
                                   if (auto self = weak.lock()) {
                                     self->platform_.application.terminate();
                                   }
                                 });
}

void TarnwickAppDelegate::failUpdate(const std::string& reason) {
  showUpdateMessage(std::string(update::failureTitle), update::failureMessage(reason));
  attempts_ = 0;
  connect();
}

}  // namespace tarnwick::app
