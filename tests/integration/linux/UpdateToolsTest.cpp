// The bundle's update tools as the updater runs them: real images, bundles, seals and signatures.
#include <sys/stat.h>
#include <sys/xattr.h>

#include "Integration.h"

namespace tarnwick::integration {
namespace {

const fs::path helpers = fs::path(TARNWICK_BUNDLE_DIR) / "Contents/Helpers";
const fs::path signing = TARNWICK_SIGNING_DIR;
const std::string team = "K7QW3ZTN8R", launcher = "com.ostrel.tarnwick.launcher";
std::string requirement(const std::string& identifier = launcher, const std::string& unit = team) {
  return "=anchor apple generic and identifier \"" + identifier + "\" and certificate leaf[subject.OU] = \"" + unit + "\"";
}

int tool(const std::string& name, const std::vector<std::string>& arguments, const Process::Options& options = {}) {
  return runCommand(helpers / name, arguments, options).status;
}
int codesign(const fs::path& bundle, const std::string& required = requirement()) {
  return tool("codesign", {"--verify", "--deep", "--strict", "-R", required, bundle});
}
int spctl(const fs::path& bundle) { return tool("spctl", {"--assess", "--type", "execute", bundle}); }
int attach(const fs::path& image, const fs::path& mount) {
  return tool("hdiutil", {"attach", image, "-nobrowse", "-readonly", "-mountpoint", mount, "-quiet"});
}
int sh(const fs::path& where, const std::string& command) {
  return runCommand("/bin/sh", {"-c", "cd \"$0\" && " + command, where}).status;
}
unsigned modeOf(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 07777777;
}

// A small bundle: an executable of this machine, resources, a folder and a link.
void makeBundle(const fs::path& bundle, const std::string& identifier = launcher) {
  fs::create_directories(bundle / "Contents/Resources/pages");
  writeFile(bundle / "Contents/Info.plist",
            "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" + identifier +
                "</string><key>CFBundleExecutable</key><string>Tarnwick</string><key>CFBundleShortVersionString</key>"
                "<string>1.0.1</string></dict></plist>\n");
  ASSERT_EQ(sh(bundle / "Contents", "mkdir MacOS && cp /bin/true MacOS/Tarnwick && ln -s ../Resources/notes.txt MacOS/notes"), 0);
  writeFile(bundle / "Contents/Resources/pages/index.html", "<p>hello</p>");
  writeFile(bundle / "Contents/Resources/notes.txt", "notes");
}

struct Identity {
  fs::path key = signing / "signing.key", certificate = signing / "signing.pem";
};
int seal(const fs::path& bundle, const Identity& identity = {}) {
  return runCommand(TARNWICK_RELEASE_TOOL, {"seal", "--key", identity.key, "--cert", identity.certificate, bundle}).status;
}
// A certificate for `unit`, for `use`, issued by the root in `issuer` (root.key, root.pem) and
// valid from `from` to `to` days from now.
struct Leaf {
  fs::path issuer;
  std::string unit = team;
  int from = -1, to = 30;
  std::string use = "codeSigning";
  Identity make(const fs::path& folder) const {
    fs::create_directories(folder);
    const std::string script =
        "cd \"$1\" && touch index.txt && echo 07 > serial && printf '[ca]\\ndefault_ca=d\\n[d]\\ndatabase=index.txt\\nserial=serial\\nnew_certs_dir=.\\n"
        "default_md=sha256\\npolicy=p\\n[p]\\n[x]\\nbasicConstraints=critical,CA:FALSE\\nextendedKeyUsage=%s\\n' "
        "\"$6\" > ca.cnf && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "
        "signing.key -out signing.csr -subj \"/O=Test/OU=$3/CN=Test $3\" 2>/dev/null && openssl ca -batch -config "
        "ca.cnf -cert \"$2/root.pem\" -keyfile \"$2/root.key\" -in signing.csr -out signing.pem -notext "
        "-preserveDN -extensions x -startdate $(date -u -d \"$4 days\" +%Y%m%d%H%M%SZ) -enddate $(date -u -d \"$5 "
        "days\" +%Y%m%d%H%M%SZ) 2>/dev/null";
    EXPECT_EQ(runCommand("/bin/sh", {"-c", script, "sh", folder, issuer, unit, std::to_string(from), std::to_string(to), use}).status, 0);
    return {folder / "signing.key", folder / "signing.pem"};
  }
};

class UpdateTools : public testing::Test {
 protected:
  TemporaryFolder folder{"tarnwick-update-tools"};
  fs::path bundle = folder.path() / "My Apps/Tarnwick.app";
};

// Each way a bundle can differ from what the release team sealed, or from what this system runs.
TEST_F(UpdateTools, TheSealCheckAndTheAssessmentAcceptOnlyTheReleaseTeamsUntouchedRunnableBundle) {
  const fs::path foreign = folder.path() / "foreign-root";
  ASSERT_EQ(runCommand("/bin/sh", {TARNWICK_MAKE_IDENTITY, "root", foreign}).status, 0);
  struct Case {
    std::optional<Leaf> leaf;  // signs the bundle; else the release identity
    std::string before, after;  // shell commands in the bundle, before and after sealing
    std::string required = requirement(), identifier = launcher;
    std::optional<bool> sealed, runs;  // what codesign and spctl answer
  } cases[] = {
      {.sealed = true, .runs = true},
      {.after = "cp -a . ../copy && cd .. && rm -r Tarnwick.app && mv copy Tarnwick.app", .sealed = true},
      {.leaf = Leaf{signing}, .sealed = true},  // another certificate of the release team
      {.leaf = Leaf{signing, "Z9Z9Z9Z9Z9"}, .sealed = false},
      {.leaf = Leaf{foreign}, .sealed = false},
      {.leaf = Leaf{signing, team, -30, -1}, .sealed = false, .runs = false},
      {.leaf = Leaf{signing, team, 2, 30}, .sealed = false},
      {.leaf = Leaf{signing, team, -1, 30, "serverAuth"}, .sealed = false},
      {.identifier = "com.example.other", .sealed = false},
      {.required = requirement("com.example.other"), .sealed = false},
      {.required = requirement(launcher, "Z9Z9Z9Z9Z9"), .sealed = false},
      {.required = "=anchor apple generic and identifier \"" + launcher + "\"", .sealed = false},
      {.required = requirement() + " or true", .sealed = false},
      {.required = requirement().substr(1), .sealed = false},
      {.after = "sed -i s/notes/notez/ Contents/Resources/notes.txt", .sealed = false},
      {.after = "echo x > Contents/Resources/extra.js", .sealed = false},
      {.after = "mkdir Contents/Plugins", .sealed = false},
      {.after = "rm Contents/Resources/pages/index.html", .sealed = false},
      {.after = "mv Contents/Resources/notes.txt Contents/Resources/notes.md", .sealed = false},
      {.after = "chmod 4755 Contents/MacOS/Tarnwick", .sealed = false},
      {.after = "chmod 666 Contents/Resources/notes.txt", .sealed = false},
      {.after = "ln -sfn ../Resources/pages/index.html Contents/MacOS/notes", .sealed = false},
      {.after = "mv Contents/Resources/notes.txt . && ln -s ../../notes.txt Contents/Resources/", .sealed = false},
      {.after = "sed -i s/notes.txt/NOTES.txt/ Contents/_CodeSignature/seal", .sealed = false},
      {.after = "echo x > Contents/_CodeSignature/more", .sealed = false},
      {.after = "rm -r Contents/_CodeSignature", .sealed = false},
      {.after = "rm Contents/_CodeSignature/seal.sig", .sealed = false},
      {.before = "printf '#!/bin/sh\\n' > Contents/MacOS/Tarnwick", .runs = false},
      {.before = "printf '\\1' | dd of=Contents/MacOS/Tarnwick bs=1 seek=4 conv=notrunc", .runs = false},
      {.before = "printf '\\2' | dd of=Contents/MacOS/Tarnwick bs=1 seek=5 conv=notrunc", .runs = false},
      {.before = "printf '\\2\\0' | dd of=Contents/MacOS/Tarnwick bs=1 seek=18 conv=notrunc", .runs = false},
      {.before = "sed -i s,/ld-linux,/lX-linux, Contents/MacOS/Tarnwick", .runs = false},
      {.before = "chmod 644 Contents/MacOS/Tarnwick", .runs = false},
      {.before = "cd Contents/MacOS && mv Tarnwick real && ln -s real Tarnwick", .runs = false},
      {.before = "chmod 4644 Contents/Resources/notes.txt", .runs = false},
      {.before = "chmod 2755 Contents/Resources", .runs = false},
      {.before = "chmod 666 Contents/Resources/notes.txt", .runs = false},
      {.before = "ln -s /etc/passwd Contents/Resources/p", .runs = false},
      {.before = "ln -s .. Contents/up && ln -s ../up/../x Contents/MacOS/out", .runs = false},
      {.before = "ln -s ../../../x Contents/Resources/up", .runs = false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before + c.after + c.required.substr(25) + c.identifier + std::to_string(&c - cases));
    fs::remove_all(bundle);
    makeBundle(bundle, c.identifier);
    ASSERT_EQ(sh(bundle, c.before + " 2>/dev/null; true"), 0);
    ASSERT_EQ(seal(bundle, c.leaf ? c.leaf->make(folder.path() / std::to_string(&c - cases)) : Identity{}), 0);
    ASSERT_EQ(sh(bundle, c.after + " 2>/dev/null; true"), 0);
    auto before = treeOf(bundle);
    if (c.sealed) {
      EXPECT_EQ(codesign(bundle, c.required) == 0, *c.sealed);
    }
    if (c.runs) {
      EXPECT_EQ(spctl(bundle) == 0, *c.runs);
    }
    EXPECT_EQ(treeOf(bundle), before) << "the checks change nothing";
  }
  // Exactly their own argument lists; by the name they are run as or given; never through a link.
  auto all = std::vector<std::string>{"--verify", "--deep", "--strict", "-R", requirement(), bundle};
  EXPECT_EQ(tool("tarnwick-tools", {"codesign", all[0], all[1], all[2], all[3], all[4], all[5]}), 0);
  for (auto arguments : std::vector<std::vector<std::string>>{
           {all[0], all[1], all[2], all[4], all[5]}, {all[0], all[2], all[3], all[4], all[5]},
           {all[0], all[1], all[2], all[3], all[4], all[5], "x"}, {all[0], all[1], all[2], all[3], all[4], bundle / "Contents"}}) {
    EXPECT_NE(tool("codesign", arguments), 0);
  }
  EXPECT_NE(tool("tarnwick-tools", {"cat", bundle}), 0);
  EXPECT_NE(tool("spctl", {"--assess", "--type", "install", bundle}), 0);
  fs::create_symlink(bundle, folder.path() / "Link.app");
  EXPECT_NE(codesign(folder.path() / "Link.app"), 0);
}

TEST_F(UpdateTools, AttachKeepsTheStoredModesWhateverTheUmaskAndRefusesBrokenOrDangerousImages) {
  auto stage = folder.path() / "stage", app = stage / "Tarnwick.app";
  makeBundle(app);
  ASSERT_EQ(sh(app / "Contents", "chmod 750 Resources/pages && chmod 640 Resources/notes.txt && chmod 604 "
                                 "Resources/pages/index.html && chmod 555 Resources"), 0);  // detach clears it all the same
  auto good = folder.path() / "good.dmg", mount = folder.path() / "mount";
  ASSERT_EQ(runCommand("/usr/bin/mksquashfs", {stage, good, "-noappend", "-no-xattrs", "-quiet"}).status, 0);
  fs::create_directory(mount);
  mode_t previous = ::umask(077);
  int status = attach(good, mount);
  ::umask(previous);
  ASSERT_EQ(status, 0);
  for (const char* path : {"", "/Contents", "/Contents/MacOS/Tarnwick", "/Contents/Resources", "/Contents/Resources/pages",
                           "/Contents/Resources/notes.txt", "/Contents/Resources/pages/index.html", "/Contents/MacOS/notes"}) {
    EXPECT_EQ(modeOf(mount / ("Tarnwick.app" + std::string(path))), modeOf(app.string() + path)) << path;
  }
  EXPECT_EQ(treeOf(mount), treeOf(stage));
  struct stat in {}, out {};
  ::lstat((app / "Contents/Resources/notes.txt").c_str(), &in);
  ::lstat((mount / "Tarnwick.app/Contents/Resources/notes.txt").c_str(), &out);
  EXPECT_EQ(out.st_mtim.tv_sec, in.st_mtim.tv_sec);  // images keep whole seconds
  EXPECT_EQ(modeOf(mount), 0555u);
  EXPECT_NE(attach(good, mount), 0) << "not over what is there";
  EXPECT_EQ(codesign(mount / "Tarnwick.app"), 1) << "not sealed, but readable";
  EXPECT_EQ(tool("hdiutil", {"detach", mount, "-quiet"}), 0);
  EXPECT_FALSE(fs::exists(mount));
  EXPECT_NE(tool("hdiutil", {"detach", mount, "-quiet"}), 0);
  ::chmod((app / "Contents/Resources").c_str(), 0755);

  const std::string pack = "pack() { d=$1; shift; mksquashfs \"$d\" image.dmg -noappend -no-xattrs -quiet \"$@\"; }; "
                           "size=$(stat -c%s " + good.string() + "); copy() { cp -a " + stage.string() + " s; }; ";
  for (const auto& make : std::vector<std::string>{
           "head -c $((size / 2)) " + good.string() + " > image.dmg",
           "head -c $((size - 4096)) " + good.string() + " > image.dmg",
           "{ printf hsqX; tail -c +5 " + good.string() + "; } > image.dmg",
           "echo '<!doctype html>' > image.dmg", "true",
           "pack " + stage.string() + " -p 'Tarnwick.app/null c 666 0 0 1 3'",
           "pack " + stage.string() + " -p 'Tarnwick.app/pipe i 644 0 0 f'",
           "copy && chmod 4755 s/Tarnwick.app/Contents/MacOS/Tarnwick && pack s",
           "copy && chmod 2755 s/Tarnwick.app/Contents && pack s",
           "copy && ln -s ../../../../etc s/Tarnwick.app/Contents/Resources/up && pack s",
           "copy && ln -s ../../.. s/Tarnwick.app/Contents/Resources/up && ln -s up/../x s/Tarnwick.app/Contents/Resources/out && pack s",
           "copy && ln -s /etc/passwd s/Tarnwick.app/Contents/Resources/passwd && pack s"}) {
    TemporaryFolder where;
    fs::create_directory(where.path() / "mount");
    ASSERT_EQ(sh(where.path(), pack + make), 0) << make;
    EXPECT_NE(attach(where.path() / "image.dmg", where.path() / "mount"), 0) << make;
    EXPECT_TRUE(fs::is_empty(where.path() / "mount")) << make;
  }
}

TEST_F(UpdateTools, CopyOpenQuarantineAndNoexecVolumesBehaveAsTheUpdaterNeeds) {
  makeBundle(bundle);
  ::chmod((bundle / "Contents/Resources/notes.txt").c_str(), 0600);
  ASSERT_EQ(seal(bundle), 0);
  auto copy = folder.path() / "Tarnwick.app";
  ASSERT_EQ(tool("ditto", {bundle, copy}), 0);
  EXPECT_EQ(treeOf(copy), treeOf(bundle));
  EXPECT_EQ(modeOf(copy / "Contents/Resources/notes.txt"), 0600u);
  EXPECT_EQ(fs::last_write_time(copy / "Contents/MacOS/Tarnwick"), fs::last_write_time(bundle / "Contents/MacOS/Tarnwick"));
  EXPECT_EQ(codesign(copy), 0);
  EXPECT_NE(tool("ditto", {bundle, folder.path() / "no/such/Tarnwick.app"}), 0);
  EXPECT_NE(tool("ditto", {folder.path() / "none.app", copy.string() + "2"}), 0);

  auto file = copy / "Contents/Resources/notes.txt";
  auto set = [](const fs::path& path, const char* name) { return ::setxattr(path.c_str(), name, "https://x.example/", 18, 0) == 0; };
  if (set(file, "user.xdg.origin.url") && set(file, "user.xdg.referrer.url") && set(file, "user.kept") &&
      set(copy / "Contents", "user.xdg.origin.url")) {
    EXPECT_EQ(tool("xattr", {"-dr", "com.apple.quarantine", copy}), 0);
    char value[64];
    EXPECT_LT(::getxattr(file.c_str(), "user.xdg.origin.url", value, sizeof value), 0);
    EXPECT_LT(::getxattr(file.c_str(), "user.xdg.referrer.url", value, sizeof value), 0);
    EXPECT_LT(::getxattr((copy / "Contents").c_str(), "user.xdg.origin.url", value, sizeof value), 0);
    EXPECT_GT(::getxattr(file.c_str(), "user.kept", value, sizeof value), 0);
  }

  // The executable started in a session of its own.
  writeScript(copy / "Contents/MacOS/Tarnwick", "cut -d' ' -f1,6 /proc/$$/stat > \"$0.tmp\" && mv \"$0.tmp\" \"$0.started\"");
  EXPECT_EQ(tool("open", {"-n", copy}), 0);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(copy / "Contents/MacOS/Tarnwick.started"); }, 10s));
  auto started = readFile(copy / "Contents/MacOS/Tarnwick.started");
  EXPECT_EQ(started.substr(0, started.find(' ')) + "\n", started.substr(started.find(' ') + 1));
  EXPECT_NE(tool("open", {"-n", folder.path() / "none.app"}), 0);
  EXPECT_NE(tool("open", {copy}), 0);

  if (::geteuid() == 0) {  // a private mount namespace for a volume that runs nothing
    auto volume = folder.path() / "volume";
    fs::create_directory(volume);
    EXPECT_EQ(spctl(bundle), 0);
    EXPECT_EQ(runCommand("/usr/bin/unshare", {"-m", "/bin/sh", "-c",
                                              "mount -t tmpfs -o noexec tmpfs \"$0\" && cp -a \"$1\" \"$0/\" && "
                                              "exec \"$2\" --assess --type execute \"$0/Tarnwick.app\"",
                                              volume, bundle, helpers / "spctl"}).status, 1);
  }
}

TEST_F(UpdateTools, LaunchctlStopsOnlyTheUsersOwnLoginItemConnector) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as a user of its own";
  }
  const uid_t nobody = 65534;  // so that no Connector of whoever runs the tests is touched
  fs::permissions(folder.path(), fs::perms(0755));
  auto connector = folder.path() / "Old.app/Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector";
  fs::create_directories(connector.parent_path());
  fs::copy_file("/bin/sleep", connector);
  fs::copy_file("/bin/sleep", folder.path() / "sleeper");
  Process::Options asNobody{.user = nobody};
  Process running(connector, {"60"}, asNobody), bystander(folder.path() / "sleeper", {"60"}, asNobody);
  // The same Connector in a network namespace of its own belongs to another session.
  Process elsewhere("/usr/bin/unshare", {"-n", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups", connector, "60"});
  auto runs = [&](Process& process) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(process.pid()) + "/exe", error) == connector;
  };
  ASSERT_TRUE(waitUntil([&] { return runs(running) && runs(elsewhere); }, 5s));
  const std::string gui = "gui/" + std::to_string(nobody);
  EXPECT_NE(tool("launchctl", {"bootout", gui + "/com.example.job"}, asNobody), 0);
  EXPECT_NE(tool("launchctl", {"bootout", "gui/0/com.tarnwick.desktop"}, asNobody), 0);
  EXPECT_TRUE(running.running());
  EXPECT_EQ(tool("launchctl", {"bootout", gui + "/com.tarnwick.desktop"}, asNobody), 0);
  EXPECT_TRUE(running.wait(5s));
  EXPECT_TRUE(bystander.running() && elsewhere.running());
  EXPECT_NE(tool("launchctl", {"bootout", gui + "/com.tarnwick.desktop"}, asNobody), 0) << "nothing left";
}

// A re-versioned, sealed copy of the built bundle packed into an image passes every check the
// updater makes, and its Connector names the new version.
TEST_F(UpdateTools, APublishedReleaseOfTheBuiltBundlePassesTheUpdatersChecks) {
  auto out = folder.path() / "release", mount = folder.path() / "mount";
  ASSERT_EQ(runCommand("/bin/sh", {TARNWICK_PUBLISH_RELEASE, "--bundle", TARNWICK_BUNDLE_DIR, "--version", "1.0.1",
                                   "--build", "2", "--url", "https://tarnwick.com/support/mac/download", "--out", out,
                                   "--notes", "Fixes \"quotes\".", "--release-tool", TARNWICK_RELEASE_TOOL,
                                   "--key", Identity{}.key, "--cert", Identity{}.certificate}).status, 0);
  auto manifest = readFile(out / "latest.json");
  auto digest = runCommand("/usr/bin/sha256sum", {out / "Tarnwick.dmg"}).output.substr(0, 64);
  for (const auto& field : std::vector<std::string>{"\"version\": \"1.0.1\"", "\"build\": 2", "\"release_notes\": \"Fixes \\\"quotes\\\".\"",
                            "\"sha256\": \"" + digest + "\""}) {
    EXPECT_NE(manifest.find(field), std::string::npos) << field << " in " << manifest;
  }
  fs::create_directory(mount);
  ASSERT_EQ(attach(out / "Tarnwick.dmg", mount), 0);
  EXPECT_EQ(codesign(mount / "Tarnwick.app"), 0);
  EXPECT_EQ(spctl(mount / "Tarnwick.app"), 0);
  EXPECT_EQ(codesign(TARNWICK_BUNDLE_DIR), 0) << "the build seals its own bundle";
  auto connector = mount / "Tarnwick.app/Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector";
  Process serving(connector, {"run", "--no-browser", "--port", std::to_string(20000 + ::getpid() % 20000)},
                  {.stderrFile = folder.path() / "said"});
  EXPECT_EQ(serving.firstLine(folder.path() / "said").rfind("serving TarnwickDesktop/1.0.1 ", 0), 0u);
}

}  // namespace
}  // namespace tarnwick::integration
