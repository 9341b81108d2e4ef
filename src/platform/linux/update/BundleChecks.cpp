// The tools that check a bundle before it is installed: its seal and signature (codesign), and
// whether it would run here (spctl).
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/update/FileTree.h"
#include "platform/linux/update/Seal.h"
#include "platform/linux/update/Signature.h"
#include "platform/linux/update/Tools.h"

namespace tarnwick::update_tools {

namespace {

bool readExactly(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// The bundle's main executable, opened without following links.
Fd openMainExecutable(int bundleFd) {
  auto name = mainExecutable(bundleFd);
  Fd contents = openFolderAt(bundleFd, "Contents");
  if (!name || !contents) {
    return Fd();
  }
  Fd macOS = openFolderAt(contents.get(), "MacOS");
  if (!macOS) {
    return Fd();
  }
  return Fd(::openat(macOS.get(), name->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
}

std::optional<std::string> signatureOf(int bundleFd) {
  Fd contents = openFolderAt(bundleFd, "Contents");
  if (!contents) {
    return std::nullopt;
  }
  Fd seal = openFolderAt(contents.get(), sealFolder);
  if (!seal) {
    return std::nullopt;
  }
  return readFileAt(seal.get(), signatureName, maxSignatureSize);
}

}  // namespace

bool runsHere(int fd) {
  Elf64_Ehdr own{};
  Fd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
  unsigned char ident[EI_NIDENT] = {};
  if (!self || !readExactly(self.get(), &own, sizeof own, 0) ||
      !readExactly(fd, ident, sizeof ident, 0) || std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
      ident[EI_CLASS] != own.e_ident[EI_CLASS] || ident[EI_DATA] != own.e_ident[EI_DATA] ||
      ident[EI_CLASS] != ELFCLASS64) {
    return false;
  }
  Elf64_Ehdr header{};
  if (!readExactly(fd, &header, sizeof header, 0) || header.e_machine != own.e_machine ||
      (header.e_type != ET_EXEC && header.e_type != ET_DYN) ||
      header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 || header.e_phnum > 512) {
    return false;
  }
  for (unsigned index = 0; index < header.e_phnum; ++index) {
    Elf64_Phdr program{};
    auto at = static_cast<off_t>(header.e_phoff + index * sizeof(Elf64_Phdr));
    if (!readExactly(fd, &program, sizeof program, at)) {
      return false;
    }
    if (program.p_type != PT_INTERP) {
      continue;
    }
    if (program.p_filesz < 2 || program.p_filesz > 4096) {
      return false;
    }
    std::string interpreter(program.p_filesz, '\0');
    if (!readExactly(fd, interpreter.data(), interpreter.size(),
                     static_cast<off_t>(program.p_offset)) ||
        interpreter.back() != '\0') {
      return false;
    }
    interpreter.pop_back();
    struct stat info {};
    if (interpreter.empty() || interpreter.front() != '/' ||
        interpreter.find('\0') != std::string::npos || ::stat(interpreter.c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode)) {
      return false;
    }
  }
  return true;
}

int codesign(const Arguments& a, const std::string& rootPem) {
  if (a.size() != 6 || a[0] != "--verify" || a[1] != "--deep" || a[2] != "--strict" ||
      a[3] != "-R" || a[4].empty() || a[4].front() != '=') {
    return usage;
  }
  auto requirement = parseRequirement(a[4].substr(1));
  if (!requirement) {
    return fail("codesign", "the requirement is not one this program knows");
  }
  Fd bundle = openFolder(a[5]);
  Fd contents = bundle ? openFolderAt(bundle.get(), "Contents") : Fd();
  Fd sealDir = contents ? openFolderAt(contents.get(), sealFolder) : Fd();
  if (!sealDir) {
    return fail("codesign", "no seal");
  }
  // The seal's folder holds the seal and its signature, nothing else.
  bool onlyTheTwo = walkTree(sealDir.get(), [](const TreeEntry& entry) {
    if (entry.depth == 0) {
      return Visit::descend;
    }
    return S_ISREG(entry.info.st_mode) && (entry.name == sealName || entry.name == signatureName)
               ? Visit::skip
               : Visit::stop;
  });
  auto seal = readFileAt(sealDir.get(), sealName, maxSealSize);
  auto signature = readFileAt(sealDir.get(), signatureName, maxSignatureSize);
  if (!onlyTheTwo || !seal || !signature) {
    return fail("codesign", "the seal is incomplete");
  }
  auto signer = verifyDetached(*seal, *signature, rootPem);
  if (!signer) {
    return fail("codesign", "the seal's signature does not verify");
  }
  auto identifier = infoString(bundle.get(), "CFBundleIdentifier");
  if (!identifier || *identifier != requirement->identifier) {
    return fail("codesign", "the bundle's identifier is not the required one");
  }
  if (signer->organizationalUnit != requirement->organizationalUnit) {
    return fail("codesign", "the signer is not the required team");
  }
  auto now = computeSeal(bundle.get());
  if (!now || *now != *seal) {
    return fail("codesign", "the bundle does not match its seal");
  }
  return 0;
}

int spctl(const Arguments& a) {
  if (a.size() != 4 || a[0] != "--assess" || a[1] != "--type" || a[2] != "execute") {
    return usage;
  }
  Fd bundle = openFolder(a[3]);
  if (!bundle) {
    return fail("spctl", "no bundle");
  }
  struct statvfs volume {};
  if (::fstatvfs(bundle.get(), &volume) != 0 || (volume.f_flag & ST_NOEXEC) != 0) {
    return fail("spctl", "the bundle is on a volume that does not run programs");
  }
  Fd executable = openMainExecutable(bundle.get());
  struct stat info {};
  if (!executable || ::fstat(executable.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (info.st_mode & S_IXUSR) == 0 || !runsHere(executable.get())) {
    return fail("spctl", "the main executable does not run on this machine");
  }
  std::string problem;
  bool clean = walkTree(bundle.get(), [&](const TreeEntry& entry) {
    mode_t mode = entry.info.st_mode;
    if ((mode & (S_ISUID | S_ISGID)) != 0) {
      problem = entry.path + " is setuid or setgid";
    } else if (S_ISLNK(mode)) {
      auto target = readLinkAt(entry.parentFd, entry.name);
      if (!target || !linkStaysInside(entry.path, *target)) {
        problem = entry.path + " points outside the bundle";
      }
    } else if (!S_ISDIR(mode) && !S_ISREG(mode)) {
      problem = entry.path + " is not a file, folder or link";
    } else if ((mode & S_IWOTH) != 0) {
      problem = entry.path + " is writable by everyone";
    }
    return problem.empty() ? Visit::descend : Visit::stop;
  });
  if (!clean) {
    return fail("spctl", problem.empty() ? "the bundle could not be read" : problem);
  }
  auto signature = signatureOf(bundle.get());
  if (!signature || !signerCertificateValidNow(*signature)) {
    return fail("spctl", "the signing certificate is not valid now");
  }
  return 0;
}

}  // namespace tarnwick::update_tools
