// Constructs a reader on a custom pipeline, takes one frame and closes: proves that the
// installed headers, library and its dependencies are enough for a host.
#include <cstdio>

#include "strovix/errors.hpp"
#include "strovix/gobject_init.hpp"
#include "strovix/stream_reader/gst.hpp"

int main() {
  strovix::gobject_init::start();
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
      std::printf("consumer: got a %dx%d frame\n", frame.image->width, frame.image->height);
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
