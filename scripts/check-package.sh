#!/usr/bin/env bash
# Packaging check: builds the library, installs it into a temporary prefix, then builds a
# small host project against the installed package twice, with find_package(strovix) and
# with pkg-config, and runs both. Also runs the installed strovix-read.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/strovix-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
jobs=${STROVIX_JOBS:-$(nproc)}
prefix=$work/prefix

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'check-package: %s\n' "$*" >&2; exit 1; }

step "build and install into $prefix"
cmake -S "$root" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DSTROVIX_BUILD_BENCH=OFF -DSTROVIX_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/build" -j"$jobs" >/dev/null
cmake --install "$work/build" --prefix "$prefix" >/dev/null

libdir=$(cd "$prefix" && ls -d lib*/ | head -n1)
libdir=$prefix/${libdir%/}
for f in "$libdir/libstrovix.so" "$prefix/include/strovix/stream_reader/gst.hpp" \
         "$prefix/bin/strovix-read" "$libdir/cmake/strovix/strovixConfig.cmake" \
         "$libdir/cmake/strovix/strovixTargets.cmake" "$libdir/pkgconfig/strovix.pc"; do
  [ -e "$f" ] || fail "not installed: ${f#$prefix/}"
done
# No file of the build tree may be needed: the package must point into the prefix only.
if grep -rl --include='*.cmake' --include='*.pc' "$work/build" "$libdir" >/dev/null; then
  fail "the installed package refers to the build tree"
fi

step "installed strovix-read"
"$prefix/bin/strovix-read" --help >/dev/null
"$prefix/bin/strovix-read" --quiet --duration 1 --pipeline \
  "videotestsrc is-live=true ! video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! appsink"

step "consumer with find_package(strovix)"
cmake -S "$root/tests/package_consumer" -B "$work/consumer-cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/consumer-cmake" -j"$jobs" >/dev/null
"$work/consumer-cmake/consumer" 2>/dev/null

step "consumer with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
flags=$(pkg-config --cflags --libs strovix)
case " $flags " in *yuv*) fail "libyuv leaks into consumers' link line: $flags" ;; esac
# shellcheck disable=SC2086
c++ -std=c++20 -Wall -Wextra -o "$work/consumer-pkgconfig" \
  "$root/tests/package_consumer/consumer.cpp" $flags -Wl,-rpath,"$libdir"
"$work/consumer-pkgconfig" 2>/dev/null

# A shared libstrovix carries libyuv itself; the consumers must not link it directly.
for exe in "$work/consumer-cmake/consumer" "$work/consumer-pkgconfig"; do
  if readelf -d "$exe" | grep NEEDED | grep -q yuv; then fail "$exe links libyuv directly"; fi
done

step "package check passed"
