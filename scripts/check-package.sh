#!/usr/bin/env bash
# Packaging check:
#  1. a library-only build with the test-only packages (GoogleTest, Google Benchmark,
#     gst-rtsp-server) hidden configures, builds and installs into a temporary prefix;
#  2. the shared library exports the public API only;
#  3. a small host project builds against that prefix with find_package(strovix) and with
#     pkg-config, and runs;
#  4. `cpack -G DEB` makes the runtime, development and tool packages; their contents and
#     dependencies are inspected, and the same host builds against their extracted tree.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/strovix-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
jobs=${STROVIX_JOBS:-$(nproc)}
prefix=$work/prefix
version=$(sed -n 's/^project(strovix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "check-package: no version in CMakeLists.txt" >&2; exit 1; }
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
soversion=$major
[ "$major" = 0 ] && soversion=$major.$minor

step() { printf '\n== %s\n' "$*"; }
fail() { printf 'check-package: %s\n' "$*" >&2; exit 1; }

# Builds tests/package_consumer against a tree of strovix ($1: the prefix holding include/
# and the library directory $2) both ways, and runs both programs.
build_consumers() {
  local tree=$1 libdir=$2 out=$3
  cmake -S "$root/tests/package_consumer" -B "$out/consumer-cmake" \
    -DCMAKE_PREFIX_PATH="$tree" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$out/consumer-cmake" -j"$jobs" >/dev/null
  "$out/consumer-cmake/consumer" 2>/dev/null || fail "consumer (find_package) against $tree failed"
  local flags
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs strovix)
  case " $flags " in *yuv*) fail "libyuv leaks into consumers' link line: $flags" ;; esac
  local includedir
  includedir=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --variable=includedir strovix)
  [ "$(realpath "$includedir")" = "$(realpath "$tree/include")" ] ||
    fail "strovix.pc points at $includedir, not into $tree"
  # shellcheck disable=SC2086
  c++ -std=c++20 -Wall -Wextra -Werror -o "$out/consumer-pkgconfig" \
    "$root/tests/package_consumer/consumer.cpp" $flags -Wl,-rpath,"$libdir"
  "$out/consumer-pkgconfig" 2>/dev/null || fail "consumer (pkg-config) against $tree failed"
  # A shared libstrovix carries libyuv itself; the consumers must not link it directly.
  for exe in "$out/consumer-cmake/consumer" "$out/consumer-pkgconfig"; do
    if readelf -d "$exe" | grep NEEDED | grep -q yuv; then fail "$exe links libyuv directly"; fi
  done
}

step "library-only build without GoogleTest, Google Benchmark and gst-rtsp-server"
# pkg-config sees every module of the default search path except gst-rtsp-server.
hidden_pc=$work/pkgconfig-without-rtsp-server
mkdir -p "$hidden_pc"
IFS=: read -r -a pc_dirs <<<"$(pkg-config --variable pc_path pkg-config)"
for dir in "${pc_dirs[@]}"; do
  [ -d "$dir" ] || continue
  for pc in "$dir"/*.pc; do
    [ -e "$pc" ] || continue
    case $(basename "$pc") in gstreamer-rtsp-server-*) continue ;; esac
    [ -e "$hidden_pc/$(basename "$pc")" ] || ln -s "$pc" "$hidden_pc/"
  done
done
if PKG_CONFIG_LIBDIR=$hidden_pc pkg-config --exists gstreamer-rtsp-server-1.0; then
  fail "gst-rtsp-server is not hidden"
fi
PKG_CONFIG_LIBDIR=$hidden_pc cmake --no-warn-unused-cli -S "$root" -B "$work/build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; fail "the library-only configure failed"; }
grep -q "built without its test stream" "$work/configure.log" ||
  fail "strovix-read was configured with a test stream although gst-rtsp-server is hidden"
PKG_CONFIG_LIBDIR=$hidden_pc cmake --build "$work/build" -j"$jobs" >/dev/null
cmake --install "$work/build" --prefix "$prefix" >/dev/null
for target in strovix_internal strovix_test_servers strovix_test_main bench_conversion; do
  if cmake --build "$work/build" --target help | grep -qw "$target"; then
    fail "the library-only build has the target $target"
  fi
done

libdir=$(dirname "$(find "$prefix" -name libstrovix.so | head -n1)")
for f in "$libdir/libstrovix.so" "$libdir/libstrovix.so.$soversion" \
         "$prefix/include/strovix/stream_reader/gst.hpp" "$prefix/include/strovix/version.hpp" \
         "$prefix/include/strovix/export.hpp" "$prefix/bin/strovix-read" \
         "$libdir/cmake/strovix/strovixConfig.cmake" "$libdir/cmake/strovix/strovixTargets.cmake" \
         "$libdir/cmake/strovix/strovixConfigVersion.cmake" "$libdir/pkgconfig/strovix.pc"; do
  [ -e "$f" ] || fail "not installed: ${f#"$prefix"/}"
done
soname=$(readelf -d "$libdir/libstrovix.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libstrovix.so.$soversion" ] || fail "soname is $soname, not libstrovix.so.$soversion"
grep -q "#define STROVIX_VERSION_STRING \"$version\"" "$prefix/include/strovix/version.hpp" ||
  fail "version.hpp does not say $version"
# No file of the build tree may be needed: the package must point into the prefix only.
if grep -rl --include='*.cmake' --include='*.pc' "$work/build" "$libdir" >/dev/null; then
  fail "the installed package refers to the build tree"
fi

step "installed headers"
# Outside strovix/gst/ no installed header reaches GStreamer or GLib, and only logger.hpp
# reaches spdlog: each header's own includes are checked, and none of them includes a header
# of strovix/gst/ or logger.hpp, so nothing is reached through another header either.
(cd "$prefix/include" && find strovix -type f | sort) | tee "$work/headers" | sed 's/^/  /'
while read -r header; do
  case $header in strovix/gst/*) continue ;; esac
  file=$prefix/include/$header
  if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](gst/|glib|gio/|gobject/|strovix/gst/)' "$file"; then
    fail "$header reaches GStreamer or GLib; it belongs under strovix/gst/"
  fi
  [ "$header" = strovix/logger.hpp ] && continue
  if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](spdlog/|fmt/|strovix/logger\.hpp)' "$file"; then
    fail "$header reaches spdlog"
  fi
done <"$work/headers"
for internal in atomic_shared_ptr.hpp pipeline_state.hpp url.hpp; do
  if grep -q "/$internal\$" "$work/headers"; then fail "an internal header is installed: $internal"; fi
done

step "installed strovix-read without its test stream"
"$prefix/bin/strovix-read" --help >/dev/null
"$prefix/bin/strovix-read" --quiet --duration 1 --pipeline \
  "videotestsrc is-live=true ! video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! appsink"
set +e
"$prefix/bin/strovix-read" --quiet --duration 1 2>"$work/no-demo.err"
status=$?
set -e
if [ "$status" != 2 ] || ! grep -q "built without the test stream" "$work/no-demo.err"; then
  fail "strovix-read without a test stream and without a URL: exit $status, $(cat "$work/no-demo.err")"
fi

step "strovix as a subproject of a host with tests of its own"
# Only the library: none of strovix's tests, benchmarks or programs, whatever the host builds.
mkdir -p "$work/host"
cat >"$work/host/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(host LANGUAGES CXX)
include(CTest)
add_subdirectory("$root" strovix)
add_executable(consumer "$root/tests/package_consumer/consumer.cpp")
target_link_libraries(consumer PRIVATE strovix::strovix)
EOF
PKG_CONFIG_LIBDIR=$hidden_pc cmake --no-warn-unused-cli -S "$work/host" -B "$work/host-build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$work/host-configure.log" ||
  { cat "$work/host-configure.log" >&2; fail "a host's configure with strovix as a subproject failed"; }
for target in strovix_internal strovix_test_main strovix-read host_example bench_conversion package; do
  if cmake --build "$work/host-build" --target help | grep -qw -- "$target"; then
    fail "strovix as a subproject adds the target $target"
  fi
done
PKG_CONFIG_LIBDIR=$hidden_pc cmake --build "$work/host-build" -j"$jobs" --target consumer >/dev/null
"$work/host-build/consumer" 2>/dev/null || fail "the host's consumer failed"

step "exported symbols"
nm -D --defined-only "$libdir/libstrovix.so" | c++filt >"$work/symbols"
total=$(wc -l <"$work/symbols")
ours=$(grep -c ' strovix::' "$work/symbols" || true)
printf 'exported: %s symbols, %s of them functions and data of namespace strovix\n' "$total" "$ours"
# spdlog marks its sink classes visible itself, so their vtables and typeinfo may show;
# functions of spdlog or fmt may not.
for leak in 'strovix::detail' 'strovix::testing' 'LineCaptureSink' 'ScopedLogCapture' \
            '^[0-9a-f]* [A-Za-z] fmt::' '^[0-9a-f]* [A-Za-z] spdlog::'; do
  if grep -q -- "$leak" "$work/symbols"; then
    grep -- "$leak" "$work/symbols" | head -n5 >&2
    fail "the library exports internals: $leak"
  fi
done
for api in 'strovix::GstStreamReader::GstStreamReader(' 'strovix::gobject_init::start(' 'strovix::GstStreamReader::stats()' \
           'strovix::library_version()' 'typeinfo for strovix::StreamSetupError' \
           'strovix::Pipeline::Pipeline(' 'strovix::RTSPPipelineFactory::build()'; do
  grep -qF -- "$api" "$work/symbols" || fail "the library does not export $api"
done
# Without hidden visibility the count is about 500: spdlog, fmt and internal code.
[ "$total" -lt 200 ] || fail "$total exported symbols: is the visibility preset lost?"

step "consumers against the installed prefix (find_package and pkg-config)"
build_consumers "$prefix" "$libdir" "$work/prefix-consumers"

step "Debian packages (cpack -G DEB)"
cmake -S "$root" -B "$work/build-deb" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DSTROVIX_BUILD_EXAMPLES=OFF -DSTROVIX_DEMO_SERVER=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$work/build-deb" -j"$jobs" >/dev/null
(cd "$work/build-deb" && cpack -G DEB -B "$work/debs" >"$work/cpack.log") ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
runtime_deb=$work/debs/libstrovix${soversion}_${version}_$arch.deb
dev_deb=$work/debs/libstrovix-dev_${version}_$arch.deb
tools_deb=$work/debs/strovix-tools_${version}_$arch.deb
for deb in "$runtime_deb" "$dev_deb" "$tools_deb"; do
  [ -f "$deb" ] || fail "no $(basename "$deb") (made: $(cd "$work/debs" && ls ./*.deb))"
  # Paths only ("./usr/lib/x/libstrovix.so -> libstrovix.so.0.1" for links).
  dpkg-deb --contents "$deb" | awk '{ print ($7 == "->") ? $6 " -> " $8 : $6 }' >"$deb.contents"
  printf '%s (Depends: %s):\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
  sed 's/^/  /' "$deb.contents"
done

# expect <deb> <path>...: each path is in the package.
expect() {
  local deb=$1
  shift
  for path in "$@"; do
    grep -q -- "^\./$path\( ->.*\)\?$" "$deb.contents" || fail "$(basename "$deb") lacks $path"
  done
}
# refuse <deb> <pattern>...: no path of the package matches.
refuse() {
  local deb=$1
  shift
  for pattern in "$@"; do
    if grep -q -- "$pattern" "$deb.contents"; then
      fail "$(basename "$deb") holds $(grep -- "$pattern" "$deb.contents" | head -n1)"
    fi
  done
}
lib=usr/lib/$multiarch
expect "$runtime_deb" "$lib/libstrovix.so.$soversion" "$lib/libstrovix.so.$version"
refuse "$runtime_deb" '/include/' '/cmake/' '/pkgconfig/' 'libstrovix\.so \|libstrovix\.so$' '/bin/'
expect "$dev_deb" usr/include/strovix/stream_reader/gst.hpp usr/include/strovix/version.hpp \
  usr/include/strovix/export.hpp "$lib/libstrovix.so" "$lib/cmake/strovix/strovixConfig.cmake" \
  "$lib/cmake/strovix/strovixConfigVersion.cmake" "$lib/cmake/strovix/strovixTargets.cmake" \
  "$lib/pkgconfig/strovix.pc"
refuse "$dev_deb" '/libstrovix\.so\.' '/bin/'
expect "$tools_deb" usr/bin/strovix-read
refuse "$tools_deb" '/lib/' '/include/'
# Nothing of the tests or the source tree's private headers is shipped.
for deb in "$runtime_deb" "$dev_deb" "$tools_deb"; do
  refuse "$deb" 'support/' '_test' 'rtsp_server' 'common\.hpp' 'pipeline_state' 'gtest' 'benchmark'
done

runtime_name=libstrovix$soversion
for deb in "$dev_deb" "$tools_deb"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  case "$depends" in *"$runtime_name (= $version)"*) ;;
    *) fail "$(basename "$deb") does not depend on $runtime_name (= $version): $depends" ;; esac
done
runtime_depends=$(dpkg-deb -f "$runtime_deb" Depends)
case "$runtime_depends" in *libgstreamer1.0-0*) ;;
  *) fail "$runtime_name does not depend on GStreamer: $runtime_depends" ;; esac
case "$(dpkg-deb -f "$tools_deb" Depends)" in *libgstrtspserver*) ;;
  *) fail "strovix-tools does not depend on gst-rtsp-server" ;; esac
for deb in "$runtime_deb" "$dev_deb" "$tools_deb"; do
  case "$(dpkg-deb -f "$deb" Depends)" in *gtest* | *benchmark*)
    fail "$(basename "$deb") depends on a test package" ;; esac
done

step "consumers and strovix-read from the extracted packages"
tree=$work/deb-root
for deb in "$runtime_deb" "$dev_deb" "$tools_deb"; do dpkg-deb -x "$deb" "$tree"; done
build_consumers "$tree/usr" "$tree/$lib" "$work/deb-consumers"
if nm -C "$tree/usr/bin/strovix-read" | grep -q 'strovix::testing'; then
  fail "the packaged strovix-read links test code"
fi
"$tree/usr/bin/strovix-read" --quiet --duration 1 --pipeline \
  "videotestsrc is-live=true ! video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! appsink"
# The main job: its own test stream over RTSP.
"$tree/usr/bin/strovix-read" --quiet --duration 3 --json >"$work/demo.json" ||
  fail "the packaged strovix-read cannot read its test stream"
grep -q '"type":"summary".*"frames":[1-9]' "$work/demo.json" ||
  fail "no frame from the packaged strovix-read's test stream: $(cat "$work/demo.json")"

step "package check passed"
