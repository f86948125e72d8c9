#!/usr/bin/env bash
# Sets up the machine, builds the benchmark programs, runs them all and writes
# docs/benchmarks.md and docs/frame_age.png.
#   STROVIX_BENCH_SKIP_SETUP=1   do not install packages
#   STROVIX_BENCH_MAX_WAIT=S     wait at most S seconds (default 600) for the load average to
#                                fall below STROVIX_BENCH_QUIET_LOAD (default 0.7) first
#   STROVIX_BENCH_BUILD=DIR      build directory (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${STROVIX_BENCH_BUILD:-build-bench}
OUT=$BUILD/bench-out
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

if [ "${STROVIX_BENCH_SKIP_SETUP:-0}" != 1 ]; then
  STROVIX_WITH_OPENCV=1 bash scripts/install-deps.sh
  # gnuplot draws docs/frame_age.png.
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    gnuplot-nox >/dev/null
fi

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTROVIX_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target bench_server bench_streams bench_frame_age bench_throughput \
  bench_recovery bench_conversion bench_lossy
BIN=$BUILD/bench
rm -rf "$OUT"
mkdir -p "$OUT"

load1() { cut -d' ' -f1 /proc/loadavg; }
quiet=${STROVIX_BENCH_QUIET_LOAD:-0.7}
max_wait=${STROVIX_BENCH_MAX_WAIT:-600}
waited=0
while awk -v l="$(load1)" -v q="$quiet" 'BEGIN { exit !(l >= q) }' && [ "$waited" -lt "$max_wait" ]; do
  [ $((waited % 60)) = 0 ] && echo "bench.sh: load average $(load1), waiting for < $quiet ..."
  sleep 10
  waited=$((waited + 10))
done
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "bench.sh: starting at load average $load_before (waited ${waited} s)"

# The load average every 10 s while the benchmarks run.
(while :; do echo "$(date +%s) $(cut -d' ' -f1 /proc/loadavg)"; sleep 10; done) >"$OUT/load.txt" &
sampler=$!
trap 'kill $sampler 2>/dev/null || true' EXIT

start=$(date +%s)
: >"$OUT/targets.md"
echo "== CPU, frame rate and memory per stream"
"$BIN/bench_streams" --md "$OUT/streams.md" --targets "$OUT/targets.md"
echo "== frame age"
"$BIN/bench_frame_age" --md "$OUT/frame_age.md" --data "$OUT/frame_age.dat" \
  --targets "$OUT/targets.md"
echo "== non-live throughput"
"$BIN/bench_throughput" --md "$OUT/throughput.md"
echo "== recovery"
"$BIN/bench_recovery" --md "$OUT/recovery.md"
echo "== lossy and cut UDP (private network namespace; needs root and nft)"
"$BIN/bench_lossy" --md "$OUT/loss.md"
echo "== conversion"
"$BIN/bench_conversion" --md "$OUT/conversion.md" --compare-png docs/host_ready_compare.png \
  --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true
end=$(date +%s)
kill $sampler 2>/dev/null || true
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
load_range=$(awk 'NR==1 {min=$2; max=$2} {if ($2<min) min=$2; if ($2>max) max=$2; sum+=$2; n++}
                  END {if (n) printf "min %.2f, mean %.2f, max %.2f (%d samples)", min, sum/n, max, n}' \
             "$OUT/load.txt")

cpu_model=$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)
gst_version=$(pkg-config --modversion gstreamer-1.0)
opencv_version=$(pkg-config --modversion opencv4 2>/dev/null || echo "not installed")
libav_version=$(dpkg-query -W -f='${Version}' gstreamer1.0-libav 2>/dev/null || echo "?")
compiler=$(c++ --version | head -1)

blocks=$(grep -c '^"' "$OUT/frame_age.dat")
if ! command -v gnuplot >/dev/null; then
  echo "bench.sh: gnuplot is not installed, docs/frame_age.png is left as it was"
else
gnuplot -e "datafile='$OUT/frame_age.dat'; outfile='docs/frame_age.png'; blocks=$blocks; subtitle='$cpu_model, $(nproc) cores, GStreamer $gst_version, OpenCV $opencv_version'" \
  bench/frame_age.gp
fi

{
  echo "# Benchmarks"
  echo
  echo "Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'); every figure below comes"
  echo "from that one run, the reader and what it is compared with measured side by side."
  echo
  echo "| | |"
  echo "|---|---|"
  echo "| machine | $(nproc) cores, $cpu_model, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo) |"
  echo "| kernel | $(uname -sr) |"
  echo "| GStreamer | $gst_version (gst-libav $libav_version) |"
  echo "| OpenCV | $opencv_version |"
  echo "| compiler | $compiler, RelWithDebInfo |"
  echo "| load average | $load_before before the run; during it $load_range; $load_after after |"
  echo "| duration | $((end - start)) s |"
  echo
  echo "## Targets"
  echo
  echo "| target | measured | |"
  echo "|---|---|---|"
  cat "$OUT/targets.md"
  echo
  echo "How to read the targets: the camera-like rows are the ones that tell what a camera"
  echo "costs (bars with a band of noise, x264 veryfast at 1.5 Mbit/s); the cheap content, kept"
  echo "for comparison with earlier runs, decodes several times faster than a camera picture."
  echo "OpenCV FFmpeg is \`cv::VideoCapture(url, cv::CAP_FFMPEG)\` read on a thread per stream."
  echo "The keyframe-only floor is \`rtspsrc ! rtph264depay ! fakesink\`, which neither parses"
  echo "nor decodes; the hand-written keyframe-only pipeline (same probe) is the fairer yardstick."
  echo "Figures at N=1 are the noisiest; the server always shares the same 2 cores, and its CPU"
  echo "is listed apart."
  echo
  cat "$OUT/streams.md" "$OUT/frame_age.md" "$OUT/throughput.md" "$OUT/recovery.md"
  cat "$OUT/loss.md"
  echo
  echo "## Conversion"
  echo
  echo "\`bench_conversion\` (Google Benchmark, median of 3 repetitions): sample_to_ndarray"
  echo "(libyuv) against a GstVideoConverter with videoconvert's defaults, BGR out, one frame"
  echo "of videotestsrc's SMPTE pattern, mapping included."
  echo
  cat "$OUT/conversion.md"
  echo
  echo "Reproduce with \`bash scripts/bench.sh\` (about $(( (end - start + 59) / 60 )) minutes here, after set-up and build)."
} >docs/benchmarks.md
echo "bench.sh: wrote docs/benchmarks.md and docs/frame_age.png in $((end - start)) s"
