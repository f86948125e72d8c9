#!/usr/bin/env bash
# Sanitizer runs: the whole suite under address+undefined, the threading tests under thread.
# Debian's GLib and GStreamer are not built for the sanitizers: see the suppression files for
# what is excused and why.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
root=$(pwd)
what=${1:-all}

if [ "$what" = all ] || [ "$what" = address ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSTROVIX_SANITIZE=address \
    -DSTROVIX_BUILD_BENCH=OFF -DSTROVIX_BUILD_EXAMPLES=OFF -DSTROVIX_BUILD_TOOLS=OFF
  cmake --build build-asan -j"$(nproc)"
  # GLib 2.74 hides slice memory from the sanitizers unless told to use malloc.
  G_SLICE=always-malloc G_DEBUG=gc-friendly \
  ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:halt_on_error=1" \
  LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/scripts/ubsan.supp" \
    ctest --test-dir build-asan --output-on-failure --timeout 600
fi

if [ "$what" = all ] || [ "$what" = thread ]; then
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSTROVIX_SANITIZE=thread \
    -DSTROVIX_BUILD_BENCH=OFF -DSTROVIX_BUILD_EXAMPLES=OFF -DSTROVIX_BUILD_TOOLS=OFF
  cmake --build build-tsan -j"$(nproc)"
  G_SLICE=always-malloc \
  TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0" \
    ctest --test-dir build-tsan --output-on-failure --timeout 600 -L threading
fi
