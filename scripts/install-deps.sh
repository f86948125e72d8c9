#!/usr/bin/env bash
# Installs every Debian package the build, tests, demo and benchmarks need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config git ca-certificates \
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev \
  libgstrtspserver-1.0-dev \
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad \
  gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-tools \
  libglib2.0-dev libspdlog-dev libfmt-dev libyuv-dev libgtest-dev libgmock-dev \
  libbenchmark-dev openssl \
  python3-dev python3-numpy python3-pytest pybind11-dev \
  libsoup-3.0-dev glib-networking libcrypt-dev libturbojpeg0-dev python3-prometheus-client chromium \
  nftables iproute2 util-linux >/dev/null
if [ "${STROVIX_WITH_OPENCV:-0}" = 1 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends libopencv-dev >/dev/null
fi
