#!/bin/sh
# scripts/setup on Linux for an ordinary user without sudo: with packages
# missing it names the apt-get line to run as root and stops with status 1;
# with none missing it succeeds silently. --dev asks for the test tools too.
# The system's commands are stand-ins on a PATH of their own: uname says
# Linux, id uid 1000, dpkg amd64, and dpkg-query has every package but those
# listed in $MISSING. No sudo and no apt-get are on that PATH.
set -eu
setup="$1"
shell=$(command -v sh)
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$(command -v grep)" "$bin/grep"
stub() { printf '#!%s\n%s\n' "$shell" "$2" > "$bin/$1"; chmod +x "$bin/$1"; }
stub uname 'echo Linux'
stub id 'echo 1000'
stub dpkg 'echo amd64'
stub dpkg-query 'case " $MISSING " in *" $3 "*) exit 1 ;; esac; printf "install ok installed"'

failures=0
# expect STATUS STDERR MISSING ARGS...: runs setup and compares.
expect() {
  want_status=$1 want_err=$2
  status=0
  err=$(MISSING=$3 PATH="$bin" "$shell" "$setup" ${4:-} 2>&1 >/dev/null) || status=$?
  if [ "$status" != "$want_status" ] || [ "$err" != "$want_err" ]; then
    printf 'setup %s with "%s" missing: status %s, stderr:\n%s\nexpected %s:\n%s\n' \
      "${4:-}" "$3" "$status" "$err" "$want_status" "$want_err" >&2
    failures=$((failures + 1))
  fi
}
refusal() {
  printf '%s\n%s\n%s\n%s' "setup: these packages are missing: $1" \
    "setup: not root and no sudo here; as root, run:" \
    "  apt-get update && apt-get install -y --no-install-recommends $1" \
    "setup: then run this script again"
}

expect 0 "" "" ""
expect 0 "" "lintian libgtest-dev" ""  # test tools only with --dev
expect 1 "$(refusal "ninja-build socat")" "socat lintian ninja-build" ""
expect 1 "$(refusal "ninja-build socat libgtest-dev lintian")" \
  "socat lintian libgtest-dev ninja-build" --dev
expect 2 "usage: scripts/setup [--dev | --bench]" "" --devel
[ "$failures" = 0 ]
