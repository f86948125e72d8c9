#include "serve/request_guard.hpp"

namespace strovix::tools {
namespace {

// A refused connection, kept until its client has read the answer and left.
struct Refusal {
  GIOStream* stream = nullptr;
  GCancellable* cancellable = nullptr;
  GSource* timer = nullptr;
  std::string text;
  char sink[4096];
  std::size_t drained = 0;
};
// What a refused client may still send after the answer is read and dropped, up to this much
// or this long, so that closing does not reset the connection before the answer is read.
constexpr std::size_t kMaxDrainBytes = 256 * 1024;
constexpr unsigned kDrainMs = 2000;

void end_refusal(Refusal* r) {
  g_source_destroy(r->timer);
  g_source_unref(r->timer);
  g_object_unref(r->cancellable);
  g_object_unref(r->stream);
  delete r;
}

void on_drained(GObject* source, GAsyncResult* result, gpointer data) {
  auto* r = static_cast<Refusal*>(data);
  const gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
  if (n <= 0 || (r->drained += static_cast<std::size_t>(n)) >= kMaxDrainBytes) {
    end_refusal(r);
    return;
  }
  g_input_stream_read_async(G_INPUT_STREAM(source), r->sink, sizeof(r->sink), G_PRIORITY_LOW,
                            r->cancellable, &on_drained, r);
}

void on_refused(GObject* source, GAsyncResult* result, gpointer data) {
  auto* r = static_cast<Refusal*>(data);
  if (!g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr)) {
    end_refusal(r);
    return;
  }
  g_input_stream_read_async(g_io_stream_get_input_stream(r->stream), r->sink, sizeof(r->sink),
                            G_PRIORITY_LOW, r->cancellable, &on_drained, r);
}

}  // namespace

void refuse_body(SoupServerMessage* msg, bool method_allowed) {
  GIOStream* stream = soup_server_message_steal_connection(msg);
  if (!stream) return;
  auto* r = new Refusal;
  r->stream = stream;
  r->cancellable = g_cancellable_new();
  r->text = method_allowed ? "HTTP/1.1 413 Content Too Large\r\n"
                           : "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\n";
  r->text += "Connection: close\r\nContent-Length: 0\r\n\r\n";
  r->timer = g_timeout_source_new(kDrainMs);
  g_source_set_callback(
      r->timer,
      [](gpointer data) {
        g_cancellable_cancel(static_cast<GCancellable*>(data));
        return G_SOURCE_REMOVE;
      },
      r->cancellable, nullptr);
  g_source_attach(r->timer, g_main_context_get_thread_default());
  g_output_stream_write_all_async(g_io_stream_get_output_stream(stream), r->text.data(),
                                  r->text.size(), G_PRIORITY_DEFAULT, r->cancellable, &on_refused,
                                  r);
}

bool announces_body(SoupServerMessage* msg) {
  SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
  switch (soup_message_headers_get_encoding(headers)) {
    case SOUP_ENCODING_NONE:
      return false;
    case SOUP_ENCODING_CONTENT_LENGTH:
      return soup_message_headers_get_content_length(headers) > 0;
    default:
      return true;
  }
}

bool is_read_method(const char* method) {
  return method == SOUP_METHOD_GET || method == SOUP_METHOD_HEAD;
}

std::string host_part(const char* header) {
  std::string host = header;
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find(']');
    host = close == std::string::npos ? host : host.substr(1, close - 1);
  } else if (const auto colon = host.find(':');
             colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
    host.resize(colon);
  }
  for (auto& c : host) c = g_ascii_tolower(c);
  return host;
}

}  // namespace strovix::tools
