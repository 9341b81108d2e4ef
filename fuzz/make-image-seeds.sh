#!/bin/sh
# Makes the seeds of the update-image and seal fuzz targets: small real squashfs images of a
# bundle, sealed the way releases are, and the seal target's three parts of the same bundle.
#
#   fuzz/make-image-seeds.sh [RELEASE-TOOL]   (default build/default/tools/release/tarnwick-release)
#
# A signing identity is made for the seeds alone; its root goes to fuzz/seal-root.pem (the root
# the targets verify against) and its keys are thrown away. The leaf is valid for 825 days: run
# this again when the sealed seeds stop verifying.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
release="${1:-$here/../build/default/tools/release/tarnwick-release}"
team=K7QW3ZTN8R
images="$here/corpus/update-image"
seals="$here/corpus/seal"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
umask 022

sh "$here/../tools/release/make-signing-identity.sh" root "$work/id"
sh "$here/../tools/release/make-signing-identity.sh" leaf "$work/id" "$work/id" "$team"
cp "$work/id/root.pem" "$here/seal-root.pem"

info() {  # identifier version executable
  cat <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>$3</string>
	<key>CFBundleIdentifier</key>
	<string>$1</string>
	<key>CFBundleShortVersionString</key>
	<string>$2</string>
	<key>CFBundleVersion</key>
	<string>$2</string>
</dict>
</plist>
EOF
}

# A tiny program of this machine, so the execute check gets past the executable.
cat > "$work/tiny.c" <<'EOF'
void _start(void) { __asm__ volatile("mov $60, %eax\n xor %edi, %edi\n syscall"); }
EOF
cc -nostdlib -static -Os -s -Wl,-n,--build-id=none -o "$work/tiny" "$work/tiny.c"

# The bundle of the image seeds: folders, files of several modes, an inner link.
app="$work/tree/Tarnwick.app"
mkdir -p "$app/Contents/MacOS" "$app/Contents/Helpers" "$app/Contents/Resources/private"
info com.ostrel.tarnwick.launcher 1.0.1 Tarnwick > "$app/Contents/Info.plist"
cp "$work/tiny" "$app/Contents/MacOS/Tarnwick"
printf 'Tarnwick\n' > "$app/Contents/Resources/readme.txt"
printf 'key\n' > "$app/Contents/Resources/private/key"
chmod 0700 "$app/Contents/Resources/private"
chmod 0600 "$app/Contents/Resources/private/key"
ln -s ../MacOS/Tarnwick "$app/Contents/Helpers/open"
"$release" seal --key "$work/id/signing.key" --cert "$work/id/signing.pem" "$app"

mkdir -p "$images" "$seals"
# Seeds of found faults sit beside these and are kept.
squash() {  # tree image options…
  tree="$1" out="$2"
  shift 2
  mksquashfs "$tree" "$images/$out" -noappend -no-xattrs -nopad -quiet -all-time 1700000000 \
    -mkfs-time 1700000000 "$@" >/dev/null
}
# Uncompressed, so a flipped byte changes a field rather than breaking a compressed block; and as
# releases are packed.
squash "$work/tree" sealed-plain -noI -noId -noD -noF -noX
squash "$work/tree" sealed-zstd -comp zstd
squash "$work/tree" sealed-xz -comp xz
squash "$work/tree" sealed-lz4 -comp lz4

# What the extractor must refuse, one thing each.
hostile() {  # name, then a command run inside a fresh bundle copy
  name="$1"
  shift
  rm -rf "$work/hostile"
  mkdir -p "$work/hostile/Tarnwick.app/Contents"
  (cd "$work/hostile/Tarnwick.app/Contents" && eval "$@")
  squash "$work/hostile" "$name" -noI -noId -noD -noF -noX
}
hostile escaping-link 'ln -s ../../../etc/passwd passwd'
hostile climbing-after-name 'mkdir a && ln -s a/../../.. up'
hostile absolute-link 'ln -s /etc/passwd passwd'
hostile setuid 'printf x > tool && chmod 4755 tool'
hostile fifo 'mkfifo pipe'
hostile sparse 'truncate -s 3M zeros'
hostile deep 'mkdir -p a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q/r/s/t/u/v/w/x/y/z'

# The seal target's bundle: its fixed executable, then Info.plist, seal and signature as parts.
seal_seed() {  # name identifier version executable
  rm -rf "$work/seal"
  mkdir -p "$work/seal/Tarnwick.app/Contents/MacOS"
  info "$2" "$3" "$4" > "$work/seal/Tarnwick.app/Contents/Info.plist"
  printf '#!/bin/sh\nexit 0\n' > "$work/seal/Tarnwick.app/Contents/MacOS/Tarnwick"
  chmod 0755 "$work/seal/Tarnwick.app/Contents/MacOS/Tarnwick"
  "$release" seal --key "$work/id/signing.key" --cert "$work/id/signing.pem" \
    "$work/seal/Tarnwick.app"
  s="$work/seal/Tarnwick.app/Contents/_CodeSignature"
  { cat "$work/seal/Tarnwick.app/Contents/Info.plist"; printf '\377\376TARNWICK\376\377'
    cat "$s/seal"; printf '\377\376TARNWICK\376\377'; cat "$s/seal.sig"; } > "$seals/$1"
}
seal_seed sealed com.ostrel.tarnwick.launcher 1.0.1 Tarnwick
seal_seed spaced-version com.ostrel.tarnwick.launcher '1.0 beta%2' 'Tarnwick App'
seal_seed other-identifier com.example.other 1.0.1 Tarnwick
ls -l "$images" "$seals"
