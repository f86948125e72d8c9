// Bad input and credentials. Every malformed URL, description or option yields a clear error
// or a stream that retries, quickly, with no GLib warning and nothing left running; nothing
// in a URL can reach a pipeline description or a request header. Passwords never appear in
// log lines, error messages or stderr.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.hpp"
#include "reliability_helpers.hpp"
#include "strovix/errors.hpp"
#include "strovix/stream_reader/gst.hpp"
#include "support/http_server.hpp"
#include "support/process_stats.hpp"
#include "support/rtsp_server.hpp"

using namespace strovix;
using namespace strovix::reliability;
namespace st = strovix::testing;
namespace fs = std::filesystem;

namespace {

// A loopback listener that keeps whatever clients send, to see what a URL turns into on the
// wire.
class CaptureListener {
 public:
  CaptureListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("capture listener: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~CaptureListener() {
    stop_.store(true);
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  std::string received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  void run() {
    // Bounded by the owner's lifetime; each wait is short so the stop flag is seen.
    while (!stop_.load()) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      pollfd c{client, POLLIN, 0};
      char buf[4096];
      for (int i = 0; i < 20 && ::poll(&c, 1, 50) > 0; ++i) {
        const ssize_t n = ::recv(client, buf, sizeof(buf), 0);
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        received_.append(buf, static_cast<std::size_t>(n));
      }
      ::close(client);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string received_;
  std::thread thread_;
};

enum class Expect { SETUP_ERROR, OPTION_ERROR, RETRIES };

struct BadInput {
  const char* name;
  std::string url;
  std::optional<std::string> description;
  RuntimeOptions runtime;
  Expect expect;
};

// Where an injected filesink would write; a fresh directory per process.
const fs::path& pwned_dir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("strovix-injection-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

std::string pwned(const char* name) { return (pwned_dir() / name).string(); }

std::vector<BadInput> bad_inputs(int capture_port) {
  const std::string capture = "127.0.0.1:" + std::to_string(capture_port);
  const std::string mib(1 << 20, 'a');
  const RuntimeOptions none;
  std::vector<BadInput> v = {
      // URLs
      {"empty_url", "", {}, none, Expect::SETUP_ERROR},
      {"scheme_only", "rtsp://", {}, none, Expect::SETUP_ERROR},
      {"http_scheme_only", "http://", {}, none, Expect::SETUP_ERROR},
      {"ipv6_unclosed_bracket", "rtsp://[::1/x", {}, none, Expect::RETRIES},
      {"ipv6_extra_bracket", "rtsp://[::1]]:9/x", {}, none, Expect::RETRIES},
      {"http_ipv6_unclosed_bracket", "http://[127.0.0.1/x", {}, none, Expect::RETRIES},
      {"port_99999", "rtsp://127.0.0.1:99999/x", {}, none, Expect::RETRIES},
      {"http_port_99999", "http://127.0.0.1:99999/x", {}, none, Expect::RETRIES},
      {"port_negative", "rtsp://127.0.0.1:-1/x", {}, none, Expect::RETRIES},
      // Without "//" nothing delimits a password: refused, quoting only the scheme.
      {"no_slashes", "rtsp:127.0.0.1/x", {}, none, Expect::SETUP_ERROR},
      {"bad_percent_escape", "rtsp://127.0.0.1:9/%zz%", {}, none, Expect::RETRIES},
      {"invalid_utf8", "http://127.0.0.1:9/\xff\xfe", {}, none, Expect::SETUP_ERROR},
      {"space_in_password", "http://user:pa ss@127.0.0.1:9/x", {}, none, Expect::RETRIES},
      {"one_mib_url", "rtsp://127.0.0.1:9/" + mib, {}, none, Expect::RETRIES},
      {"http_one_mib_url", "http://127.0.0.1:9/" + mib, {}, none, Expect::RETRIES},
      {"nul_inside", std::string("rtsp://127.0.0.1:9/x\0\" ! filesink location=", 43) +
                         pwned("nul"),
       {}, none, Expect::SETUP_ERROR},
      {"crlf_header_injection", "rtsp://" + capture + "/x\r\nX-Injected: yes", {}, none,
       Expect::SETUP_ERROR},
      {"http_crlf_header_injection", "http://" + capture + "/x\r\nX-Injected: yes", {}, none,
       Expect::SETUP_ERROR},
      {"newline_header_injection", "rtsp://" + capture + "/x\nX-Injected: yes", {}, none,
       Expect::SETUP_ERROR},
      {"tab_in_url", "rtsp://" + capture + "/x\tX", {}, none, Expect::SETUP_ERROR},
      {"no_host_with_port", "http://user@:80/x", {}, none, Expect::SETUP_ERROR},
      {"quote_pipeline_injection",
       "rtsp://127.0.0.1:9/x\" ! filesink location=" + pwned("rtsp-quote"), {}, none,
       Expect::RETRIES},
      {"http_quote_pipeline_injection",
       "http://127.0.0.1:9/x\" ! filesink location=" + pwned("http-quote"), {}, none,
       Expect::RETRIES},
      {"bare_pipeline_injection",
       "rtsp://127.0.0.1:9/x ! filesink location=" + pwned("rtsp-bare"), {}, none,
       Expect::RETRIES},
      {"single_quote_injection",
       "rtsp://127.0.0.1:9/x' ! filesink location=" + pwned("rtsp-single"), {}, none,
       Expect::RETRIES},
      {"file_scheme", "file:///etc/passwd", {}, none, Expect::SETUP_ERROR},
      {"fd_scheme", "fd://0", {}, none, Expect::SETUP_ERROR},
      {"v4l2_scheme", "v4l2:///dev/video0", {}, none, Expect::SETUP_ERROR},
      {"udp_scheme", "udp://127.0.0.1:5000", {}, none, Expect::SETUP_ERROR},
      {"rtmp_scheme", "rtmp://127.0.0.1:9/x", {}, none, Expect::SETUP_ERROR},
      {"rtsps_refused", "rtsps://127.0.0.1:9/x", {}, none, Expect::RETRIES},
      {"leading_space", " rtsp://127.0.0.1:9/x", {}, none, Expect::SETUP_ERROR},
      {"javascript_scheme", "javascript:alert(1)", {}, none, Expect::SETUP_ERROR},
      {"scheme_with_pipeline", "filesrc location=/etc/passwd ! appsink", {}, none,
       Expect::SETUP_ERROR},
      // Descriptions
      {"empty_description", "test://d", "", none, Expect::SETUP_ERROR},
      {"bangs", "test://d", "!!!", none, Expect::SETUP_ERROR},
      {"unknown_element", "test://d", "videotestsrc ! strovixnosuchelement ! appsink", none,
       Expect::SETUP_ERROR},
      {"no_appsink", "test://d", "videotestsrc ! fakesink", none, Expect::SETUP_ERROR},
      {"empty_link", "test://d", "videotestsrc ! ! appsink", none, Expect::SETUP_ERROR},
      {"appsink_linked_onwards", "test://d", "videotestsrc ! appsink ! fakesink", none,
       Expect::SETUP_ERROR},
      {"missing_file", "test://d", "filesrc location=/nonexistent/strovix ! appsink", none,
       Expect::RETRIES},
      {"unconvertible_format", "test://d",
       "videotestsrc ! video/x-raw,format=GRAY8,width=8,height=8 ! appsink", none,
       Expect::RETRIES},
      {"appsink_alone", "test://d", "appsink", none, Expect::RETRIES},
      // Run-time options
      {"option_double_for_bool", "test://o", "videotestsrc ! appsink",
       {{"keyframes_only", 1.0}}, Expect::OPTION_ERROR},
      {"option_string_for_bool", "test://o", "videotestsrc ! appsink",
       {{"keyframes_only", std::string("true")}}, Expect::OPTION_ERROR},
      {"option_int_for_bool", "test://o", "videotestsrc ! appsink",
       {{"keyframes_only", std::int64_t{1}}}, Expect::OPTION_ERROR},
      {"option_unknown", "test://o", "videotestsrc ! appsink", {{"fps", 10.0}},
       Expect::OPTION_ERROR},
      {"option_empty_name", "test://o", "videotestsrc ! appsink", {{"", true}},
       Expect::OPTION_ERROR},
      {"option_wrong_case", "rtsp://127.0.0.1:9/x", {}, {{"KEYFRAMES_ONLY", true}},
       Expect::OPTION_ERROR},
  };
  return v;
}

TEST(BadInput, EachYieldsAClearErrorOrARetryingStreamQuicklyAndLeavesNothingRunning) {
  CaptureListener listener;
  const auto cases = bad_inputs(listener.port());
  ASSERT_GE(cases.size(), 30u);
  const double scale = time_scale();
  auto capture = std::make_shared<LineCaptureSink>();
  // A 1 MiB URL is the logger's name on every line: keep the console out of it.
  QuietConsole quiet(capture);
  int errors = 0, retrying = 0;
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.name);
    capture->clear();
    GstStreamReader::Options o;
    o.pipeline_str = c.description;
    o.base_backoff_seconds = 0.05;
    o.max_backoff_seconds = 0.1;
    o.backoff_randomness_seconds = 0.0;
    o.state_change_timeout = 2.0;
    // Silent streams are restarted too, within the same second.
    o.frame_timeout = 0.5;
    std::unique_ptr<GstStreamReader> reader;
    std::string error;
    bool setup_error = false, option_error = false;
    const double started = steady_seconds();
    try {
      reader = std::make_unique<GstStreamReader>(200, c.url, c.runtime, o);
    } catch (const StreamSetupError& e) {
      setup_error = true;
      error = e.what();
    } catch (const RuntimeOptionError& e) {
      option_error = true;
      error = e.what();
    }
    const double construction = steady_seconds() - started;
    EXPECT_LE(construction, 1.0 * scale);
    switch (c.expect) {
      case Expect::SETUP_ERROR:
        EXPECT_TRUE(setup_error);
        EXPECT_FALSE(error.empty());
        ++errors;
        break;
      case Expect::OPTION_ERROR:
        EXPECT_TRUE(option_error);
        EXPECT_FALSE(error.empty());
        ++errors;
        break;
      case Expect::RETRIES:
        ASSERT_TRUE(reader) << "threw: " << error;
        // The failure is noticed and a restart begins within a second of construction.
        EXPECT_TRUE(capture->wait_for("Shutting the pipeline down...",
                                      1.0 * scale - (steady_seconds() - started)))
            << "no restart within 1 s";
        EXPECT_NE(reader->status(), StreamStatus::CLOSED);
        ++retrying;
        break;
    }
    // A message is quoted in logs: it must not carry a whole 1 MiB URL.
    EXPECT_LT(error.size(), 4096u);
    timed(std::string("destroying ") + c.name, 30.0 * scale, [&] { reader.reset(); });
    EXPECT_EQ(st::reader_threads(), 0);
  }
  // No description was ever built from a URL: no injected element ran.
  for (const auto& entry : fs::directory_iterator(pwned_dir())) {
    ADD_FAILURE() << "a URL made a pipeline write " << entry.path();
  }
  fs::remove_all(pwned_dir());
  // No line break in a URL became a header of a request.
  const std::string wire = listener.received();
  EXPECT_EQ(wire.find("\nX-Injected"), std::string::npos) << wire;
  figure(std::to_string(cases.size()) + " bad inputs: " + std::to_string(errors) +
         " clear errors, " + std::to_string(retrying) + " retrying streams; " +
         std::to_string(wire.size()) + " bytes reached the capture listener");
}

// ---- credentials ---------------------------------------------------------------------------

constexpr const char* kUser = "camuser";
// Characters that need escaping in a URL, so the raw, escaped and decoded forms all differ.
constexpr const char* kPassword = "Zq9#p@ss:w/rd%x";
constexpr const char* kWrongPassword = "Wr0ng!Secret$42";

std::string base64(const std::string& text) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
  std::string out = encoded;
  g_free(encoded);
  return out;
}

std::string escaped(const std::string& text) {
  gchar* e = g_uri_escape_string(text.c_str(), nullptr, FALSE);
  std::string out = e;
  g_free(e);
  return out;
}

// Every form in which a password could leak.
std::vector<std::string> leak_forms(const std::string& password) {
  return {password, escaped(password), base64(std::string(kUser) + ":" + password),
          base64(password)};
}

struct CredentialCase {
  const char* name;
  bool rtsp;
  bool good_password;
};

class Credentials : public ::testing::TestWithParam<CredentialCase> {};

TEST_P(Credentials, NoPasswordInLogsErrorsOrStderr) {
  const CredentialCase& c = GetParam();
  const double scale = time_scale();
  const std::string password = c.good_password ? kPassword : kWrongPassword;
  // GStreamer's own debug output (which quotes whole URLs) is off unless GST_DEBUG asks.
  if (!g_getenv("GST_DEBUG")) {
    EXPECT_EQ(gst_debug_get_default_threshold(), GST_LEVEL_NONE);
  }

  std::unique_ptr<st::RtspTestServer> rtsp;
  std::unique_ptr<st::HttpTestServer> http;
  std::string url;
  if (c.rtsp) {
    st::RtspTestServer::Options so;
    so.user = kUser;
    so.password = kPassword;
    rtsp = std::make_unique<st::RtspTestServer>(so);
    rtsp->add_mount("/secure", {.codec = st::RtspCodec::H264,
                                .width = 160,
                                .height = 120,
                                .fps = 15,
                                .key_int_max = 15,
                                .require_auth = true});
    rtsp->start();
    url = rtsp->url_with_credentials("/secure", kUser, password);
  } else {
    st::HttpTestServer::Options ho;
    ho.width = 160;
    ho.height = 120;
    ho.user = kUser;
    ho.password = kPassword;
    http = std::make_unique<st::HttpTestServer>(ho);
    url = http->url_with_credentials("/mjpeg", kUser, password);
  }

  ScopedLogCapture log;
  std::vector<std::string> messages;
  ::testing::internal::CaptureStderr();
  {
    GstStreamReader::Options o;
    o.base_backoff_seconds = 0.0;
    o.max_backoff_seconds = 0.2;
    o.backoff_randomness_seconds = 0.0;
    GstStreamReader reader(210, url, {}, o);
    if (c.good_password) {
      EXPECT_TRUE(next_frame(reader, nullptr, 20.0 * scale)) << "no frame with the password";
    } else {
      EXPECT_TRUE(log->wait_for_count("Shutting the pipeline down...", 2, 20.0 * scale));
      EXPECT_FALSE(reader.latest_frame().image);
    }
    // A failed must_play start quotes its stream in the error it throws.
    o.must_play = true;
    o.state_change_timeout = 0.5;
    try {
      GstStreamReader failing(211, c.good_password ? url : url + "-nosuchpath", {}, o);
    } catch (const std::exception& e) {
      messages.emplace_back(e.what());
    }
  }
  // An unsupported scheme quotes the URL in its message.
  try {
    GstStreamReader bad(212, "rtmp" + url.substr(url.find("://")), {});
  } catch (const std::exception& e) {
    messages.emplace_back(e.what());
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  if (rtsp) {
    EXPECT_TRUE(wait_for_clients_to_leave(*rtsp, 10.0 * scale));
  }

  const auto lines = log->lines();
  EXPECT_FALSE(lines.empty());
  for (const std::string& secret : leak_forms(password)) {
    for (const auto& line : lines) {
      EXPECT_EQ(line.text.find(secret), std::string::npos) << line.text;
      EXPECT_EQ(line.logger_name.find(secret), std::string::npos) << line.logger_name;
    }
    for (const auto& m : messages) EXPECT_EQ(m.find(secret), std::string::npos) << m;
    EXPECT_EQ(err.find(secret), std::string::npos) << "stderr quotes a password";
  }
  // The user name may appear; the point is that the rest of the URL still identifies it.
  figure(std::string(c.name) + ": " + std::to_string(lines.size()) + " log lines, " +
         std::to_string(err.size()) + " bytes of stderr, " + std::to_string(messages.size()) +
         " error messages checked; no password form found");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Credentials,
    ::testing::Values(CredentialCase{"rtsp_good_password", true, true},
                      CredentialCase{"rtsp_bad_password", true, false},
                      CredentialCase{"http_good_password", false, true},
                      CredentialCase{"http_bad_password", false, false}),
    [](const ::testing::TestParamInfo<CredentialCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
