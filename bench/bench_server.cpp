// The benchmarks' RTSP server, run as a process of its own so that its CPU is reported apart
// from the readers'. Two servers on 127.0.0.1:
//   - the loopback test server with /loop: a pre-encoded 640x360 30 fps H.264 clip (one
//     keyframe a second) served in a loop, so any number of clients cost no encoder time;
//     "stop" and "start" on stdin take it down and bring it back on the same port;
//   - /live on a second port: a live 640x360 30 fps encode whose frames carry the wall-clock
//     time at capture, painted before the encoder, for the frame-age benchmark; its network
//     sinks send each frame as soon as it is encoded, as a camera does.
//   - with --camera, also /cam and /cam1080 on the first server: pre-encoded clips as costly
//     to decode as a camera's pictures (bars with a band of noise, x264 veryfast at
//     1.5 Mbit/s for 640x360 and 4 Mbit/s for 1920x1080);
//   - a third port that accepts TCP connections and never answers: a camera that streams
//     nothing.
// Prints "PORT <loop port> <live port> <silent port>", answers each command with
// "OK <command>", and ends on "quit" or when stdin closes.
#include <gst/rtsp-server/rtsp-server.h>
#include <gst/video/video.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.hpp"
#include "support/rtsp_server.hpp"

namespace {

using strovix::bench::paint_stamp_i420;
using strovix::bench::wall_ms;

struct PaintState {
  GstVideoInfo info;
  bool have_info = false;
};

GstPadProbeReturn paint_probe(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  auto* state = static_cast<PaintState*>(data);
  if (!state->have_info) {
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) return GST_PAD_PROBE_OK;
    state->have_info = gst_video_info_from_caps(&state->info, caps);
    gst_caps_unref(caps);
    if (!state->have_info) return GST_PAD_PROBE_OK;
  }
  GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  GstVideoFrame frame;
  if (gst_video_frame_map(&frame, &state->info, buffer, GST_MAP_WRITE)) {
    // Capture time: the live source hands the frame over now.
    paint_stamp_i420(&frame, static_cast<std::uint64_t>(wall_ms()));
    gst_video_frame_unmap(&frame);
  }
  return GST_PAD_PROBE_OK;
}

// A camera sends each frame as soon as it is encoded; the server's network sinks would
// otherwise hold it back by the pipeline latency (source and encoder, about two frames).
void on_deep_element_added(GstBin*, GstBin*, GstElement* element, gpointer) {
  const gchar* factory = GST_OBJECT_NAME(gst_element_get_factory(element));
  if (g_strcmp0(factory, "multiudpsink") == 0 || g_strcmp0(factory, "appsink") == 0) {
    g_object_set(element, "sync", FALSE, nullptr);
  }
  // A camera's sender reports map RTP time to the instant of capture; rtpbin's default maps
  // it to the send time, one pipeline latency later.
  if (g_strcmp0(factory, "rtpbin") == 0) {
    g_object_set(element, "rtcp-sync-send-time", FALSE, nullptr);
  }
}

void on_live_configure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer) {
  GstElement* element = gst_rtsp_media_get_element(media);
  if (GstObject* pipeline = gst_object_get_parent(GST_OBJECT(element))) {
    g_signal_connect(pipeline, "deep-element-added", G_CALLBACK(on_deep_element_added), nullptr);
    gst_object_unref(pipeline);
  }
  if (GstElement* paint = gst_bin_get_by_name_recurse_up(GST_BIN(element), "paint")) {
    GstPad* pad = gst_element_get_static_pad(paint, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, paint_probe, new PaintState{},
                      [](gpointer p) { delete static_cast<PaintState*>(p); });
    gst_object_unref(pad);
    gst_object_unref(paint);
  }
  gst_object_unref(element);
}

// The painted live server, on a main context and thread of its own.
class LiveServer {
 public:
  LiveServer() {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, "127.0.0.1");
    gst_rtsp_server_set_service(server_, "0");
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(
        factory,
        "( videotestsrc is-live=true pattern=ball"
        " ! video/x-raw,format=I420,width=640,height=360,framerate=30/1"
        " ! identity name=paint"
        " ! x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max=30"
        " ! rtph264pay name=pay0 pt=96 config-interval=-1 )");
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    g_signal_connect(factory, "media-configure", G_CALLBACK(on_live_configure), nullptr);
    gst_rtsp_mount_points_add_factory(mounts, "/live", factory);
    g_object_unref(mounts);
    GError* error = nullptr;
    source_ = gst_rtsp_server_create_source(server_, nullptr, &error);
    if (!source_) {
      std::string what = error ? error->message : "unknown";
      if (error) g_error_free(error);
      throw std::runtime_error("live server cannot listen: " + what);
    }
    g_source_attach(source_, context_);
    port_ = gst_rtsp_server_get_bound_port(server_);
    thread_ = std::thread([this] {
      g_main_context_push_thread_default(context_);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
  }
  ~LiveServer() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_source_destroy(source_);
    g_source_unref(source_);
    g_object_unref(server_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }
  int port() const { return port_; }

 private:
  GMainContext* context_;
  GMainLoop* loop_;
  GstRTSPServer* server_;
  GSource* source_ = nullptr;
  int port_ = 0;
  std::thread thread_;
};

// Accepts connections and reads whatever comes, answering nothing.
class SilentServer {
 public:
  SilentServer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 256) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("silent server cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~SilentServer() {
    stop_.store(true);
    thread_.join();
    for (int fd : clients_) close(fd);
    close(listen_fd_);
  }
  int port() const { return port_; }

 private:
  void run() {
    while (!stop_.load()) {
      std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
      for (int fd : clients_) fds.push_back({fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) clients_.push_back(fd);
      }
      std::vector<int> open;
      for (std::size_t i = 1; i < fds.size(); ++i) {
        char buf[4096];
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) &&
            read(fds[i].fd, buf, sizeof(buf)) <= 0) {
          close(fds[i].fd);
          continue;
        }
        open.push_back(fds[i].fd);
      }
      clients_ = std::move(open);
    }
  }
  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> clients_;  // only the thread touches it until it is joined
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const bool camera = argc > 1 && std::string(argv[1]) == "--camera";
  gst_init(nullptr, nullptr);
  try {
    strovix::testing::RtspTestServer server;
    strovix::testing::RtspLoopedMountOptions loop;
    loop.width = 640;
    loop.height = 360;
    loop.fps = 30;
    loop.key_int_max = 30;
    loop.seconds = 2;
    server.add_looped_h264_mount("/loop", loop);
    if (camera) {
      loop.camera_kbps = 1500;
      server.add_looped_h264_mount("/cam", loop);
      loop.width = 1920;
      loop.height = 1080;
      loop.camera_kbps = 4000;
      server.add_looped_h264_mount("/cam1080", loop);
    }
    server.start();
    LiveServer live;
    SilentServer silent;
    std::printf("PORT %d %d %d\n", server.port(), live.port(), silent.port());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line == "quit") break;
      if (line == "stop") {
        server.stop();
      } else if (line == "start") {
        // The stopped server's listening socket can still be closing (bind: address in use):
        // retry for a bounded time before giving up.
        for (int attempt = 0;; ++attempt) {
          try {
            server.start();
            break;
          } catch (const std::runtime_error&) {
            if (attempt == 100) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }
      } else {
        continue;
      }
      std::printf("OK %s\n", line.c_str());
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
