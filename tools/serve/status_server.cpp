#include "serve/status_server.hpp"

#include <libsoup/soup.h>
#include <pthread.h>

#include <cstring>
#include <future>
#include <map>
#include <stdexcept>
#include <vector>

#include "common/jpeg.hpp"
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

// GLib's own listen backlog (10) drops connections when tens of clients connect at once, and
// each dropped one waits a second for its retry: the socket is made here with a longer one.
constexpr int kListenBacklog = 256;

gboolean listen(SoupServer* server, const ServeAddress& address, GError** error) {
  // "*": an IPv6 socket, which GLib makes dual-stack, so IPv4 clients reach it too.
  const std::string host = address.host == "*"           ? "::"
                           : address.host == "localhost" ? "127.0.0.1"
                                                         : address.host;
  GInetAddress* ip = g_inet_address_new_from_string(host.c_str());
  if (!ip) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                "'%s' is no IP address (nor localhost or *)", address.host.c_str());
    return FALSE;
  }
  GSocketAddress* socket_address =
      g_inet_socket_address_new(ip, static_cast<guint16>(address.port));
  g_object_unref(ip);
  GSocket* socket = g_socket_new(g_socket_address_get_family(socket_address), G_SOCKET_TYPE_STREAM,
                                 G_SOCKET_PROTOCOL_TCP, error);
  gboolean ok = socket != nullptr;
  if (ok) {
    g_socket_set_listen_backlog(socket, kListenBacklog);
    ok = g_socket_bind(socket, socket_address, TRUE, error) && g_socket_listen(socket, error) &&
         soup_server_listen_socket(server, socket, SoupServerListenOptions(0), error);
    g_object_unref(socket);
  }
  g_object_unref(socket_address);
  return ok;
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
  GMainContext* context = nullptr;
  GMainLoop* main_loop = nullptr;
  SoupServer* server = nullptr;
  std::map<std::string, CameraJpeg> jpegs;

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
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD) {
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

StatusServer::StatusServer(const ServeAddress& address) : loop_(std::make_unique<Loop>()) {
  loop_->owner = this;
  loop_->context = g_main_context_new();
  loop_->main_loop = g_main_loop_new(loop_->context, FALSE);
  std::promise<std::string> listening;
  auto listening_result = listening.get_future();
  thread_ = std::thread([this, address, &listening] {
    pthread_setname_np(pthread_self(), "strovix-http");
    Loop& loop = *loop_;
    g_main_context_push_thread_default(loop.context);
    // The server's sockets and sources belong to this thread's default context.
    loop.server = soup_server_new("server-header", "strovix-read ", nullptr);
    soup_server_add_handler(loop.server, nullptr, &Loop::on_request, &loop, nullptr);
    GError* error = nullptr;
    const gboolean ok = listen(loop.server, address, &error);
    if (!ok) {
      listening.set_exception(
          std::make_exception_ptr(std::runtime_error(error ? error->message : "cannot listen")));
      if (error) g_error_free(error);
    } else {
      std::string url;
      GSList* uris = soup_server_get_uris(loop.server);
      if (uris) {
        char* text = g_uri_to_string(static_cast<GUri*>(uris->data));
        url = text;
        g_free(text);
      }
      g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
      listening.set_value(url);
      g_main_loop_run(loop.main_loop);
      // Encodings finished before the encoder stopped are handed over first.
      for (int i = 0; i < 1000 && g_main_context_iteration(loop.context, FALSE); ++i) {
      }
      loop.release_waiting();
    }
    soup_server_disconnect(loop.server);
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
