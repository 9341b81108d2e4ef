#!/usr/bin/env bash
# The bundle's update tools as the updater runs them: real images, bundles, seals and signatures.
#   update-tools-test.sh BUNDLE SIGNING_DIR RELEASE_TOOL
set -uo pipefail
built=$1 signing=$2 release=$3 repo=$(cd "$(dirname "$0")/../../.." && pwd)
helpers="$built/Contents/Helpers" team=K7QW3ZTN8R id=com.ostrel.tarnwick.launcher
work=$(mktemp -d /tmp/tarnwick-update-tools-XXXXXX)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
# expect ok|no WHAT COMMAND...: the command succeeds (exits 0), or does not.
expect() { local got=no; "${@:3}" > /dev/null 2>&1 && got=ok; [ "$got" = "$1" ] || fail "$2: expected $1, got $got"; }
requirement() { echo "=anchor apple generic and identifier \"${1:-$id}\" and certificate leaf[subject.OU] = \"${2:-$team}\""; }
codesign() { "$helpers/codesign" --verify --deep --strict -R "${2:-$(requirement)}" "$1"; }
spctl() { "$helpers/spctl" --assess --type execute "$1"; }
attach() { "$helpers/hdiutil" attach "$1" -nobrowse -readonly -mountpoint "$2" -quiet; }
# Every entry's path, mode, type, link, whole seconds, and every file's digest.
listing() ( cd "$1" && { find . -printf '%p %m %y %l %T@\n' | sed 's/\.[0-9]*$//' && find . -type f -exec md5sum {} +; } | sort )
# bundle DIR [IDENTIFIER]: an executable of this machine, resources, a folder and a link.
bundle() {
  mkdir -p "$1/Contents/MacOS" "$1/Contents/Resources/pages"
  printf '<?xml version="1.0"?>\n<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>%s</string>%s\n' \
    "${2:-$id}" '<key>CFBundleExecutable</key><string>Tarnwick</string><key>CFBundleShortVersionString</key><string>1.0.1</string></dict></plist>' > "$1/Contents/Info.plist"
  cp /bin/true "$1/Contents/MacOS/Tarnwick" && ln -s ../Resources/notes.txt "$1/Contents/MacOS/notes"
  echo '<p>hello</p>' > "$1/Contents/Resources/pages/index.html" && echo notes > "$1/Contents/Resources/notes.txt"
}
# leaf DIR ROOT_DIR UNIT FROM TO USE: DIR/signing.{key,pem} from ROOT_DIR's root, FROM..TO days on.
leaf() {
  mkdir -p "$1" && cd "$1" && touch index.txt && echo 07 > serial && printf '%s\n' '[ca]' default_ca=d '[d]' \
    database=index.txt serial=serial new_certs_dir=. default_md=sha256 policy=p '[p]' '[x]' \
    basicConstraints=critical,CA:FALSE "extendedKeyUsage=$6" > ca.cnf &&
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout signing.key \
      -out signing.csr -subj "/O=Test/OU=$3/CN=Test $3" 2> /dev/null &&
    openssl ca -batch -config ca.cnf -cert "$2/root.pem" -keyfile "$2/root.key" -in signing.csr -out signing.pem \
      -notext -preserveDN -extensions x -startdate "$(date -u -d "$4 days" +%Y%m%d%H%M%SZ)" \
      -enddate "$(date -u -d "$5 days" +%Y%m%d%H%M%SZ)" > /dev/null 2>&1
}
sh "$repo/tools/release/make-signing-identity.sh" root "$work/foreign"

# Each way a bundle can differ from what the release team sealed, or from what this system runs:
# the check (codesign or spctl) ^ its answer ^ a signing identity of our own (root unit from to
# use) ^ shell in the bundle before sealing ^ after ^ the requirement ^ the bundle's identifier
n=0
while IFS='^' read -r check want identity before after required identifier; do
  n=$((n + 1)) b="$work/$n/My Apps/Tarnwick.app" key=$signing row="$n: $check $identity$before$after$required$identifier"
  bundle "$b" "${identifier:-$id}"
  (cd "$b" && eval "$before")
  # shellcheck disable=SC2086
  [ -z "$identity" ] || { set -- $identity && key="$work/$n/id" && (leaf "$key" "$(eval echo "$1")" "$2" "$3" "$4" "$5"); } || fail "$row: no identity"
  "$release" seal --key "$key/signing.key" --cert "$key/signing.pem" "$b" > /dev/null || fail "$row: not sealed"
  (cd "$b" && eval "$after")
  eval "required=${required:-\$(requirement)}" && sealed=$(listing "$b")
  if [ "$check" = codesign ]; then expect "$want" "$row" codesign "$b" "$required"; else expect "$want" "$row" spctl "$b"; fi
  [ "$(listing "$b")" = "$sealed" ] || fail "$row: the check changed the bundle"
done <<'TABLE'
codesign^ok^^^^
spctl^ok^^^^
codesign^ok^^^cp -a . ../copy && cd .. && rm -r Tarnwick.app && mv copy Tarnwick.app^^
codesign^ok^$signing K7QW3ZTN8R -1 30 codeSigning^^^^
codesign^no^$signing Z9Z9Z9Z9Z9 -1 30 codeSigning^^^^
codesign^no^$work/foreign K7QW3ZTN8R -1 30 codeSigning^^^^
codesign^no^$signing K7QW3ZTN8R -30 -1 codeSigning^^^^
spctl^no^$signing K7QW3ZTN8R -30 -1 codeSigning^^^^
codesign^no^$signing K7QW3ZTN8R 2 30 codeSigning^^^^
codesign^no^$signing K7QW3ZTN8R -1 30 serverAuth^^^^
codesign^no^^^^^com.example.other
codesign^no^^^^$(requirement com.example.other)^
codesign^no^^^^$(requirement $id Z9Z9Z9Z9Z9)^
codesign^no^^^^"=anchor apple generic and identifier \"$id\""^
codesign^no^^^^"$(requirement) or true"^
codesign^no^^^^"$(requirement | cut -c2-)"^
codesign^no^^^sed -i s/notes/notez/ Contents/Resources/notes.txt^^
codesign^no^^^echo x > Contents/Resources/extra.js^^
codesign^no^^^mkdir Contents/Plugins^^
codesign^no^^^rm Contents/Resources/pages/index.html^^
codesign^no^^^mv Contents/Resources/notes.txt Contents/Resources/notes.md^^
codesign^no^^^chmod 4755 Contents/MacOS/Tarnwick^^
codesign^no^^^chmod 666 Contents/Resources/notes.txt^^
codesign^no^^^ln -sfn ../Resources/pages/index.html Contents/MacOS/notes^^
codesign^no^^^mv Contents/Resources/notes.txt . && ln -s ../../notes.txt Contents/Resources/^^
codesign^no^^^sed -i s/notes.txt/NOTES.txt/ Contents/_CodeSignature/seal^^
codesign^no^^^echo x > Contents/_CodeSignature/more^^
codesign^no^^^rm -r Contents/_CodeSignature^^
codesign^no^^^rm Contents/_CodeSignature/seal.sig^^
spctl^no^^printf '#!/bin/sh\n' > Contents/MacOS/Tarnwick^^^
spctl^no^^printf '\1' | dd of=Contents/MacOS/Tarnwick bs=1 seek=4 conv=notrunc 2> /dev/null^^^
spctl^no^^printf '\2' | dd of=Contents/MacOS/Tarnwick bs=1 seek=5 conv=notrunc 2> /dev/null^^^
spctl^no^^printf '\2\0' | dd of=Contents/MacOS/Tarnwick bs=1 seek=18 conv=notrunc 2> /dev/null^^^
spctl^no^^sed -i s,/ld-linux,/lX-linux, Contents/MacOS/Tarnwick^^^
spctl^no^^chmod 644 Contents/MacOS/Tarnwick^^^
spctl^no^^cd Contents/MacOS && mv Tarnwick real && ln -s real Tarnwick^^^
spctl^no^^chmod 4644 Contents/Resources/notes.txt^^^
spctl^no^^chmod 2755 Contents/Resources^^^
spctl^no^^chmod 666 Contents/Resources/notes.txt^^^
spctl^no^^ln -s /etc/passwd Contents/Resources/p^^^
spctl^no^^ln -s .. Contents/up && ln -s ../up/../x Contents/MacOS/out^^^
spctl^no^^ln -s ../../../x Contents/Resources/up^^^
TABLE
# Then, in order, each tool as the updater runs it or must refuse it: the answer ^ what it shows ^
# the command. An image keeps its modes whatever the umask; open starts a session of its own.
b="$work/1/My Apps/Tarnwick.app" stage="$work/stage" mount="$work/mount" copy="$work/Tarnwick.app"
ln -s "$b" "$work/Link.app" && bundle "$stage/Tarnwick.app" && cd "$stage/Tarnwick.app/Contents" &&
  chmod 750 Resources/pages && chmod 640 Resources/notes.txt && chmod 604 Resources/pages/index.html &&
  chmod 555 Resources && cd "$work" && mksquashfs "$stage" good.dmg -noappend -no-xattrs -quiet -no-progress > /dev/null && mkdir mount
while IFS='^' read -r want what command; do expect "$want" "$what" eval "$command"; done <<'TABLE'
ok^by name^"$helpers/tarnwick-tools" codesign --verify --deep --strict -R "$(requirement)" "$b"
no^no -R^"$helpers/codesign" --verify --deep --strict "$(requirement)" "$b"
no^one more^"$helpers/codesign" --verify --deep --strict -R "$(requirement)" "$b" x
no^Contents^codesign "$b/Contents"
no^a link^codesign "$work/Link.app"
no^another tool^"$helpers/tarnwick-tools" cat "$b"
no^for install^"$helpers/spctl" --assess --type install "$b"
ok^attach^(umask 077 && attach good.dmg "$mount")
ok^the image's files^[ "$(listing "$mount/Tarnwick.app")" = "$(listing "$stage/Tarnwick.app")" ]
ok^a read-only mount point^[ "$(stat -c %a "$mount")" = 555 ]
no^attach again^attach good.dmg "$mount"
ok^not sealed, but readable^[ "$(codesign "$mount/Tarnwick.app" > /dev/null 2>&1; echo $?)" = 1 ]
ok^detach^"$helpers/hdiutil" detach "$mount" -quiet
no^mount gone^test -e "$mount"
no^detach again^"$helpers/hdiutil" detach "$mount" -quiet
ok^ditto^"$helpers/ditto" "$b" "$copy"
ok^ditto keeps everything^[ "$(listing "$copy")" = "$(listing "$b")" ]
ok^ditto keeps the seal^codesign "$copy"
no^ditto into a missing folder^"$helpers/ditto" "$b" "$work/no/such/Tarnwick.app"
no^ditto of nothing^"$helpers/ditto" "$work/none.app" "$work/x.app"
ok^a starter^printf '#!/bin/sh\ncut -d" " -f1,6 /proc/$$/stat > "$0.tmp" && mv "$0.tmp" "$0.started"\n' > "$copy/Contents/MacOS/Tarnwick"
ok^open^"$helpers/open" -n "$copy"
ok^a session of its own^s="$copy/Contents/MacOS/Tarnwick.started" && for _ in $(seq 100); do [ -e "$s" ] && break; sleep 0.1; done && read -r pid session < "$s" && [ "$pid" = "$session" ]
no^open nothing^"$helpers/open" -n "$work/none.app"
no^open without -n^"$helpers/open" "$copy"
TABLE
size=$(stat -c %s good.dmg)
pack() { d=$1 && shift && mksquashfs "$d" image.dmg -noappend -no-xattrs -quiet -no-progress "$@" > /dev/null; }
copy() { cp -a "$stage" s && chmod u+w s/Tarnwick.app/Contents/Resources; }
while read -r make; do
  rm -rf case && mkdir -p case/mount && cd case && eval "$make"
  expect no "attach: $make" attach image.dmg mount
  expect ok "nothing left: $make" [ -z "$(ls -A mount)" ]
  cd "$work"
done <<'TABLE'
head -c $((size / 2)) ../good.dmg > image.dmg
head -c $((size - 4096)) ../good.dmg > image.dmg
{ printf hsqX; tail -c +5 ../good.dmg; } > image.dmg
echo '<!doctype html>' > image.dmg
true
pack "$stage" -p 'Tarnwick.app/null c 666 0 0 1 3'
pack "$stage" -p 'Tarnwick.app/pipe i 644 0 0 f'
copy && chmod 4755 s/Tarnwick.app/Contents/MacOS/Tarnwick && pack s
copy && chmod 2755 s/Tarnwick.app/Contents && pack s
copy && ln -s ../../../../etc s/Tarnwick.app/Contents/Resources/up && pack s
copy && ln -s ../../.. s/Tarnwick.app/Contents/Resources/up && ln -s up/../x s/Tarnwick.app/Contents/Resources/out && pack s
copy && ln -s /etc/passwd s/Tarnwick.app/Contents/Resources/passwd && pack s
TABLE
# xattr drops only the download's origin.
notes="$copy/Contents/Resources/notes.txt"
xattrs() { python3 -c 'import os, sys
for name in sys.argv[2:]: os.setxattr(sys.argv[1], name, b"x")
print(*sorted(os.listxattr(sys.argv[1])))' "$@"; }
if xattrs "$notes" user.xdg.origin.url user.xdg.referrer.url user.kept > /dev/null 2>&1; then
  xattrs "$copy/Contents" user.xdg.origin.url > /dev/null
  expect ok xattr "$helpers/xattr" -dr com.apple.quarantine "$copy"
  expect ok "only the origin goes" [ "$(xattrs "$notes")/$(xattrs "$copy/Contents")" = user.kept/ ]
fi
if [ "$(id -u)" = 0 ]; then
  mkdir "$work/volume" && expect no noexec unshare -m sh -c 'mount -t tmpfs -o noexec tmpfs "$0" && cp -a "$1" "$0/" && exec "$2" --assess --type execute "$0/Tarnwick.app"' "$work/volume" "$b" "$helpers/spctl"

  # launchctl stops only the user's own login-item Connector (as nobody, to touch no real one).
  connector="$work/Old.app/Contents/Library/LoginItems/Tarnwick Connector.app/Contents/MacOS/Tarnwick Connector"
  chmod 755 "$work" && mkdir -p "$(dirname "$connector")" && cp /bin/sleep "$connector" && cp /bin/sleep "$work/sleeper"
  nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
  $nobody "$connector" 60 & running=$!
  $nobody "$work/sleeper" 60 & bystander=$!
  unshare -n $nobody "$connector" 60 & elsewhere=$!
  sleep 0.5
  expect no "another job" $nobody "$helpers/launchctl" bootout gui/65534/com.example.job
  expect no "another user" $nobody "$helpers/launchctl" bootout gui/0/com.tarnwick.desktop
  expect ok "still running" kill -0 $running
  expect ok bootout $nobody "$helpers/launchctl" bootout gui/65534/com.tarnwick.desktop
  sleep 0.5
  expect no "stopped" kill -0 $running
  expect ok "bystander" kill -0 $bystander
  expect ok "elsewhere" kill -0 $elsewhere
  expect no "nothing left" $nobody "$helpers/launchctl" bootout gui/65534/com.tarnwick.desktop
  { kill $running $bystander $elsewhere; wait; } 2> /dev/null
fi

expect ok "the build seals its own bundle" codesign "$built"
[ "$failures" = 0 ] && echo "update tools: ok"
