// A host of the installed package: checks that the headers and the loaded library are of one
// version, that the library's exceptions are caught by their types across the library
// boundary, then constructs a reader on a custom pipeline, takes one frame and closes.
#include <cstdio>
#include <cstring>

#include "strovix/errors.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "strovix/version.hpp"

static_assert(STROVIX_VERSION ==
              STROVIX_VERSION_MAJOR * 10000 + STROVIX_VERSION_MINOR * 100 + STROVIX_VERSION_PATCH);

namespace {

bool versions_agree() {
  const strovix::Version loaded = strovix::library_version();
  const strovix::Version built = strovix::header_version;
  if (loaded.major != built.major || loaded.minor != built.minor || loaded.patch != built.patch ||
      std::strcmp(strovix::library_version_string(), STROVIX_VERSION_STRING) != 0) {
    std::fprintf(stderr, "consumer: headers %s, library %s\n", STROVIX_VERSION_STRING,
                 strovix::library_version_string());
    return false;
  }
  return true;
}

// Each failure must arrive as its own type: a type the library does not export would be a
// different type here, and the handler would not match.
bool errors_keep_their_types() {
  bool ok = true;
  try {
    strovix::GstStreamReader reader(1, "ftp://example.invalid/", {});
    ok = false;
  } catch (const strovix::StreamSetupError&) {
  } catch (...) {
    ok = false;
  }
  try {
    strovix::GstStreamReader reader(2, "rtsp://127.0.0.1:9/", {{"no_such_option", true}});
    ok = false;
  } catch (const strovix::RuntimeOptionError&) {
  } catch (...) {
    ok = false;
  }
  if (!ok) std::fprintf(stderr, "consumer: an exception of the library lost its type\n");
  return ok;
}

}  // namespace

int main() {
  strovix::gobject_init::start();
  if (!versions_agree() || !errors_keep_their_types()) return 1;
  strovix::GstStreamReader::Options options;
  options.pipeline_str =
      "videotestsrc is-live=true ! video/x-raw,format=I420,width=96,height=64,framerate=30/1 ! "
      "appsink max-buffers=1 drop=true";
  try {
    strovix::GstStreamReader reader(7, "package-consumer", {}, options);
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (!reader.latest_frame_event()->wait(0.1)) continue;
      const strovix::Frame frame = reader.latest_frame();
      if (!frame.image) continue;
      std::printf("consumer: strovix %s, got a %dx%d frame\n", strovix::library_version_string(),
                  frame.image->width, frame.image->height);
      reader.wait_until_closed();
      return frame.image->width == 96 && frame.image->height == 64 ? 0 : 1;
    }
    std::fprintf(stderr, "consumer: no frame within 10 s\n");
    reader.wait_until_closed();
  } catch (const strovix::StreamSetupError& e) {
    std::fprintf(stderr, "consumer: %s\n", e.what());
  }
  return 1;
}
