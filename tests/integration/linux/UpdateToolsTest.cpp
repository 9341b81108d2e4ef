// The bundle's update tools as the updater runs them: real images, bundles, seals and signatures.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "Processes.h"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick::testsupport;

const fs::path helpers = fs::path(TARNWICK_BUNDLE_DIR) / "Contents" / "Helpers";
const fs::path signing = TARNWICK_SIGNING_DIR;
const std::string identifier = "com.ostrel.tarnwick.launcher";
const std::string team = "K7QW3ZTN8R";
const std::string requirement = "=anchor apple generic and identifier \"" + identifier +
                                "\" and certificate leaf[subject.OU] = \"" + team + "\"";

int tool(const std::string& name, const std::vector<std::string>& arguments,
         const Process::Options& options = {}) {
  return runCommand((helpers / name).string(), arguments, options).status;
}

int codesign(const fs::path& bundle, const std::string& required = requirement) {
  return tool("codesign", {"--verify", "--deep", "--strict", "-R", required, bundle.string()});
}

int spctl(const fs::path& bundle) {
  return tool("spctl", {"--assess", "--type", "execute", bundle.string()});
}

std::string infoPlist(const std::string& bundleIdentifier, const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>" +
         bundleIdentifier +
         "</string><key>CFBundleExecutable</key><string>Tarnwick</string>"
         "<key>CFBundleShortVersionString</key><string>" +
         version + "</string></dict></plist>\n";
}

// A small bundle: an executable of this machine, resources, a folder and a link.
void makeBundle(const fs::path& bundle, const std::string& bundleIdentifier = identifier) {
  fs::create_directories(bundle / "Contents" / "MacOS");
  fs::create_directories(bundle / "Contents" / "Resources" / "pages");
  writeFile(bundle / "Contents" / "Info.plist", infoPlist(bundleIdentifier, "1.0.1"));
  fs::copy_file("/bin/true", bundle / "Contents" / "MacOS" / "Tarnwick");
  fs::permissions(bundle / "Contents" / "MacOS" / "Tarnwick", fs::perms(0755));
  writeFile(bundle / "Contents" / "Resources" / "pages" / "index.html", "<p>hello</p>");
  writeFile(bundle / "Contents" / "Resources" / "notes.txt", "notes");
  fs::create_symlink("../Resources/notes.txt", bundle / "Contents" / "MacOS" / "notes");
}

// A signing identity: key and certificate files.
struct Identity {
  fs::path key, certificate;
};

int seal(const fs::path& bundle, const Identity& identity) {
  return runCommand(TARNWICK_RELEASE_TOOL, {"seal", "--key", identity.key.string(), "--cert",
                                            identity.certificate.string(), bundle.string()})
      .status;
}

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* value) const { Free(value); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

KeyPtr readKey(const fs::path& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  KeyPtr key(file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr);
  if (file) {
    std::fclose(file);
  }
  return key;
}

X509Ptr readCertificate(const fs::path& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  X509Ptr certificate(file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr);
  if (file) {
    std::fclose(file);
  }
  return certificate;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  ASSERT_NE(extension, nullptr);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A code-signing certificate for `unit`, issued by the identity in `issuerFolder` (root.key,
// root.pem), valid from `fromDays` to `toDays` days from now. Written into `folder`.
Identity makeLeaf(const fs::path& folder, const fs::path& issuerFolder, const std::string& unit,
                  long fromDays, long toDays, const char* extendedUse = "codeSigning") {
  fs::create_directories(folder);
  auto issuerKey = readKey(issuerFolder / "root.key");
  auto issuer = readCertificate(issuerFolder / "root.pem");
  KeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr certificate(X509_new());
  EXPECT_TRUE(issuerKey && issuer && key && certificate);
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), toDays * 86400);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  auto add = [&](const char* field, const std::string& value) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  };
  add("O", "Test");
  add("OU", unit);
  add("CN", "Test signing " + unit);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuer.get()));
  X509_set_pubkey(certificate.get(), key.get());
  addExtension(certificate.get(), issuer.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), issuer.get(), NID_ext_key_usage, extendedUse);
  X509_sign(certificate.get(), issuerKey.get(), EVP_sha256());
  Identity identity{folder / "signing.key", folder / "signing.pem"};
  FILE* out = std::fopen(identity.key.c_str(), "w");
  PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(out);
  out = std::fopen(identity.certificate.c_str(), "w");
  PEM_write_X509(out, certificate.get());
  std::fclose(out);
  return identity;
}

// A root of our own, not the one the tools pin.
fs::path makeForeignRoot(const fs::path& folder) {
  auto result = runCommand("/bin/sh", {TARNWICK_MAKE_IDENTITY, "root", folder.string()});
  EXPECT_EQ(result.status, 0);
  return folder;
}

const Identity& release() {
  static const Identity identity{signing / "signing.key", signing / "signing.pem"};
  return identity;
}

class UpdateTools : public ::testing::Test {
 protected:
  TemporaryFolder folder{"tarnwick-update-tools"};
  fs::path bundle = folder.path() / "My Apps" / "Tarnwick.app";
};

// Each way a download can differ from what the release team signed, and the one way it may not.
TEST_F(UpdateTools, TheSealCheckRefusesEverythingButTheReleaseTeamsUntouchedBundle) {
  struct Case {
    std::string name;
    std::function<Identity(const fs::path& folder)> identity;  // signs the bundle
    std::function<void(const fs::path& bundle)> change;        // after sealing
    std::string required = requirement;
    std::string bundleIdentifier = identifier;
    bool accepted = false;
  };
  auto releaseIdentity = [](const fs::path&) { return release(); };
  auto nothing = [](const fs::path&) {};
  const fs::path exe = "Contents/MacOS/Tarnwick";
  std::vector<Case> cases = {
      {"valid", releaseIdentity, nothing, requirement, identifier, true},
      {"copied with cp -a", releaseIdentity,
       [](const fs::path& b) {
         ASSERT_EQ(runCommand("/bin/cp", {"-a", b.string(), b.string() + ".copy"}).status, 0);
         fs::remove_all(b);
         fs::rename(b.string() + ".copy", b);
       },
       requirement, identifier, true},
      // The identities below differ from this one in one property each.
      {"another certificate of the release team",
       [](const fs::path& f) { return makeLeaf(f / "renewed", signing, team, -1, 30); }, nothing,
       requirement, identifier, true},
      {"other team",
       [](const fs::path& f) { return makeLeaf(f / "other-team", signing, "Z9Z9Z9Z9Z9", -1, 30); },
       nothing},
      {"foreign root",
       [](const fs::path& f) {
         return makeLeaf(f / "foreign-leaf", makeForeignRoot(f / "foreign-root"), team, -1, 30);
       },
       nothing},
      {"expired certificate",
       [](const fs::path& f) { return makeLeaf(f / "expired", signing, team, -30, -1); }, nothing},
      {"not yet valid certificate",
       [](const fs::path& f) { return makeLeaf(f / "future", signing, team, 2, 30); }, nothing},
      {"certificate for servers, not code",
       [](const fs::path& f) {
         return makeLeaf(f / "server", signing, team, -1, 30, "serverAuth");
       },
       nothing},
      {"other identifier in the bundle", releaseIdentity, nothing, requirement,
       "com.example.other"},
      {"other identifier required", releaseIdentity, nothing,
       "=anchor apple generic and identifier \"com.example.other\" and certificate "
       "leaf[subject.OU] = \"" +
           team + "\""},
      {"other team required", releaseIdentity, nothing,
       "=anchor apple generic and identifier \"" + identifier +
           "\" and certificate leaf[subject.OU] = \"Z9Z9Z9Z9Z9\""},
      {"requirement without the team", releaseIdentity, nothing,
       "=anchor apple generic and identifier \"" + identifier + "\""},
      {"requirement with more after it", releaseIdentity, nothing, requirement + " or true"},
      {"requirement without =", releaseIdentity, nothing, requirement.substr(1)},
      {"flipped byte", releaseIdentity,
       [&](const fs::path& b) {
         std::fstream file(b / exe, std::ios::in | std::ios::out | std::ios::binary);
         file.seekg(1000);
         char c = 0;
         file.read(&c, 1);
         file.seekp(1000);
         c = static_cast<char>(c ^ 1);
         file.write(&c, 1);
       }},
      {"added file", releaseIdentity,
       [](const fs::path& b) { writeFile(b / "Contents/Resources/extra.js", "x"); }},
      {"added empty folder", releaseIdentity,
       [](const fs::path& b) { fs::create_directory(b / "Contents/Plugins"); }},
      {"removed file", releaseIdentity,
       [](const fs::path& b) { fs::remove(b / "Contents/Resources/pages/index.html"); }},
      {"renamed file", releaseIdentity,
       [](const fs::path& b) {
         fs::rename(b / "Contents/Resources/notes.txt", b / "Contents/Resources/notes.md");
       }},
      {"setuid bit", releaseIdentity,
       [&](const fs::path& b) { ::chmod((b / exe).c_str(), 04755); }},
      {"changed mode", releaseIdentity,
       [](const fs::path& b) { ::chmod((b / "Contents/Resources/notes.txt").c_str(), 0666); }},
      {"re-pointed symlink", releaseIdentity,
       [](const fs::path& b) {
         fs::remove(b / "Contents/MacOS/notes");
         fs::create_symlink("../Resources/pages/index.html", b / "Contents/MacOS/notes");
       }},
      {"file replaced by a link to the same bytes", releaseIdentity,
       [](const fs::path& b) {
         fs::rename(b / "Contents/Resources/notes.txt", b / "notes.txt");
         fs::create_symlink("../../notes.txt", b / "Contents/Resources/notes.txt");
       }},
      {"edited seal", releaseIdentity,
       [](const fs::path& b) {
         auto path = b / "Contents/_CodeSignature/seal";
         auto text = readFile(path);
         auto at = text.find("notes.txt");
         text.replace(at, 5, "NOTES");
         writeFile(path, text);
       }},
      {"extra file beside the seal", releaseIdentity,
       [](const fs::path& b) { writeFile(b / "Contents/_CodeSignature/more", "x"); }},
      {"no seal", releaseIdentity,
       [](const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); }},
      {"no signature", releaseIdentity,
       [](const fs::path& b) { fs::remove(b / "Contents/_CodeSignature/seal.sig"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder.path() / "My Apps");
    makeBundle(bundle, c.bundleIdentifier);
    auto identity = c.identity(folder.path() / "identities" / c.name);
    ASSERT_EQ(seal(bundle, identity), 0);
    c.change(bundle);
    auto before = readFile(bundle / "Contents/Info.plist");
    int status = codesign(bundle, c.required);
    EXPECT_EQ(status == 0, c.accepted) << "status " << status;
    // The check reads; it changes nothing.
    EXPECT_EQ(readFile(bundle / "Contents/Info.plist"), before);
  }
}

TEST_F(UpdateTools, TheSealCheckTakesExactlyItsArgumentList) {
  makeBundle(bundle);
  ASSERT_EQ(seal(bundle, release()), 0);
  ASSERT_EQ(codesign(bundle), 0);
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--verify", "--deep", "--strict", requirement, bundle.string()},
           {"--verify", "--strict", "-R", requirement, bundle.string()},
           {"--verify", "--deep", "--strict", "-R", requirement, bundle.string(), "x"},
           {"--verify", "--deep", "--strict", "-R", requirement, (bundle / "Contents").string()},
       }) {
    EXPECT_NE(tool("codesign", arguments), 0);
  }
  // The program answers by the name it is run as, or by the name it is given.
  EXPECT_EQ(tool("tarnwick-tools", {"codesign", "--verify", "--deep", "--strict", "-R", requirement,
                                    bundle.string()}),
            0);
  EXPECT_NE(tool("tarnwick-tools", {"codesign"}), 0);
  EXPECT_NE(tool("tarnwick-tools", {"cat", bundle.string()}), 0);
  // A link to the bundle is not the bundle.
  fs::create_symlink(bundle, folder.path() / "Link.app");
  EXPECT_NE(codesign(folder.path() / "Link.app"), 0);
}

// An image made with mksquashfs from `stage`, whose root holds what the image shows.
fs::path makeImage(const fs::path& stage, const fs::path& image,
                   const std::vector<std::string>& extra = {}) {
  std::vector<std::string> arguments = {stage.string(), image.string(), "-noappend", "-no-xattrs",
                                        "-quiet"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  EXPECT_EQ(runCommand("/usr/bin/mksquashfs", arguments).status, 0);
  return image;
}

int attach(const fs::path& image, const fs::path& mount) {
  return tool("hdiutil", {"attach", image.string(), "-nobrowse", "-readonly", "-mountpoint",
                          mount.string(), "-quiet"});
}

bool isEmptyFolder(const fs::path& path) {
  return fs::is_directory(path) && fs::is_empty(path);
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST_F(UpdateTools, AttachKeepsTheStoredModesWhateverTheUmaskAndDetachRemovesEverything) {
  auto stage = folder.path() / "stage";
  makeBundle(stage / "Tarnwick.app");
  auto app = stage / "Tarnwick.app";
  ::chmod((app / "Contents/Resources/pages").c_str(), 0750);
  ::chmod((app / "Contents/Resources/notes.txt").c_str(), 0640);
  ::chmod((app / "Contents/Resources/pages/index.html").c_str(), 0604);
  ::chmod((app / "Contents/Resources").c_str(), 0555);  // read-only: detach must still clear it
  auto image = makeImage(stage, folder.path() / "Tarnwick.dmg");
  auto mount = folder.path() / "mount";
  fs::create_directory(mount);

  mode_t previous = ::umask(077);
  int status = attach(image, mount);
  ::umask(previous);
  ASSERT_EQ(status, 0);
  auto out = mount / "Tarnwick.app";
  for (const char* path : {"", "/Contents", "/Contents/MacOS/Tarnwick", "/Contents/Resources",
                           "/Contents/Resources/pages", "/Contents/Resources/notes.txt",
                           "/Contents/Resources/pages/index.html"}) {
    EXPECT_EQ(modeOf(out.string() + path), modeOf(app.string() + path)) << path;
  }
  EXPECT_EQ(fs::read_symlink(out / "Contents/MacOS/notes"), "../Resources/notes.txt");
  EXPECT_EQ(readFile(out / "Contents/Resources/notes.txt"), "notes");
  // Images keep whole seconds.
  auto seconds = [](const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mtim.tv_sec;
  };
  EXPECT_EQ(seconds(out / "Contents/Resources/notes.txt"),
            seconds(app / "Contents/Resources/notes.txt"));
  EXPECT_EQ(modeOf(mount), 0555u);
  // Attaching over what is there already is refused.
  EXPECT_NE(attach(image, mount), 0);

  EXPECT_EQ(tool("hdiutil", {"detach", mount.string(), "-quiet"}), 0);
  EXPECT_FALSE(fs::exists(mount));
  EXPECT_NE(tool("hdiutil", {"detach", mount.string(), "-quiet"}), 0);
  ::chmod((app / "Contents/Resources").c_str(), 0755);
}

TEST_F(UpdateTools, AttachRefusesBrokenAndDangerousImagesLeavingNothing) {
  auto stage = folder.path() / "stage";
  makeBundle(stage / "Tarnwick.app");
  auto good = makeImage(stage, folder.path() / "good.dmg");
  auto goodBytes = readFile(good);
  ASSERT_GT(goodBytes.size(), 4096u);

  struct Case {
    std::string name;
    std::function<fs::path(const fs::path& where)> image;
  };
  auto withStage = [&](const std::function<void(const fs::path&)>& change,
                       std::vector<std::string> extra = {}) {
    return [&, change, extra](const fs::path& where) {
      auto copy = where / "stage";
      EXPECT_EQ(runCommand("/bin/cp", {"-a", stage.string(), copy.string()}).status, 0);
      change(copy);
      return makeImage(copy, where / "image.dmg", extra);
    };
  };
  std::vector<Case> cases = {
      {"truncated",
       [&](const fs::path& where) {
         writeFile(where / "image.dmg", goodBytes.substr(0, goodBytes.size() / 2));
         return where / "image.dmg";
       }},
      {"cut off by one block",
       [&](const fs::path& where) {
         writeFile(where / "image.dmg", goodBytes.substr(0, goodBytes.size() - 4096));
         return where / "image.dmg";
       }},
      {"damaged header",
       [&](const fs::path& where) {
         writeFile(where / "image.dmg", "hsqX" + goodBytes.substr(4));
         return where / "image.dmg";
       }},
      {"not an image",
       [&](const fs::path& where) {
         writeFile(where / "image.dmg", "<!doctype html><title>Not found</title>");
         return where / "image.dmg";
       }},
      {"missing", [&](const fs::path& where) { return where / "none.dmg"; }},
      {"device file", withStage([](const fs::path&) {}, {"-p", "Tarnwick.app/null c 666 0 0 1 3"})},
      {"pipe", withStage([](const fs::path&) {}, {"-p", "Tarnwick.app/pipe i 644 0 0 f"})},
      {"setuid file", withStage([](const fs::path& s) {
         ::chmod((s / "Tarnwick.app/Contents/MacOS/Tarnwick").c_str(), 04755);
       })},
      {"setgid folder",
       withStage([](const fs::path& s) { ::chmod((s / "Tarnwick.app/Contents").c_str(), 02755); })},
      {"link out of the mount point", withStage([](const fs::path& s) {
         fs::create_symlink("../../../../etc", s / "Tarnwick.app/Contents/Resources/up");
       })},
      {"link out through another link", withStage([](const fs::path& s) {
         // Each reads as inside; together they reach the mount point's parent.
         fs::create_symlink("../../..", s / "Tarnwick.app/Contents/Resources/up");
         fs::create_symlink("up/../x", s / "Tarnwick.app/Contents/Resources/out");
       })},
      {"absolute link", withStage([](const fs::path& s) {
         fs::create_symlink("/etc/passwd", s / "Tarnwick.app/Contents/Resources/passwd");
       })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto where = folder.path() / ("case-" + std::to_string(&c - cases.data()));
    fs::create_directories(where);
    auto image = c.image(where);
    auto mount = where / "mount";
    fs::create_directory(mount);
    EXPECT_NE(attach(image, mount), 0);
    EXPECT_TRUE(isEmptyFolder(mount));
  }
  // The same stage as an image of its own is fine.
  auto mount = folder.path() / "mount";
  fs::create_directory(mount);
  EXPECT_EQ(attach(good, mount), 0);
  EXPECT_EQ(codesign(mount / "Tarnwick.app"), 1) << "not sealed, but readable";
}

// Copies an ELF file, changing `size` bytes at `offset`.
void patchedCopy(const fs::path& from, const fs::path& to, long offset, const std::string& bytes) {
  auto data = readFile(from);
  data.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
  writeFile(to, data);
  fs::permissions(to, fs::perms(0755));
}

TEST_F(UpdateTools, TheAssessmentRefusesWhatThisSystemWouldNotRun) {
  const fs::path exe = "Contents/MacOS/Tarnwick";
  auto interpreterAt = [](const fs::path& file) {
    auto data = readFile(file);
    auto at = data.find("/lib64/ld-linux-x86-64.so.2");
    if (at == std::string::npos) {
      at = data.find("/lib/ld-linux-aarch64.so.1");
    }
    return static_cast<long>(at);
  };
  struct Case {
    std::string name;
    std::function<void(const fs::path& bundle)> change;  // before sealing
    bool accepted = false;
  };
  std::vector<Case> cases = {
      {"valid", [](const fs::path&) {}, true},
      {"a script, not a program",
       [&](const fs::path& b) {
         writeFile(b / exe, "#!/bin/sh\nexit 0\n");
         fs::permissions(b / exe, fs::perms(0755));
       }},
      {"32-bit class", [&](const fs::path& b) { patchedCopy("/bin/true", b / exe, 4, "\x01"); }},
      {"other byte order",
       [&](const fs::path& b) { patchedCopy("/bin/true", b / exe, 5, "\x02"); }},
      {"other machine",
       [&](const fs::path& b) {
         patchedCopy("/bin/true", b / exe, 18, std::string("\x02\x00", 2));
       }},
      {"interpreter missing",
       [&](const fs::path& b) {
         auto at = interpreterAt("/bin/true");
         ASSERT_GE(at, 0);
         patchedCopy("/bin/true", b / exe, at + 1, "X");
       }},
      {"not executable", [&](const fs::path& b) { fs::permissions(b / exe, fs::perms(0644)); }},
      {"executable is a link",
       [&](const fs::path& b) {
         fs::rename(b / exe, b / "Contents/MacOS/real");
         fs::create_symlink("real", b / exe);
       }},
      {"setuid file",
       [](const fs::path& b) { ::chmod((b / "Contents/Resources/notes.txt").c_str(), 04644); }},
      {"setgid folder",
       [](const fs::path& b) { ::chmod((b / "Contents/Resources").c_str(), 02755); }},
      {"world-writable file",
       [](const fs::path& b) { ::chmod((b / "Contents/Resources/notes.txt").c_str(), 0666); }},
      {"absolute link",
       [](const fs::path& b) { fs::create_symlink("/etc/passwd", b / "Contents/Resources/p"); }},
      {"link out through another link",
       [](const fs::path& b) {
         // Each reads as inside; together they reach the bundle's parent.
         fs::create_symlink("..", b / "Contents/up");
         fs::create_symlink("../up/../x", b / "Contents/MacOS/out");
       }},
      {"link out of the bundle",
       [](const fs::path& b) { fs::create_symlink("../../../x", b / "Contents/Resources/up"); }},
      {"expired signature", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(folder.path() / "My Apps");
    makeBundle(bundle);
    Identity identity = release();
    if (c.change) {
      c.change(bundle);
    } else {
      identity = makeLeaf(folder.path() / "expired", signing, team, -30, -1);
    }
    ASSERT_EQ(seal(bundle, identity), 0);
    int status = spctl(bundle);
    EXPECT_EQ(status == 0, c.accepted) << "status " << status;
  }
  EXPECT_NE(tool("spctl", {"--assess", "--type", "install", bundle.string()}), 0);
}

TEST_F(UpdateTools, TheAssessmentRefusesABundleOnANoexecVolume) {
  if (::geteuid() != 0 || runCommand("/usr/bin/unshare", {"-m", "/bin/true"}).status != 0) {
    GTEST_SKIP() << "needs a private mount namespace";
  }
  makeBundle(bundle);
  ASSERT_EQ(seal(bundle, release()), 0);
  ASSERT_EQ(spctl(bundle), 0);
  auto volume = folder.path() / "volume";
  fs::create_directory(volume);
  std::string script =
      "mount -t tmpfs -o noexec tmpfs \"$1\" && cp -a \"$2\" \"$1/\" && "
      "exec \"$3\" --assess --type execute \"$1/Tarnwick.app\"";
  auto result =
      runCommand("/usr/bin/unshare", {"-m", "/bin/sh", "-c", script, "sh", volume.string(),
                                      bundle.string(), (helpers / "spctl").string()});
  EXPECT_EQ(result.status, 1);
}

TEST_F(UpdateTools, CopyKeepsModesLinksAndTimesAndTheSeal) {
  makeBundle(bundle);
  ::chmod((bundle / "Contents/Resources/notes.txt").c_str(), 0600);
  ASSERT_EQ(seal(bundle, release()), 0);
  auto copy = folder.path() / "Tarnwick.app";
  ASSERT_EQ(tool("ditto", {bundle.string(), copy.string()}), 0);
  EXPECT_EQ(modeOf(copy / "Contents/Resources/notes.txt"), 0600u);
  EXPECT_EQ(fs::read_symlink(copy / "Contents/MacOS/notes"), "../Resources/notes.txt");
  EXPECT_EQ(fs::last_write_time(copy / "Contents/MacOS/Tarnwick"),
            fs::last_write_time(bundle / "Contents/MacOS/Tarnwick"));
  EXPECT_EQ(codesign(copy), 0);
  // Into a folder that does not exist yet: the missing parent is a failure, as for ditto's caller.
  EXPECT_NE(tool("ditto", {bundle.string(), (folder.path() / "no/such/Tarnwick.app").string()}), 0);
  EXPECT_NE(tool("ditto", {(folder.path() / "none.app").string(), copy.string() + "2"}), 0);
}

TEST_F(UpdateTools, QuarantineRemovalDropsOnlyTheDownloadOrigin) {
  makeBundle(bundle);
  auto file = bundle / "Contents/Resources/notes.txt";
  auto set = [](const fs::path& path, const char* name) {
    return ::setxattr(path.c_str(), name, "https://x.example/", 18, 0) == 0;
  };
  if (!set(file, "user.xdg.origin.url")) {
    GTEST_SKIP() << "no user extended attributes on this file system";
  }
  ASSERT_TRUE(set(file, "user.xdg.referrer.url"));
  ASSERT_TRUE(set(file, "user.kept"));
  ASSERT_TRUE(set(bundle / "Contents", "user.xdg.origin.url"));
  EXPECT_EQ(tool("xattr", {"-dr", "com.apple.quarantine", bundle.string()}), 0);
  char value[64];
  EXPECT_LT(::getxattr(file.c_str(), "user.xdg.origin.url", value, sizeof value), 0);
  EXPECT_LT(::getxattr(file.c_str(), "user.xdg.referrer.url", value, sizeof value), 0);
  EXPECT_LT(::getxattr((bundle / "Contents").c_str(), "user.xdg.origin.url", value, sizeof value),
            0);
  EXPECT_GT(::getxattr(file.c_str(), "user.kept", value, sizeof value), 0);
}

TEST_F(UpdateTools, OpenStartsTheExecutableInItsOwnSession) {
  makeBundle(bundle);
  auto record = folder.path() / "started";
  writeFile(bundle / "Contents/MacOS/Tarnwick",
            "#!/bin/sh\nps -o pid=,sid= -p $$ > \"" + record.string() + ".tmp\"\nmv \"" +
                record.string() + ".tmp\" \"" + record.string() + "\"\n");
  fs::permissions(bundle / "Contents/MacOS/Tarnwick", fs::perms(0755));
  EXPECT_EQ(tool("open", {"-n", bundle.string()}), 0);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(record); }, 10s));
  long pid = 0;
  long session = 0;
  std::istringstream(readFile(record)) >> pid >> session;
  EXPECT_GT(pid, 0);
  EXPECT_EQ(pid, session);
  EXPECT_NE(tool("open", {"-n", (folder.path() / "none.app").string()}), 0);
  EXPECT_NE(tool("open", {bundle.string()}), 0);
}

TEST_F(UpdateTools, LaunchctlStopsTheUsersLoginItemConnector) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as a user of its own";
  }
  // As nobody, so that no Connector of whoever runs the tests is touched.
  const uid_t nobody = 65534;
  fs::permissions(folder.path(), fs::perms(0755));
  auto executable = folder.path() /
                    "Old.app/Contents/Library/LoginItems/Tarnwick Connector.app/"
                    "Contents/MacOS/Tarnwick Connector";
  fs::create_directories(executable.parent_path());
  fs::copy_file("/bin/sleep", executable);
  fs::permissions(executable, fs::perms(0755));
  auto other = folder.path() / "sleeper";
  fs::copy_file("/bin/sleep", other);
  Process::Options asNobody{.user = nobody};
  Process connector(executable.string(), {"60"}, asNobody);
  Process bystander(other.string(), {"60"}, asNobody);
  // The same Connector in a network namespace of its own belongs to another session.
  Process elsewhere("/usr/bin/unshare", {"-n", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups", executable.string(), "60"});
  ASSERT_TRUE(connector.started());
  const std::string job = "gui/" + std::to_string(nobody) + "/com.tarnwick.desktop";
  auto runsConnector = [&](const Process& process) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(process.pid()) + "/exe", error) == executable;
  };
  ASSERT_TRUE(waitUntil([&] { return runsConnector(connector) && runsConnector(elsewhere); }, 5s));

  EXPECT_NE(tool("launchctl", {"bootout", "gui/" + std::to_string(nobody) + "/com.example.job"},
                 asNobody),
            0);
  EXPECT_NE(tool("launchctl", {"bootout", "gui/0/com.tarnwick.desktop"}, asNobody), 0);
  EXPECT_TRUE(connector.running());

  EXPECT_EQ(tool("launchctl", {"bootout", job}, asNobody), 0);
  EXPECT_TRUE(connector.wait(5s).has_value());
  EXPECT_TRUE(bystander.running());
  EXPECT_TRUE(elsewhere.running());
  EXPECT_NE(tool("launchctl", {"bootout", job}, asNobody), 0) << "nothing left to stop";
}

// The release tooling on the bundle this build made: a re-versioned, sealed copy packed into an
// image passes every check the updater makes, and its Connector names the new version.
TEST_F(UpdateTools, APublishedReleaseOfTheBuiltBundlePassesTheUpdatersChecks) {
  auto out = folder.path() / "release";
  auto published = runCommand(
      "/bin/sh",
      {TARNWICK_PUBLISH_RELEASE, "--bundle", TARNWICK_BUNDLE_DIR, "--version", "1.0.1", "--build",
       "2", "--url", "https://tarnwick.com/support/mac/download", "--out", out.string(), "--notes",
       "Fixes \"quotes\" and more.", "--key", release().key.string(), "--cert",
       release().certificate.string(), "--release-tool", TARNWICK_RELEASE_TOOL});
  ASSERT_EQ(published.status, 0);
  auto manifest = readFile(out / "latest.json");
  EXPECT_NE(manifest.find("\"version\": \"1.0.1\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("\"build\": 2"), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("\"release_notes\": \"Fixes \\\"quotes\\\" and more.\""),
            std::string::npos)
      << manifest;
  auto digest = runCommand("/usr/bin/sha256sum", {(out / "Tarnwick.dmg").string()}).output;
  EXPECT_NE(manifest.find("\"sha256\": \"" + digest.substr(0, 64) + "\""), std::string::npos);

  auto mount = folder.path() / "mount";
  fs::create_directory(mount);
  ASSERT_EQ(attach(out / "Tarnwick.dmg", mount), 0);
  auto app = mount / "Tarnwick.app";
  EXPECT_EQ(codesign(app), 0);
  EXPECT_EQ(spctl(app), 0);
  // The built bundle itself is sealed by the build.
  EXPECT_EQ(codesign(TARNWICK_BUNDLE_DIR), 0);

  auto connector = app /
                   "Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/"
                   "Tarnwick Connector";
  auto port = std::to_string(20000 + ::getpid() % 20000);
  Process::Options options;
  options.stderrFile = folder.path() / "connector.err";
  Process running(connector.string(), {"run", "--no-browser", "--port", port}, options);
  std::string said;
  waitUntil(
      [&] {
        said = readFile(*options.stderrFile);
        return said.find('\n') != std::string::npos || !running.running();
      },
      10s);
  EXPECT_EQ(said.rfind("serving TarnwickDesktop/1.0.1 ", 0), 0u) << said;
}

}  // namespace
