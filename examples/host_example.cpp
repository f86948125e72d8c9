// A host reading frames: from the camera URL in argv[1], or else from a test pattern.
#include <cstdio>

#include "strovix/gobject_init.hpp"
#include "strovix/stream_reader/gst.hpp"

int main(int argc, char** argv) try {
  strovix::gobject_init::start();  // GStreamer and its main-context thread, once per process
  strovix::GstStreamReader::Options options;
  if (argc < 2) {
    options.pipeline_str = "videotestsrc is-live=true ! video/x-raw,format=I420,width=320,"
                           "height=240,framerate=30/1 ! appsink max-buffers=1 drop=true";
  }
  strovix::GstStreamReader reader(0, argc > 1 ? argv[1] : "test-pattern", {}, options);
  int shown = 0;
  while (shown < 5 && reader.latest_frame_event()->wait(10.0)) {
    strovix::Frame frame = reader.latest_frame();  // the newest frame; clears the event
    if (!frame.image) continue;                    // none yet
    std::printf("frame %d: %dx%d, pulled at %.3f\n", ++shown, frame.image->width,
                frame.image->height, frame.timestamp);
  }
  reader.wait_until_closed();  // stops the pipeline and joins the reader's threads
  return shown == 5 ? 0 : 1;
} catch (const std::exception& e) {  // StreamSetupError: bad URL or pipeline
  std::fprintf(stderr, "cannot read the stream: %s\n", e.what());
  return 3;
}
