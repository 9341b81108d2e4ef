#!/bin/sh
# Makes release-signing identities with the openssl command line.
#
#   make-signing-identity.sh root DIR                 DIR/root.key, DIR/root.pem (a CA)
#   make-signing-identity.sh leaf DIR ROOTDIR TEAM    DIR/signing.key, DIR/signing.pem, issued by
#                                                     ROOTDIR/root.* with subject OU = TEAM, for
#                                                     code signing
set -eu
kind="$1"
dir="$2"
mkdir -p "$dir"
umask 077
case "$kind" in
  root)
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$dir/root.key" -out "$dir/root.pem" -days 3650 \
      -subj "/O=Tarnwick Development/CN=Tarnwick Development Release Root" \
      -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    ;;
  leaf)
    root="$3"
    team="$4"
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout "$dir/signing.key" -out "$dir/signing.csr" \
      -subj "/O=Tarnwick Development/OU=$team/CN=Tarnwick Development Signing ($team)" 2>/dev/null
    printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
      "extendedKeyUsage=codeSigning" > "$dir/signing.ext"
    openssl x509 -req -in "$dir/signing.csr" -CA "$root/root.pem" -CAkey "$root/root.key" \
      -set_serial "0x$(openssl rand -hex 8)" -days 825 -extfile "$dir/signing.ext" \
      -out "$dir/signing.pem" 2>/dev/null
    rm -f "$dir/signing.csr" "$dir/signing.ext"
    ;;
  *)
    echo "usage: $0 root DIR | leaf DIR ROOTDIR TEAM" >&2
    exit 64
    ;;
esac
chmod 644 "$dir"/*.pem
