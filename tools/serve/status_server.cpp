#include "serve/status_server.hpp"

#include <libsoup/soup.h>
#include <pthread.h>

#include <cstring>
#include <future>
#include <map>
#include <stdexcept>
#include <vector>

#include "common/jpeg.hpp"
#include "serve/listener.hpp"
#include "serve/request_guard.hpp"
#include "serve/serve_auth.hpp"
#include "serve/status_page.hpp"

namespace strovix::tools {

struct StatusServer::Published {
  std::shared_ptr<const FleetSample> sample;
  std::string cameras_json;
  std::string metrics;
};

namespace {

constexpr const char* kSnapshotPrefix = "/cameras/";
constexpr const char* kSnapshotSuffix = "/snapshot.jpg";

void respond(SoupServerMessage* msg, guint status, const char* type, const std::string& body) {
  soup_server_message_set_status(msg, status, nullptr);
  SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

void respond_text(SoupServerMessage* msg, guint status, const std::string& text) {
  respond(msg, status, "text/plain; charset=utf-8", text + "\n");
}

GTlsCertificate* load_certificate(const ServeTls& tls) {
  GError* error = nullptr;
  GTlsCertificate* certificate =
      g_tls_certificate_new_from_files(tls.certificate.c_str(), tls.key.c_str(), &error);
  if (!certificate) {
    std::string message = "cannot use the certificate " + tls.certificate + " and key " +
                          tls.key + ": " + (error ? error->message : "unknown error");
    if (error) g_error_free(error);
    throw std::runtime_error(message);
  }
  return certificate;
}

}  // namespace

// Everything here but the constructor's hand-over runs on the server's thread.
struct StatusServer::Loop {
  struct CameraJpeg {
    double timestamp = -1.0;  // of the frame encoded
    std::shared_ptr<const std::string> jpeg;
    bool encoding = false;
    // Paused requests that wait for the encoding under way, each with a reference of ours.
    std::vector<SoupServerMessage*> waiting;
  };
  struct Encoded {
    Loop* loop;
    std::string name;
    double timestamp;
    std::shared_ptr<const std::string> jpeg;  // null: failed
  };

  StatusServer* owner = nullptr;
  ServeOptions options;
  GMainContext* context = nullptr;
  GMainLoop* main_loop = nullptr;
  SoupServer* server = nullptr;
  std::unique_ptr<BasicAuth> auth;
  GTlsCertificate* certificate = nullptr;
  std::unique_ptr<Listener> listener;
  // Host names a loopback-bound server answers to; empty: any.
  std::vector<std::string> allowed_hosts;
  std::map<std::string, CameraJpeg> jpegs;

  // A request's first bytes arrived; its headers, then its answer, each have the time-out.
  static void on_request_started(SoupServer*, SoupServerMessage* msg, gpointer data) {
    g_signal_connect(msg, "got-headers", G_CALLBACK(on_got_headers), data);
    g_signal_connect(msg, "finished", G_CALLBACK(on_finished), data);
  }
  static void on_got_headers(SoupServerMessage* msg, gpointer) {
    Listener::restart_timeout(msg);
    // One request a connection: libsoup 3.2 keeps a connection served through
    // soup_server_accept_iostream alive only while the server has a listener of its own, and
    // loses track of one whose client leaves while it waits for the next request.
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection",
                                 "close");
    if (announces_body(msg)) refuse_body(msg, is_read_method(soup_server_message_get_method(msg)));
  }
  // The time-out now bounds the connection's close.
  static void on_finished(SoupServerMessage* msg, gpointer) { Listener::restart_timeout(msg); }

  bool host_allowed(SoupServerMessage* msg) const {
    if (allowed_hosts.empty()) return true;
    const char* host =
        soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Host");
    // HTTP/1.0 clients may send none; browsers always do.
    if (!host) return true;
    const std::string name = host_part(host);
    for (const auto& allowed : allowed_hosts) {
      if (name == allowed) return true;
    }
    return false;
  }

  static void on_request(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                         gpointer data) {
    try {
      static_cast<Loop*>(data)->handle(msg, path ? path : "");
    } catch (const std::exception& e) {
      respond_text(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, "internal error");
    }
  }

  void handle(SoupServerMessage* msg, const std::string& path) {
    const char* method = soup_server_message_get_method(msg);
    if (path == "/healthz" && is_read_method(method)) {
      respond_text(msg, SOUP_STATUS_OK, "ok");
      return;
    }
    if (!host_allowed(msg)) {
      respond_text(msg, SOUP_STATUS_MISDIRECTED_REQUEST,
                   "this server answers to localhost and its loopback address only");
      return;
    }
    if (auth) {
      const auto verdict = auth->check_header(soup_message_headers_get_one(
          soup_server_message_get_request_headers(msg), "Authorization"));
      SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
      if (verdict == BasicAuth::Verdict::busy) {
        soup_message_headers_replace(headers, "Retry-After", "1");
        respond_text(msg, SOUP_STATUS_SERVICE_UNAVAILABLE,
                     "too many password checks at once: try again");
        return;
      }
      if (verdict == BasicAuth::Verdict::denied) {
        soup_message_headers_replace(headers, "WWW-Authenticate",
                                     "Basic realm=\"strovix-read\", charset=\"UTF-8\"");
        respond_text(msg, SOUP_STATUS_UNAUTHORIZED, "authentication required");
        return;
      }
    }
    if (!is_read_method(method)) {
      soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow",
                                   "GET, HEAD");
      respond_text(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "only GET and HEAD");
      return;
    }
    std::shared_ptr<const Published> published;
    {
      std::lock_guard lock(owner->published_mutex_);
      published = owner->published_;
    }
    if (path == "/" || path == "/index.html") {
      soup_message_headers_replace(soup_server_message_get_response_headers(msg),
                                   "Content-Security-Policy", kStatusPagePolicy);
      respond(msg, SOUP_STATUS_OK, "text/html; charset=utf-8", status_page_html());
    } else if (path == "/api/cameras") {
      respond(msg, SOUP_STATUS_OK, "application/json",
              published ? published->cameras_json : "[]\n");
    } else if (path == "/metrics") {
      respond(msg, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8",
              published ? published->metrics : "");
    } else if (path.rfind(kSnapshotPrefix, 0) == 0 &&
               path.size() > std::strlen(kSnapshotPrefix) + std::strlen(kSnapshotSuffix) &&
               path.compare(path.size() - std::strlen(kSnapshotSuffix), std::string::npos,
                            kSnapshotSuffix) == 0) {
      const std::string name =
          path.substr(std::strlen(kSnapshotPrefix),
                      path.size() - std::strlen(kSnapshotPrefix) - std::strlen(kSnapshotSuffix));
      snapshot(msg, published ? published->sample->find(name) : nullptr);
    } else {
      respond_text(msg, SOUP_STATUS_NOT_FOUND, "not found");
    }
  }

  void snapshot(SoupServerMessage* msg, const CameraSample* camera) {
    if (!camera) {
      respond_text(msg, SOUP_STATUS_NOT_FOUND, "no such camera");
      return;
    }
    if (!camera->newest.image) {
      respond_text(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "no frame yet");
      return;
    }
    auto& entry = jpegs[camera->name];
    if (entry.jpeg && entry.timestamp >= camera->newest.timestamp) {
      respond(msg, SOUP_STATUS_OK, "image/jpeg", *entry.jpeg);
      return;
    }
    // Waits, paused, for the encoder thread; the connection's other requests and every other
    // client go on meanwhile.
    g_object_ref(msg);
    g_signal_connect(msg, "finished", G_CALLBACK(on_abandoned), this);
    g_signal_connect(msg, "disconnected", G_CALLBACK(on_abandoned), this);
    soup_server_message_pause(msg);
    entry.waiting.push_back(msg);
    if (entry.encoding) return;
    entry.encoding = true;
    {
      std::lock_guard lock(owner->jobs_mutex_);
      owner->jobs_.push_back({camera->name, camera->newest});
    }
    owner->jobs_cond_.notify_one();
  }

  // A paused request whose client went away.
  static void on_abandoned(SoupServerMessage* msg, gpointer data) {
    auto* loop = static_cast<Loop*>(data);
    for (auto& [name, entry] : loop->jpegs) {
      auto& w = entry.waiting;
      for (auto it = w.begin(); it != w.end(); ++it) {
        if (*it == msg) {
          w.erase(it);
          g_signal_handlers_disconnect_by_data(msg, loop);
          g_object_unref(msg);
          return;
        }
      }
    }
  }

  static gboolean on_encoded(gpointer data) {
    auto* done = static_cast<Encoded*>(data);
    auto& entry = done->loop->jpegs[done->name];
    entry.encoding = false;
    if (done->jpeg) {
      entry.timestamp = done->timestamp;
      entry.jpeg = done->jpeg;
    }
    for (SoupServerMessage* msg : entry.waiting) {
      g_signal_handlers_disconnect_by_data(msg, done->loop);
      if (done->jpeg) {
        respond(msg, SOUP_STATUS_OK, "image/jpeg", *done->jpeg);
      } else {
        respond_text(msg, SOUP_STATUS_INTERNAL_SERVER_ERROR, "the frame cannot be encoded");
      }
      soup_server_message_unpause(msg);
      g_object_unref(msg);
    }
    entry.waiting.clear();
    return G_SOURCE_REMOVE;
  }

  void release_waiting() {
    for (auto& [name, entry] : jpegs) {
      for (SoupServerMessage* msg : entry.waiting) {
        g_signal_handlers_disconnect_by_data(msg, this);
        g_object_unref(msg);
      }
      entry.waiting.clear();
    }
  }
};

void check_serve_tls(const ServeTls& tls) { g_object_unref(load_certificate(tls)); }

StatusServer::StatusServer(const ServeOptions& options) : loop_(std::make_unique<Loop>()) {
  loop_->owner = this;
  loop_->options = options;
  if (options.auth_file) loop_->auth = std::make_unique<BasicAuth>(*options.auth_file);
  if (is_loopback_host(options.address.host)) {
    loop_->allowed_hosts = {"localhost", "127.0.0.1", "::1"};
    if (options.address.host != "localhost") loop_->allowed_hosts.push_back(options.address.host);
  }
  if (options.tls) loop_->certificate = load_certificate(*options.tls);
  loop_->context = g_main_context_new();
  loop_->main_loop = g_main_loop_new(loop_->context, FALSE);
  std::promise<std::string> listening;
  auto listening_result = listening.get_future();
  thread_ = std::thread([this, &listening] {
    pthread_setname_np(pthread_self(), "strovix-http");
    Loop& loop = *loop_;
    g_main_context_push_thread_default(loop.context);
    // The server's sockets and sources belong to this thread's default context. No version
    // in the Server header: a name without a trailing space keeps libsoup's out.
    loop.server = soup_server_new("server-header", "strovix-read", nullptr);
    soup_server_add_handler(loop.server, nullptr, &Loop::on_request, &loop, nullptr);
    g_signal_connect(loop.server, "request-started", G_CALLBACK(&Loop::on_request_started),
                     &loop);
    try {
      loop.listener = std::make_unique<Listener>(
          loop.server, loop.options.address,
          Listener::Options{.max_connections = loop.options.max_connections,
                            .timeout_ms = loop.options.timeout_ms,
                            .certificate = loop.certificate});
      listening.set_value(loop.listener->url());
    } catch (...) {
      listening.set_exception(std::current_exception());
    }
    if (loop.listener) {
      g_main_loop_run(loop.main_loop);
      // Encodings finished before the encoder stopped are handed over first.
      for (int i = 0; i < 1000 && g_main_context_iteration(loop.context, FALSE); ++i) {
      }
      loop.release_waiting();
    }
    soup_server_disconnect(loop.server);
    loop.listener.reset();
    g_object_unref(loop.server);
    loop.server = nullptr;
    for (int i = 0; i < 1000 && g_main_context_iteration(loop.context, FALSE); ++i) {
    }
    g_main_context_pop_thread_default(loop.context);
  });
  try {
    url_ = listening_result.get();
  } catch (...) {
    thread_.join();
    g_main_loop_unref(loop_->main_loop);
    g_main_context_unref(loop_->context);
    if (loop_->certificate) g_object_unref(loop_->certificate);
    throw;
  }
  encoder_ = std::thread([this] {
    pthread_setname_np(pthread_self(), "strovix-jpeg");
    encode_loop();
  });
}

StatusServer::~StatusServer() {
  {
    std::lock_guard lock(jobs_mutex_);
    stop_encoding_ = true;
  }
  jobs_cond_.notify_all();
  encoder_.join();
  g_main_context_invoke(
      loop_->context,
      [](gpointer data) {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
      },
      loop_->main_loop);
  thread_.join();
  g_main_loop_unref(loop_->main_loop);
  g_main_context_unref(loop_->context);
  if (loop_->certificate) g_object_unref(loop_->certificate);
}

void StatusServer::publish(std::shared_ptr<const FleetSample> sample) {
  auto published = std::make_shared<Published>();
  published->cameras_json = render_cameras_json(*sample);
  published->metrics = render_metrics(*sample);
  published->sample = std::move(sample);
  std::lock_guard lock(published_mutex_);
  published_ = std::move(published);
}

// On the encoder thread.
void StatusServer::encode_loop() {
  for (;;) {
    EncodeJob job;
    {
      std::unique_lock lock(jobs_mutex_);
      jobs_cond_.wait(lock, [this] { return stop_encoding_ || !jobs_.empty(); });
      if (stop_encoding_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    auto* done = new Loop::Encoded{loop_.get(), job.name, job.frame.timestamp, nullptr};
    try {
      done->jpeg = std::make_shared<const std::string>(encode_jpeg(*job.frame.image));
    } catch (const std::exception&) {
      // Answered 500 on the server's thread.
    }
    g_main_context_invoke_full(loop_->context, G_PRIORITY_DEFAULT, &Loop::on_encoded, done,
                               [](gpointer data) { delete static_cast<Loop::Encoded*>(data); });
  }
}

}  // namespace strovix::tools
