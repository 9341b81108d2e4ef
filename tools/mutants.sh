#!/usr/bin/env bash
# Seeds faults into the core one at a time and runs the fast tests against each; a fault that no
# test notices "survives" and shows a rule the suite does not hold. Usage:
#   tools/mutants.sh            every fault in the table below
#   tools/mutants.sh 3 17       only those faults (numbers as listed)
# Integration tests bind the Connector's port; beside other test runs, run it in its own network:
#   unshare -n sh -c 'ip link set lo up && exec tools/mutants.sh'
# It builds in build/mutants (Debug), never in a tree another command uses, and puts every file
# back as it was, also when interrupted.
set -uo pipefail
cd "$(dirname "$0")/.."

build=build/mutants
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

# file @@ text as it stands @@ the fault seeded in its place (its first occurrence is replaced)
faults=$(cat <<'TABLE'
src/connector/ConnectorStart.cpp@@attemptLimit = 30;@@attemptLimit = 29;
src/connector/ConnectorStart.cpp@@interfaceLoadTimeout{10.0}@@interfaceLoadTimeout{12.0}
src/connector/ConnectorStart.cpp@@pauseAfterStoppingListener{0.25}@@pauseAfterStoppingListener{0.5}
src/connector/ConnectorStart.cpp@@startGracePeriod{10.0}@@startGracePeriod{5.0}
src/connector/ConnectorStart.cpp@@Reinstall Tarnwick and try again.@@Reinstall Tarnwick, then try again.
src/connector/ConnectorStart.cpp@@Choose Tarnwick \u2192 Reload@@Choose Tarnwick -> Reload
src/connector/ConnectorHealth.cpp@@healthyStatus = 200;@@healthyStatus = 204;
src/connector/ConnectorHealth.cpp@@if (id && *id > 1) {@@if (id && *id > 0) {
src/connector/ConnectorHealth.cpp@@response.peerAccount != ownAccount@@response.peerAccount == ownAccount
src/connector/ConnectorCleanup.cpp@@"-sTCP:LISTEN"@@"-sTCP:ESTABLISHED"
src/app/FrameTrust.cpp@@return frame.isMainFrame && @@return 
src/app/FrameTrust.cpp@@origin.protocol == "http"@@origin.protocol != "ftp"
src/app/Launch.cpp@@automaticUpdateCheckDelay{5.0}@@automaticUpdateCheckDelay{6.0}
src/app/Launch.cpp@@minimumWidth = 760;@@minimumWidth = 700;
src/app/Launch.cpp@@"Connecting to Tarnwick\u2026"@@"Connecting to Tarnwick..."
src/app/WebViewDuties.cpp@@reopenDelay{0.75}@@reopenDelay{1.0}
src/app/WebViewDuties.cpp@@"Tarnwick voice stopped unexpectedly. @@"Tarnwick stopped unexpectedly. 
src/app/PasteScript.cpp@@inputType: "insertFromPaste"@@inputType: "insertText"
src/app/PageDialogs.cpp@@fullAccessPhrase = "full access"@@fullAccessPhrase = "full-access"
src/app/PageDialogs.cpp@@"Enable Full Access"@@"Enable Access"
src/app/Menu.cpp@@"Check for Updates\u2026"@@"Check for Updates..."
src/app/TarnwickAppDelegate.cpp@@versionFallback = "0.0.0"@@versionFallback = "0.0.1"
src/bridge/LoadedInterface.cpp@@"Tarnwick \u00b7 Interface "@@"Tarnwick - Interface "
src/bridge/InterfaceReport.cpp@@interfaceCheckTimeout{60.0}@@interfaceCheckTimeout{30.0}
src/bridge/InterfaceCheck.cpp@@"A newer interface has arrived."@@"A new interface has arrived."
src/bridge/UnlockRequest.cpp@@shortestIdentifier = 8;@@shortestIdentifier = 9;
src/bridge/UnlockRequest.cpp@@longestIdentifier = 100;@@longestIdentifier = 99;
src/links/LocalPairing.cpp@@code.size() == 8 &&@@code.size() >= 8 &&
src/links/LocalPairing.cpp@@(c >= '2' && c <= '9')@@(c >= '0' && c <= '9')
src/links/LocalPairing.cpp@@c == '~' ||@@c == '~' || c == '?' ||
src/links/LocalPairing.cpp@@completion->host().value_or("")) != service::host@@completion->host().value_or("")) == service::host
src/links/Invitation.cpp@@c == '_' ||@@c == '_' || c == '.' ||
src/links/SchemeFamily.cpp@@return c >= '0' && c <= '9';@@return c >= '0' && c <= 'z';
src/links/PlaidCompletion.cpp@@url.password() || url.query() ||@@url.password() ||
src/update/UpdateCheck.cpp@@promptInterval{86400}@@promptInterval{3600}
src/update/UpdateCheck.cpp@@"TarnwickLastUpdatePromptVersion"@@"TarnwickLastPromptVersion"
src/update/UpdateCheck.cpp@@"/media/",@@"/mnt/",
src/update/UpdateCheck.cpp@@"Install and Relaunch"@@"Install and Reopen"
src/update/UpdateInstall.h@@did not match the checksum Tarnwick published@@did not match the published checksum
src/update/UpdateInstall.cpp@@". Nothing on this Mac was changed. @@". Nothing was changed. 
src/update/UpdateInstall.cpp@@return lower(x) == lower(y);@@return lower(x) == y;
src/update/UpdateInstall.cpp@@"Downloading Tarnwick "@@"Fetching Tarnwick "
src/update/ReleaseManifest.cpp@@candidatePieces[index] : 0;@@candidatePieces[index] : -1;
src/update/ReleaseManifest.cpp@@return mine > theirs;@@return mine < theirs;
src/update/ReleaseManifest.cpp@@url->password() || url->query() ||@@url->password() ||
src/update/InstallerScript.cpp@@0123456789/._+,:=@%-"@@0123456789/._+,:=@%-;"
src/support/TarnwickSupportControl.h@@pauseBeforeActivating = 0.8;@@pauseBeforeActivating = 0.5;
src/support/TarnwickSupportControl.h@@textChunkSize = 20;@@textChunkSize = 16;
src/support/TarnwickSupportControl.h@@notGranted = 3;@@notGranted = 5;
src/support/TarnwickSupportControl.h@@newDocumentKeyCode = 45;@@newDocumentKeyCode = 46;
TABLE
)

mapfile -t rows <<<"$faults"
chosen=("$@")
if [ ${#chosen[@]} -eq 0 ]; then
  chosen=($(seq 1 ${#rows[@]}))
fi

restore=""
# Put back with a new modification time: the old one would be older than the object built from
# the fault, and the build would keep that object for every later seed.
put_back() { [ -n "$restore" ] && cp "$build/original" "$restore"; restore=""; }
trap 'put_back; exit 130' INT TERM
trap put_back EXIT

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_BUILD_BENCH=OFF >/dev/null
if ! cmake --build "$build" -j "$(nproc)" >/dev/null; then
  echo "the unchanged tree does not build" >&2
  exit 1
fi
fast_tests() {
  ctest --test-dir "$build" -L "unit|integration" -j "$(nproc)" --stop-on-failure >/dev/null 2>&1
}
# A suite that fails without a fault would call every fault caught.
if ! fast_tests; then
  echo "the unchanged tree fails its fast tests" >&2
  exit 1
fi

survivors=()
for n in "${chosen[@]}"; do
  row=${rows[n - 1]}
  file=${row%%@@*}
  cp -p "$file" "$build/original"
  restore="$file"
  if ! python3 - "$row" <<'PY'; then
import sys
path, before, after = sys.argv[1].split("@@")
text = open(path, encoding="utf-8").read()
if before not in text:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(before, after, 1))
PY
    echo "$n  not applied (text not found): $row"
    put_back
    survivors+=("$n")
    continue
  fi
  # A seed that does not build proves nothing: it counts as not caught, so the table gets mended.
  if ! cmake --build "$build" -j "$(nproc)" >/dev/null 2>&1; then
    verdict="DOES NOT BUILD"
    survivors+=("$n")
  elif fast_tests; then
    verdict="SURVIVED"
    survivors+=("$n")
  else
    # The test that failed first, so a reader sees the rule that held.
    verdict="caught by $(sed -n '1s/^[0-9]*://p' "$build/Testing/Temporary/LastTestsFailed.log")"
  fi
  echo "$n  $verdict: ${row//@@/ | }"
  put_back
done
echo "${#chosen[@]} faults, $(( ${#chosen[@]} - ${#survivors[@]} )) caught, ${#survivors[@]} not: ${survivors[*]:-none}"
# Leave the tree built from the real sources, and show that it passes again.
if ! cmake --build "$build" -j "$(nproc)" >/dev/null 2>&1 || ! fast_tests; then
  echo "the unchanged tree no longer passes its fast tests after the run: the verdicts above are void" >&2
  exit 1
fi
[ ${#survivors[@]} -eq 0 ]
