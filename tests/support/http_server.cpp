#include "support/http_server.hpp"

#include <glib/gstdio.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace strovix::testing {

struct HttpTestServer::Connection {
  std::thread thread;
  std::atomic<bool> done{false};
};

namespace {

constexpr const char* kBoundary = "strovixframe";
constexpr std::size_t kMaxRequestBytes = 16 * 1024;
constexpr guint kSocketTimeoutSeconds = 5;
// A streaming response ends after this long even if the client keeps reading.
constexpr auto kMaxStreamTime = std::chrono::minutes(5);
constexpr int kMaxAcceptErrors = 100;

struct Request {
  std::string method;
  std::string path;
  std::string authorization;
};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

std::optional<Request> parse_request(const std::string& head) {
  Request request;
  std::size_t line_end = head.find("\r\n");
  const std::string first = head.substr(0, line_end);
  const auto sp1 = first.find(' ');
  const auto sp2 = sp1 == std::string::npos ? sp1 : first.find(' ', sp1 + 1);
  if (sp1 == std::string::npos || sp2 == std::string::npos) return std::nullopt;
  request.method = first.substr(0, sp1);
  request.path = first.substr(sp1 + 1, sp2 - sp1 - 1);
  if (const auto q = request.path.find('?'); q != std::string::npos) request.path.resize(q);
  while (line_end != std::string::npos && line_end + 2 < head.size()) {
    const std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string line =
        head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (lower(trim(line.substr(0, colon))) == "authorization") {
      request.authorization = trim(line.substr(colon + 1));
    }
  }
  return request;
}

std::string video_caps(const HttpTestServer::Options& o) {
  return "video/x-raw,format=I420,width=" + std::to_string(o.width) +
         ",height=" + std::to_string(o.height) + ",framerate=" + std::to_string(o.fps) + "/1";
}

std::string h264_encoder(const HttpTestServer::Options& o) {
  return "x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max=" +
         std::to_string(o.key_int_max > 0 ? o.key_int_max : o.fps) + " ! h264parse";
}

struct Route {
  std::string content_type;
  std::string pipeline;  // empty for a fixed body
  std::string body;
  bool multipart = false;
  bool single = false;  // one buffer, sent with a Content-Length
};

std::optional<Route> route_for(const std::string& path, const HttpTestServer::Options& o) {
  const std::string live = "videotestsrc is-live=true pattern=ball ! " + video_caps(o) + " ! ";
  // Muxed byte streams must not lose buffers; JPEG frames may.
  const std::string muxed_sink = " ! appsink name=sink sync=false max-buffers=64";
  if (path == "/mjpeg") {
    return Route{std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
                 live + "jpegenc quality=70 ! appsink name=sink sync=false max-buffers=4 drop=true",
                 {},
                 true,
                 false};
  }
  if (path == "/ts") {
    return Route{
        "video/mp2t", live + h264_encoder(o) + " ! mpegtsmux" + muxed_sink, {}, false, false};
  }
  if (path == "/mkv") {
    return Route{"video/x-matroska",
                 live + h264_encoder(o) + " ! matroskamux streamable=true" + muxed_sink,
                 {},
                 false,
                 false};
  }
  if (path == "/snapshot.jpg") {
    return Route{"image/jpeg",
                 "videotestsrc num-buffers=1 pattern=ball ! " + video_caps(o) +
                     " ! jpegenc ! appsink name=sink sync=false",
                 {},
                 false,
                 true};
  }
  if (path == "/text") {
    // Long enough for a type finder to name it rather than give up on it.
    std::string body;
    for (int i = 0; i < 200; ++i) body += "strovix test server: line " + std::to_string(i) + "\n";
    return Route{"text/plain", {}, body, false, true};
  }
  return std::nullopt;
}

bool write_all(GOutputStream* out, const void* data, std::size_t size, GCancellable* cancellable) {
  gsize written = 0;
  return g_output_stream_write_all(out, data, size, &written, cancellable, nullptr) &&
         written == size;
}

bool write_text(GOutputStream* out, const std::string& text, GCancellable* cancellable) {
  return write_all(out, text.data(), text.size(), cancellable);
}

void send_status(GOutputStream* out, const std::string& status, GCancellable* cancellable,
                 const std::string& extra_headers = {}) {
  const std::string body = status + "\n";
  write_text(out,
             "HTTP/1.1 " + status +
                 "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\nConnection: close\r\n" + extra_headers + "\r\n" + body,
             cancellable);
}

std::string basic_token(const std::string& user, const std::string& password) {
  const std::string pair = user + ":" + password;
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(pair.data()), pair.size());
  std::string out = std::string("Basic ") + encoded;
  g_free(encoded);
  return out;
}

std::string escape_userinfo(const std::string& text) {
  gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string out = escaped ? escaped : "";
  g_free(escaped);
  return out;
}

// Streams the route's pipeline output to the client until it leaves, the server stops, the
// pipeline ends, or the time limit passes.
void stream_route(const Route& route, GOutputStream* out, GCancellable* cancellable) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(route.pipeline.c_str(), &error);
  if (!pipeline) {
    if (error) g_error_free(error);
    send_status(out, "500 Internal Server Error", cancellable);
    return;
  }
  if (error) g_error_free(error);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  bool headers_sent = false;
  const auto deadline = std::chrono::steady_clock::now() + kMaxStreamTime;
  while (!g_cancellable_is_cancelled(cancellable) && std::chrono::steady_clock::now() < deadline) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 200 * GST_MSECOND);
    if (!sample) {
      if (gst_app_sink_is_eos(GST_APP_SINK(sink))) break;
      continue;
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    bool ok = buffer && gst_buffer_map(buffer, &map, GST_MAP_READ);
    if (ok) {
      if (!headers_sent) {
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + route.content_type +
                           "\r\nCache-Control: no-cache\r\nConnection: close\r\n";
        if (route.single) head += "Content-Length: " + std::to_string(map.size) + "\r\n";
        ok = write_text(out, head + "\r\n", cancellable);
        headers_sent = true;
      }
      if (ok && route.multipart) {
        ok = write_text(out,
                        std::string("--") + kBoundary +
                            "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                            std::to_string(map.size) + "\r\n\r\n",
                        cancellable);
      }
      if (ok) ok = write_all(out, map.data, map.size, cancellable);
      if (ok && route.multipart) ok = write_text(out, "\r\n", cancellable);
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    if (!ok || route.single) break;
  }
  if (!headers_sent) send_status(out, "500 Internal Server Error", cancellable);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
}

}  // namespace

HttpTestServer::HttpTestServer() : HttpTestServer(Options{}) {}

HttpTestServer::HttpTestServer(Options options) : options_(std::move(options)) {
  if (options_.user) tokens_.push_back(basic_token(*options_.user, options_.password.value_or("")));
  if (options_.tls) make_certificate();
  start();
}

HttpTestServer::~HttpTestServer() {
  stop();
  if (certificate_) g_object_unref(certificate_);
  if (!temp_dir_.empty()) {
    for (const char* name : {"cert.pem", "key.pem"}) {
      g_remove((temp_dir_ + "/" + name).c_str());
    }
    g_rmdir(temp_dir_.c_str());
  }
}

void HttpTestServer::make_certificate() {
  GError* error = nullptr;
  gchar* dir = g_dir_make_tmp("strovix-https-XXXXXX", &error);
  if (!dir) {
    std::string what = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot make a directory for the test certificate: " + what);
  }
  temp_dir_ = dir;
  g_free(dir);
  cert_file_ = temp_dir_ + "/cert.pem";
  const std::string key_file = temp_dir_ + "/key.pem";
  // An EC key keeps generation fast; the address must be in subjectAltName for clients that
  // check the host name.
  std::vector<std::string> args = {"openssl",
                                   "req",
                                   "-x509",
                                   "-newkey",
                                   "ec",
                                   "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1",
                                   "-nodes",
                                   "-keyout",
                                   key_file,
                                   "-out",
                                   cert_file_,
                                   "-days",
                                   "2",
                                   "-subj",
                                   "/CN=127.0.0.1",
                                   "-addext",
                                   "subjectAltName=IP:127.0.0.1"};
  std::vector<gchar*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  gint status = 0;
  gchar* out = nullptr;
  gchar* err = nullptr;
  const gboolean spawned = g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                        nullptr, &out, &err, &status, &error);
  const std::string err_text = err ? err : "";
  g_free(out);
  g_free(err);
  if (!spawned || !g_spawn_check_wait_status(status, nullptr)) {
    std::string what = error ? error->message : err_text;
    if (error) g_error_free(error);
    throw std::runtime_error("openssl could not make the test certificate: " + what);
  }
  certificate_ = g_tls_certificate_new_from_files(cert_file_.c_str(), key_file.c_str(), &error);
  if (!certificate_) {
    std::string what = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    throw std::runtime_error("cannot load the test certificate: " + what);
  }
}

void HttpTestServer::start() {
  std::lock_guard lock(mutex_);
  if (listener_) return;
  GSocketListener* listener = g_socket_listener_new();
  GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
  GSocketAddress* address = g_inet_socket_address_new(loopback, static_cast<guint16>(port_));
  g_object_unref(loopback);
  GSocketAddress* bound = nullptr;
  GError* error = nullptr;
  const gboolean ok = g_socket_listener_add_address(listener, address, G_SOCKET_TYPE_STREAM,
                                                    G_SOCKET_PROTOCOL_TCP, nullptr, &bound, &error);
  g_object_unref(address);
  if (!ok) {
    std::string what = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    g_object_unref(listener);
    throw std::runtime_error("HTTP test server cannot listen: " + what);
  }
  port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
  g_object_unref(bound);
  listener_ = listener;
  cancellable_ = g_cancellable_new();
  accept_thread_ = std::thread(&HttpTestServer::accept_loop, this, listener_, cancellable_);
  pthread_setname_np(accept_thread_.native_handle(), "HttpTestServer");
}

void HttpTestServer::stop() {
  GSocketListener* listener;
  GCancellable* cancellable;
  std::thread accept_thread;
  {
    std::lock_guard lock(mutex_);
    if (!listener_) return;
    listener = listener_;
    cancellable = cancellable_;
    listener_ = nullptr;
    cancellable_ = nullptr;
    accept_thread = std::move(accept_thread_);
  }
  // Cancelling wakes the accept and every blocking read or write of the connections.
  g_cancellable_cancel(cancellable);
  accept_thread.join();
  g_socket_listener_close(listener);
  std::list<std::shared_ptr<Connection>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& c : connections) c->thread.join();
  g_object_unref(listener);
  g_object_unref(cancellable);
}

bool HttpTestServer::running() const {
  std::lock_guard lock(mutex_);
  return listener_ != nullptr;
}

int HttpTestServer::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

std::string HttpTestServer::url(const std::string& path) const {
  const std::string p = !path.empty() && path.front() == '/' ? path : "/" + path;
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port()) +
         p;
}

std::string HttpTestServer::url_with_credentials(const std::string& path) const {
  return url_with_credentials(path, options_.user.value_or(""), options_.password.value_or(""));
}

std::string HttpTestServer::url_with_credentials(const std::string& path, const std::string& user,
                                                 const std::string& password) const {
  const std::string plain = url(path);
  const auto host = plain.find("://") + 3;
  return plain.substr(0, host) + escape_userinfo(user) + ":" + escape_userinfo(password) + "@" +
         plain.substr(host);
}

void HttpTestServer::add_credentials(const std::string& user, const std::string& password) {
  std::lock_guard lock(tokens_mutex_);
  tokens_.push_back(basic_token(user, password));
}

std::vector<HttpTestServer::Seen> HttpTestServer::requests_seen() const {
  std::lock_guard lock(seen_mutex_);
  return seen_;
}

bool HttpTestServer::authorized(const std::string& authorization) const {
  std::lock_guard lock(tokens_mutex_);
  return tokens_.empty() ||
         std::find(tokens_.begin(), tokens_.end(), authorization) != tokens_.end();
}

void HttpTestServer::reap_finished_locked() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done.load()) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void HttpTestServer::accept_loop(GSocketListener* listener, GCancellable* cancellable) {
  int errors = 0;
  while (!g_cancellable_is_cancelled(cancellable) && errors < kMaxAcceptErrors) {
    GError* error = nullptr;
    GSocketConnection* connection =
        g_socket_listener_accept(listener, nullptr, cancellable, &error);
    if (!connection) {
      if (error) g_error_free(error);
      ++errors;
      continue;
    }
    errors = 0;
    std::lock_guard lock(mutex_);
    reap_finished_locked();
    if (static_cast<int>(connections_.size()) >= options_.max_connections) {
      // Over the limit: answer without a thread of its own (plain HTTP only; a TLS client
      // just sees the connection close).
      g_socket_set_timeout(g_socket_connection_get_socket(connection), kSocketTimeoutSeconds);
      if (!options_.tls) {
        send_status(g_io_stream_get_output_stream(G_IO_STREAM(connection)),
                    "503 Service Unavailable", cancellable);
      }
      g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
      g_object_unref(connection);
      continue;
    }
    auto c = std::make_shared<Connection>();
    Connection* raw = c.get();
    c->thread = std::thread([this, connection, cancellable, raw] {
      serve(connection, cancellable);
      g_object_unref(connection);
      raw->done = true;
    });
    connections_.push_back(std::move(c));
  }
}

void HttpTestServer::serve(GSocketConnection* connection, GCancellable* cancellable) {
  // Bounds every read and write, so a silent client cannot hold the thread.
  g_socket_set_timeout(g_socket_connection_get_socket(connection), kSocketTimeoutSeconds);
  GIOStream* stream = G_IO_STREAM(connection);
  GIOStream* tls = nullptr;
  if (options_.tls) {
    tls = g_tls_server_connection_new(stream, certificate_, nullptr);
    if (!tls || !g_tls_connection_handshake(G_TLS_CONNECTION(tls), cancellable, nullptr)) {
      if (tls) g_object_unref(tls);
      g_io_stream_close(stream, nullptr, nullptr);
      return;
    }
    stream = tls;
  }
  GInputStream* in = g_io_stream_get_input_stream(stream);
  GOutputStream* out = g_io_stream_get_output_stream(stream);

  std::string head;
  char chunk[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestBytes) {
    const gssize n = g_input_stream_read(in, chunk, sizeof chunk, cancellable, nullptr);
    if (n <= 0) break;
    head.append(chunk, static_cast<std::size_t>(n));
  }
  const auto request =
      head.find("\r\n\r\n") == std::string::npos ? std::nullopt : parse_request(head);
  if (request) {
    std::lock_guard lock(seen_mutex_);
    seen_.push_back({request->path, request->authorization});
  }
  const auto redirect = request ? options_.redirects.find(request->path) : options_.redirects.end();
  if (!request) {
    send_status(out, "400 Bad Request", cancellable);
  } else if (redirect != options_.redirects.end()) {
    send_status(out, "302 Found", cancellable, "Location: " + redirect->second + "\r\n");
  } else if (request->method != "GET") {
    send_status(out, "405 Method Not Allowed", cancellable);
  } else if (!authorized(request->authorization)) {
    send_status(out, "401 Unauthorized", cancellable,
                "WWW-Authenticate: Basic realm=\"strovix\"\r\n");
  } else if (auto route = route_for(request->path, options_); !route) {
    send_status(out, "404 Not Found", cancellable);
  } else {
    ++requests_;
    if (route->pipeline.empty()) {
      write_text(out,
                 "HTTP/1.1 200 OK\r\nContent-Type: " + route->content_type +
                     "\r\nContent-Length: " + std::to_string(route->body.size()) +
                     "\r\nConnection: close\r\n\r\n" + route->body,
                 cancellable);
    } else {
      stream_route(*route, out, cancellable);
    }
  }
  g_io_stream_close(stream, nullptr, nullptr);
  if (tls) {
    g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
    g_object_unref(tls);
  }
}

}  // namespace strovix::testing
