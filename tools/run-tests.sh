#!/usr/bin/env bash
# Checks the formatting, then builds and runs every test: the release build (its ctest cases
# include the failover of three servers behind HAProxy, tests/haproxy/failover.sh; and its .deb
# package, unpacked and run), the AddressSanitizer + UndefinedBehaviorSanitizer build, and a
# bounded run of each fuzz target (FUZZ_SECONDS each, 30 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== format check =="
bash tools/format.sh --check

for preset in release sanitize; do
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests =="
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS="suppressions=$PWD/tools/lsan-suppressions.txt" \
    ctest --preset "$preset" -j "$jobs"
  if [ "$preset" = release ]; then
    echo "== package check =="
    bash tools/check-package.sh
  fi
done

# The tray program under a virtual display: its server answers, its pictures are written.
echo "== desktop program under Xvfb =="
bash tools/screenshot-gui.sh build/release build/release/screenshots
# Only the tray program links Qt: the server without a window and the command-line signer (and
# every library beneath them) stay free of it.
echo "== no Qt outside the tray program =="
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
echo "== tsan build (transport) =="
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target transport_tests
echo "== tsan transport tests =="
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build/tsan/transport_tests --gtest_brief=1

if ls fuzz/*_fuzz.cpp >/dev/null 2>&1; then
  echo "== fuzz build =="
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  seconds=${FUZZ_SECONDS:-30}
  for src in fuzz/*_fuzz.cpp; do
    name=$(basename "$src" .cpp)
    corpus="fuzz/corpus/$name"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus/." "$work/"
    echo "== fuzz $name for ${seconds}s =="
    "build/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
      -print_final_stats=1 "$work" 2>&1 | tail -n 12
    rm -rf "$work"
  done
fi
echo "all test stages passed"
