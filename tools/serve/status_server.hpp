#pragma once
// The read-only HTTP side of a fleet run (libsoup 3 on a GMainContext and thread of its own):
//   /                           status page, one tile per camera with a live thumbnail
//   /api/cameras                JSON array, one object per camera
//   /cameras/NAME/snapshot.jpg  the camera's newest frame (404 unknown, 503 before a frame)
//   /metrics                    Prometheus text exposition
//   /healthz                    "ok", to anyone: no camera data
// Everything is served from the sample last published: no request waits for a reader, and
// JPEG encoding runs on a thread of its own. Everything but /healthz asks for the users of
// --serve-auth when given; on a loopback address only requests for a loopback host name are
// answered (a browser's page on another site cannot reach it through DNS rebinding).
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "fleet/fleet_args.hpp"
#include "fleet/fleet_state.hpp"

namespace strovix::tools {

struct ServeOptions {
  ServeAddress address;
  std::optional<std::string> auth_file;  // user:HASH lines
  std::optional<ServeTls> tls;
  int max_connections = 128;
  // Idle, header and response time-out of each connection.
  unsigned timeout_ms = 10000;
};

// Loads the certificate and key as the server will; throws std::runtime_error naming the
// problem.
void check_serve_tls(const ServeTls& tls);

class StatusServer {
 public:
  // Listens at once; throws std::runtime_error when it cannot (or when the authentication
  // file or the certificate cannot be used).
  explicit StatusServer(const ServeOptions& options);
  // Stops serving and joins its threads.
  ~StatusServer();
  StatusServer(const StatusServer&) = delete;
  StatusServer& operator=(const StatusServer&) = delete;

  // "http(s)://HOST:PORT/" of the listening address.
  std::string url() const { return url_; }

  // Any thread: what requests are answered from from now on.
  void publish(std::shared_ptr<const FleetSample> sample);

  struct Published;
  struct Loop;

 private:
  struct EncodeJob {
    std::string name;
    Frame frame;
  };
  void encode_loop();

  std::unique_ptr<Loop> loop_;
  std::string url_;
  // Guards published_.
  std::mutex published_mutex_;
  std::shared_ptr<const Published> published_;
  // Guards jobs_ and stop_encoding_.
  std::mutex jobs_mutex_;
  std::condition_variable jobs_cond_;
  std::deque<EncodeJob> jobs_;
  bool stop_encoding_ = false;
  std::thread encoder_;
  std::thread thread_;

  friend struct Loop;
};

}  // namespace strovix::tools
