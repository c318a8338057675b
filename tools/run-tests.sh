#!/usr/bin/env bash
# Checks the formatting, then builds and runs every test: the release build (its ctest cases
# include the failover of three servers behind HAProxy, tests/haproxy/failover.sh; and its .deb
# package, unpacked and run), the AddressSanitizer + UndefinedBehaviorSanitizer build, and a
# bounded run of each fuzz target (FUZZ_SECONDS each, 30 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# Each stage says how long it took, so that a slower run shows where its time went.
stage_started=$SECONDS
stage() {
  echo "   ($((SECONDS - stage_started)) s)"
  stage_started=$SECONDS
  echo "== $1 =="
}

stage "format check"
bash tools/format.sh --check

for preset in release sanitize; do
  stage "$preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  stage "$preset tests"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS="suppressions=$PWD/tools/lsan-suppressions.txt" \
    ctest --preset "$preset" -j "$jobs"
  if [ "$preset" = release ]; then
    stage "package check"
    bash tools/check-package.sh
  fi
done

# The tray program under a virtual display: its server answers, its pictures are written.
stage "desktop program under Xvfb"
bash tools/screenshot-gui.sh build/release build/release/screenshots
# Only the tray program links Qt: the server without a window and the command-line signer (and
# every library beneath them) stay free of it.
stage "no Qt outside the tray program"
qt_links=$(ldd build/release/assinador-nfsed build/release/assinador-nfse-cli | grep -i qt || true)
if [ -n "$qt_links" ]; then
  echo "Qt linked where it must not be:" >&2
  echo "$qt_links" >&2
  exit 1
fi
for library in platform/libplatform.a server/libsigning.a transport/libwire.a \
  transport/libtransport_server.a transport/libtransport_protocol.a transport/libtransport_tcp.a \
  transport/libclient.a app/libapp.a tools/assinador-nfse-cli/libcli_lib.a; do
  qt_calls=$(nm -C "build/release/$library" | grep -c ' U Q[A-Za-z]*::' || true)
  if [ "$qt_calls" != 0 ]; then
    echo "$library calls Qt ($qt_calls references)" >&2
    exit 1
  fi
done
echo "assinador-nfsed, assinador-nfse-cli and the libraries beneath them link no Qt"

# The transport's threads under ThreadSanitizer.
stage "tsan build (transport)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target transport_tests
stage "tsan transport tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/transport_tests --gtest_brief=1

if ls fuzz/*_fuzz.cpp >/dev/null 2>&1; then
  stage "fuzz build"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  seconds=${FUZZ_SECONDS:-30}
  # One target per core at a time (libFuzzer runs on one thread); each reports when it ends.
  stage "fuzz: each target for ${seconds}s, $jobs at a time"
  fuzz_one() {
    local name=$1 work
    work=$(mktemp -d)
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
    local status=0
    "build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
      -print_final_stats=1 "$work" >"$work.log" 2>&1 || status=$?
    { echo "== fuzz $name (exit $status) =="; tail -n 12 "$work.log"; }
    rm -rf "$work" "$work.log"
    return "$status"
  }
  export -f fuzz_one
  export seconds
  ls fuzz/*_fuzz.cpp | xargs -n 1 basename | sed 's/\.cpp$//' |
    xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}
fi
stage "all test stages passed"
