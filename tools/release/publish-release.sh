#!/bin/sh
# Publishes a release of a built bundle: a re-versioned copy, sealed and signed, packed into the
# squashfs image the updater downloads, and the manifest that announces it.
#
#   publish-release.sh --bundle Tarnwick.app --version 1.0.1 --build 2 --url URL --out DIR \
#                      [--key KEY.pem --cert CERT.pem] [--notes TEXT] [--release-tool PATH]
#
# Writes DIR/Tarnwick.dmg and DIR/latest.json. The key and certificate default to the build's
# development identity (build/default/release-signing).
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../../build/default"
bundle= version= number= url= out= notes=
key="$build/release-signing/signing.key"
cert="$build/release-signing/signing.pem"
release="$build/tools/release/tarnwick-release"
while [ $# -gt 0 ]; do
  case "$1" in
    --bundle) bundle="$2" ;;
    --version) version="$2" ;;
    --build) number="$2" ;;
    --url) url="$2" ;;
    --out) out="$2" ;;
    --key) key="$2" ;;
    --cert) cert="$2" ;;
    --notes) notes="$2" ;;
    --release-tool) release="$2" ;;
    *) echo "publish-release: unknown option $1" >&2; exit 64 ;;
  esac
  shift 2
done
if [ -z "$bundle" ] || [ -z "$version" ] || [ -z "$number" ] || [ -z "$url" ] || [ -z "$out" ]; then
  echo "usage: $0 --bundle APP --version V --build N --url URL --out DIR [--key K --cert C] [--notes T]" >&2
  exit 64
fi
mkdir -p "$out"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
cp -a -T "$bundle" "$stage/Tarnwick.app"
"$release" set-version "$stage/Tarnwick.app" "$version"
"$release" seal --key "$key" --cert "$cert" "$stage/Tarnwick.app"
rm -f "$out/Tarnwick.dmg"
mksquashfs "$stage" "$out/Tarnwick.dmg" -noappend -no-xattrs -comp zstd -quiet >/dev/null
if [ -n "$notes" ]; then
  "$release" manifest --version "$version" --build "$number" --url "$url" \
    --image "$out/Tarnwick.dmg" --notes "$notes" > "$out/latest.json"
else
  "$release" manifest --version "$version" --build "$number" --url "$url" \
    --image "$out/Tarnwick.dmg" > "$out/latest.json"
fi
echo "publish-release: $out/Tarnwick.dmg and $out/latest.json ($version)"
