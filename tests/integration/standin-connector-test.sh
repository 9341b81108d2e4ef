#!/usr/bin/env bash
# The stand-in Connector as a process, on the Connector's port: what the shell relies on from it.
#   standin-connector-test.sh CONNECTOR PROJECT_VERSION
set -uo pipefail
connector=$1 version=$2 failures=0 pid=
trap '[ -z "$pid" ] || kill $pid 2> /dev/null' EXIT
fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
is() { [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"; }
get() { curl -s --max-time 5 "$@"; }
server() { get -o /dev/null -D - "$@" | tr -d '\r' | sed -n 's/^Server: //p'; }
check() { get -o /dev/null -w '%{http_code} ' -H "X-Tarnwick-CSRF: $1" -H 'Content-Type: application/json' -d '{}' http://127.0.0.1:8766/api/client-check; }
serve() {  # runs the command; true once something answers
  "$@" > /dev/null 2>&1 & pid=$!
  for _ in $(seq 200); do get -o /dev/null http://127.0.0.1:8766/ && return; sleep 0.1; done
  return 1
}
get -o /dev/null http://127.0.0.1:8766/ && { echo "something already listens on 127.0.0.1:8766" >&2; exit 1; }
serve "$connector" run --no-browser --version 4.5.6 --interface-version 9.9.9 --client-source channel --extra-port 8767 || fail "no answer"
for path in / /support /no/such/page; do is "Server of $path" "$(server "http://127.0.0.1:8766$path")" TarnwickDesktop/4.5.6; done
is "Server of a check" "$(server -d '{}' http://127.0.0.1:8766/api/client-check)" TarnwickDesktop/4.5.6
page=$(get http://127.0.0.1:8766/)
[[ "$page" == *'<meta name="tarnwick-client-version" content="9.9.9">'* ]] || fail "no client version in the page"
token=$(sed -n 's/.*<meta name="tarnwick-desktop-csrf" content="\([0-9a-f]*\)">.*/\1/p' <<< "$page")
is "token length" ${#token} 32
is "a wrong token" "$(check "${token}0")" "403 "
answer=$(get -H "X-Tarnwick-CSRF: $token" -d '{}' -H 'Content-Type: application/json' http://127.0.0.1:8766/api/client-check)
is "the check" "$(jq -c '[.client_version, .client_source, (.client_installed_at | type), has("last_result"), has("last_error")]' <<< "$answer")" \
  '["9.9.9","channel","string",true,true]'
# A test may make the check fail, or answer with what it wants.
is "raw hook" "$(get -w '%{http_code}' -H 'Content-Type: text/plain' -d 'Internal error' 'http://127.0.0.1:8766/test/client-check-raw?status=500')" 204
is "raw answer" "$(check "$token")$(get -H "X-Tarnwick-CSRF: $token" -d '{}' http://127.0.0.1:8766/api/client-check)" "500 Internal error"
get -H 'Content-Type: application/json' -d '{"last_result":"installed"}' http://127.0.0.1:8766/test/client-check
is "set answer" "$(get -H "X-Tarnwick-CSRF: $token" -d '{}' http://127.0.0.1:8766/api/client-check)" '{"last_result":"installed"}'
# The same pages on the extra port, with one log for both.
[[ "$(get 'http://127.0.0.1:8767/support?server=a&code=b&completion_url=c&completion_token=d')" == *'<dd id="completion_token">d</dd>'* ]] ||
  fail "no pairing page on the extra port"
get -H 'Content-Type: application/json' -d '{"event":"x"}' http://127.0.0.1:8767/test/log
is "one log" "$(get http://127.0.0.1:8766/test/log | jq -c .)" '[{"event":"x","port":8767}]'
"$connector" --version 2 2> /dev/null
is "a second on the taken port" $? 1
# An open keep-alive connection does not hold up the stop.
exec 3<> /dev/tcp/127.0.0.1/8766 && printf 'GET / HTTP/1.1\r\nHost: x\r\n\r\n' >&3
started=$(date +%s%N) && kill -TERM $pid && wait $pid
is "exit status" $? 0
[ $(($(date +%s%N) - started)) -lt 2000000000 ] || fail "the stop took $(($(date +%s%N) - started)) ns"
exec 3>&-
# Its version from the environment, else the build's; a new start has a new token.
serve env TARNWICK_CONNECTOR_VERSION=0.0.7 "$connector" run || fail "no answer"
is "the environment's version" "$(server http://127.0.0.1:8766/)" TarnwickDesktop/0.0.7
[[ "$(get http://127.0.0.1:8766/)" != *"$token"* ]] || fail "the same token again"
kill $pid && wait $pid
serve env -u TARNWICK_CONNECTOR_VERSION "$connector" || fail "no answer"
is "the build's version" "$(server http://127.0.0.1:8766/)" "TarnwickDesktop/$version"
[ "$failures" = 0 ] && echo "stand-in connector: ok"
