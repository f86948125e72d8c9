#include "common/demo_rtsp_server.hpp"

#include <gst/rtsp-server/rtsp-server.h>

#include <stdexcept>

namespace strovix::tools {
namespace {

constexpr const char* kPath = "/demo";

std::string launch_of(const DemoRtspServer::Options& o) {
  // One keyframe a second, so a reader that joins late waits at most a second for a picture.
  const std::string fps = std::to_string(o.fps);
  return "( videotestsrc is-live=true pattern=ball ! video/x-raw,format=I420,width=" +
         std::to_string(o.width) + ",height=" + std::to_string(o.height) + ",framerate=" + fps +
         "/1 ! x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max=" + fps +
         " ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
}

GstRTSPFilterResult remove_session(GstRTSPSessionPool*, GstRTSPSession*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

GstRTSPFilterResult remove_client(GstRTSPServer*, GstRTSPClient*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

// Runs on the server's thread, the only one that touches its clients: dropping sessions (UDP
// ones outlive their connection) and clients there stops the shared media before the loop ends.
gboolean shut_down(gpointer data) {
  auto* self = static_cast<std::pair<GstRTSPServer*, GMainLoop*>*>(data);
  if (GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(self->first)) {
    g_list_free_full(gst_rtsp_session_pool_filter(pool, remove_session, nullptr), g_object_unref);
    g_object_unref(pool);
  }
  g_list_free_full(gst_rtsp_server_client_filter(self->first, remove_client, nullptr),
                   g_object_unref);
  g_main_loop_quit(self->second);
  return G_SOURCE_REMOVE;
}

}  // namespace

DemoRtspServer::DemoRtspServer(const Options& options)
    : options_(options),
      context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE)),
      server_(gst_rtsp_server_new()) {
  gst_rtsp_server_set_address(server_, "127.0.0.1");
  gst_rtsp_server_set_service(server_, "0");
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, launch_of(options_).c_str());
  // Every client shares one encoder.
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
  gst_rtsp_mount_points_add_factory(mounts, kPath, factory);  // takes the factory
  g_object_unref(mounts);

  source_id_ = gst_rtsp_server_attach(server_, context_);
  if (source_id_ == 0) {
    g_object_unref(server_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  port_ = gst_rtsp_server_get_bound_port(server_);
  thread_ = std::thread([this] {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
  });
}

DemoRtspServer::~DemoRtspServer() {
  std::pair<GstRTSPServer*, GMainLoop*> job{server_, loop_};
  // Invoked before the loop may have started: it runs once the loop does, so the join is safe.
  g_main_context_invoke(context_, shut_down, &job);
  thread_.join();
  if (GSource* source = g_main_context_find_source_by_id(context_, source_id_))
    g_source_destroy(source);
  g_object_unref(server_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

std::string DemoRtspServer::url() const {
  return "rtsp://127.0.0.1:" + std::to_string(port_) + kPath;
}

std::string DemoRtspServer::description() const {
  return "H.264, " + std::to_string(options_.width) + "x" + std::to_string(options_.height) + ", " +
         std::to_string(options_.fps) + " fps";
}

}  // namespace strovix::tools
