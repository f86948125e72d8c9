#pragma once
#include <gst/gst.h>

#include <string>
#include <thread>

typedef struct _GstRTSPServer GstRTSPServer;

namespace strovix::tools {

// The stream strovix-read plays when no URL is given: one live H.264 test pattern (a moving
// ball) served over RTSP on 127.0.0.1, on an ephemeral port. The server runs on a GMainContext
// and thread of its own, never on the default context the library iterates.
class DemoRtspServer {
 public:
  struct Options {
    int width = 640;
    int height = 360;
    int fps = 30;
  };

  // Listening when constructed; throws std::runtime_error when no port can be bound.
  explicit DemoRtspServer(const Options& options);
  // Drops every client and session on the server's thread, then stops it.
  ~DemoRtspServer();
  DemoRtspServer(const DemoRtspServer&) = delete;
  DemoRtspServer& operator=(const DemoRtspServer&) = delete;

  // "rtsp://127.0.0.1:PORT/demo"
  std::string url() const;
  // "H.264, 640x360, 30 fps"
  std::string description() const;

 private:
  Options options_;
  GMainContext* context_ = nullptr;  // owned
  GMainLoop* loop_ = nullptr;        // owned
  GstRTSPServer* server_ = nullptr;  // owned
  guint source_id_ = 0;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace strovix::tools
