#!/usr/bin/env bash
# Sanitizer runs: the whole suite under address+undefined, the threading tests under thread.
# Debian's GLib and GStreamer are not built for the sanitizers: see the suppression files for
# what is excused and why.
# Usage: scripts/sanitize.sh [all|address|thread]. STROVIX_ASAN_BUILD_DIR and
# STROVIX_TSAN_BUILD_DIR choose the build directories (default build-asan, build-tsan);
# STROVIX_SKIP_DEPS=1 skips the package installation on a machine that has it.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${STROVIX_SKIP_DEPS:-0}" != 1 ]; then bash scripts/install-deps.sh; fi
root=$(pwd)
what=${1:-all}
asan_dir=${STROVIX_ASAN_BUILD_DIR:-build-asan}
tsan_dir=${STROVIX_TSAN_BUILD_DIR:-build-tsan}

if [ "$what" = all ] || [ "$what" = address ]; then
  cmake -S . -B "$asan_dir" -DCMAKE_BUILD_TYPE=Debug -DSTROVIX_SANITIZE=address \
    -DSTROVIX_BUILD_BENCH=OFF -DSTROVIX_BUILD_EXAMPLES=OFF -DSTROVIX_BUILD_TOOLS=OFF
  cmake --build "$asan_dir" -j"$(nproc)"
  # GLib 2.74 hides slice memory from the sanitizers unless told to use malloc.
  G_SLICE=always-malloc G_DEBUG=gc-friendly \
  ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:halt_on_error=1" \
  LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/scripts/ubsan.supp" \
    ctest --test-dir "$asan_dir" --output-on-failure --timeout 600
  echo "sanitize.sh: address+undefined done after ${SECONDS} s"
fi

if [ "$what" = all ] || [ "$what" = thread ]; then
  cmake -S . -B "$tsan_dir" -DCMAKE_BUILD_TYPE=Debug -DSTROVIX_SANITIZE=thread \
    -DSTROVIX_BUILD_BENCH=OFF -DSTROVIX_BUILD_EXAMPLES=OFF -DSTROVIX_BUILD_TOOLS=OFF
  cmake --build "$tsan_dir" -j"$(nproc)"
  # The longest access history: a race whose earlier access ran inside GStreamer (a plugin
  # filling a buffer that a reader thread reads later) must show that stack, for the
  # suppressions to recognise it, rather than "failed to restore the stack".
  G_SLICE=always-malloc \
  TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0:history_size=7" \
    ctest --test-dir "$tsan_dir" --output-on-failure --timeout 600 -L threading
  echo "sanitize.sh: thread done after ${SECONDS} s"
fi
