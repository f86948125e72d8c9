#pragma once
#include <gio/gio.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace strovix::testing {

// A loopback HTTP (or HTTPS) server on 127.0.0.1 with an ephemeral port, serving live test
// streams, each client with its own encoder:
//   /mjpeg         multipart/x-mixed-replace JPEG frames
//   /ts            MPEG-TS with H.264
//   /mkv           streamable Matroska with H.264
//   /snapshot.jpg  one JPEG image
//   /text          a text/plain body (a type no video pipeline understands)
// Any other path answers 404. With credentials set, every path needs them (basic auth) and
// requests without them, or with others, answer 401.
class HttpTestServer {
 public:
  struct Options {
    int width = 320;
    int height = 240;
    int fps = 15;
    // Frames between H.264 keyframes.
    int key_int_max = 15;
    std::optional<std::string> user;
    std::optional<std::string> password;
    // Serve HTTPS with a self-signed certificate for 127.0.0.1, made with the openssl
    // command in a temporary directory (removed with the server).
    bool tls = false;
    // Concurrent connections beyond this are answered 503.
    int max_connections = 16;
    // Paths answered "302 Found" with this Location before any login is asked for, as a
    // camera (or a man in the middle) that sends its clients elsewhere would.
    std::map<std::string, std::string> redirects = {};
  };

  // Starts listening at once; throws std::runtime_error when it cannot.
  HttpTestServer();
  explicit HttpTestServer(Options options);
  // Stops the server.
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Starts listening (the first time on a new ephemeral port, later on the same port).
  // Throws std::runtime_error when it cannot.
  void start();
  // Stops listening, closes every connection and joins every thread.
  void stop();
  bool running() const;

  int port() const;
  // "http(s)://127.0.0.1:PORT/path"
  std::string url(const std::string& path) const;
  std::string url_with_credentials(const std::string& path) const;
  std::string url_with_credentials(const std::string& path, const std::string& user,
                                   const std::string& password) const;
  // PEM file of the self-signed certificate (tls only): the trust anchor for clients.
  std::string certificate_file() const { return cert_file_; }
  const Options& options() const { return options_; }
  // Accepts these credentials too (and requires credentials from then on).
  void add_credentials(const std::string& user, const std::string& password);

  // Requests answered so far, for tests that need to know a client got through.
  int requests_served() const { return requests_.load(); }
  // Every request received so far: its path and Authorization header ("" without one).
  struct Seen {
    std::string path;
    std::string authorization;
  };
  std::vector<Seen> requests_seen() const;

 private:
  struct Connection;
  void accept_loop(GSocketListener* listener, GCancellable* cancellable);
  void serve(GSocketConnection* connection, GCancellable* cancellable);
  void reap_finished_locked();
  bool authorized(const std::string& authorization) const;
  void make_certificate();

  Options options_;
  std::string temp_dir_;
  std::string cert_file_;
  GTlsCertificate* certificate_ = nullptr;  // owned, tls only
  // Guards the members below and the start/stop transitions.
  mutable std::mutex mutex_;
  int port_ = 0;
  GSocketListener* listener_ = nullptr;  // owned while running
  GCancellable* cancellable_ = nullptr;  // owned while running
  std::thread accept_thread_;
  std::list<std::shared_ptr<Connection>> connections_;
  std::atomic<int> requests_{0};
  // Guards tokens_: the "Basic ..." Authorization values accepted; empty: no login needed.
  mutable std::mutex tokens_mutex_;
  std::vector<std::string> tokens_;
  // Guards seen_.
  mutable std::mutex seen_mutex_;
  std::vector<Seen> seen_;
};

}  // namespace strovix::testing
