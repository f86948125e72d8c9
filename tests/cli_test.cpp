// strovix-read as a user runs it: a child process against the built-in RTSP stream, custom
// pipelines, bad URLs and bad arguments; its output is read back and its snapshots decoded.
#include <fcntl.h>
#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "reliability_helpers.hpp"
#include "strovix/gst/handles.hpp"
#include "support/child_process.hpp"
#include "support/rtsp_server.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using strovix::testing::Child;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run_tool(const std::vector<std::string>& args, double timeout = 30.0) {
  Child child(STROVIX_READ_PATH, args);
  EXPECT_TRUE(child.started());
  const int status = child.finish(timeout);
  return {status, child.out, child.err};
}

std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The value of "key" in one of the tool's flat JSON lines.
std::optional<double> number_of(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return std::nullopt;
  const char* begin = line.c_str() + at + key.size() + 3;
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin) return std::nullopt;
  return value;
}

std::string text_of(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "";
  const auto begin = at + key.size() + 4;
  return line.substr(begin, line.find('"', begin) - begin);
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgr;  // rows of width * 3 bytes
  const std::uint8_t* pixel(int x, int y) const {
    return bgr.data() + (static_cast<std::size_t>(y) * width + x) * 3;
  }
};

// Decodes an image file back to BGR with GStreamer.
std::optional<Decoded> decode_image(const std::string& path) {
  GError* raw_error = nullptr;
  GstElement* raw = gst_parse_launch_full(
      "filesrc name=src ! decodebin ! videoconvert ! video/x-raw,format=BGR ! "
      "appsink name=sink sync=false",
      nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &raw_error);
  strovix::GErrorPtr error(raw_error);
  if (!raw) return std::nullopt;
  strovix::ElementPtr pipeline(GST_ELEMENT(gst_object_ref_sink(raw)));
  strovix::ElementPtr src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
  strovix::ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  g_object_set(src.get(), "location", path.c_str(), nullptr);
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  strovix::SamplePtr sample(
      gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 10 * GST_SECOND));
  std::optional<Decoded> out;
  GstVideoInfo info;
  if (sample && gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get()))) {
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      Decoded d;
      d.width = GST_VIDEO_INFO_WIDTH(&info);
      d.height = GST_VIDEO_INFO_HEIGHT(&info);
      const auto stride = static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
      for (int y = 0; y < d.height; ++y) {
        d.bgr.insert(d.bgr.end(), map.data + y * stride, map.data + y * stride + d.width * 3);
      }
      gst_buffer_unmap(buffer, &map);
      out = std::move(d);
    }
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return out;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "strovix-cli-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

constexpr const char* kPassword = "Sup3rSecretPw";

}  // namespace

// The README's main job: frames from the built-in RTSP stream at its 30 fps, fresh, 640x360,
// and the newest of them as a PNG that decodes back to that size.
TEST(StrovixRead, BuiltInStreamAtSourceRateWithPngSnapshot) {
  TempDir dir;
  const std::string png = dir.file("newest.png");
  const Outcome r = run_tool({"--json", "--duration", "4", "--snapshot", png});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  const auto status_lines = lines_with(r.out, "\"type\":\"status\"");
  ASSERT_GE(status_lines.size(), 3u) << r.out;
  std::vector<double> rates;
  // The first second includes the connection; later ones show the delivered rate.
  for (std::size_t i = 1; i < status_lines.size(); ++i) {
    const auto& line = status_lines[i];
    EXPECT_EQ(text_of(line, "status"), "STREAMING") << line;
    EXPECT_EQ(number_of(line, "width"), 640) << line;
    EXPECT_EQ(number_of(line, "height"), 360) << line;
    EXPECT_LT(number_of(line, "age_ms").value_or(1e9), 1000.0) << line;
    EXPECT_EQ(number_of(line, "restarts"), 0) << line;
    EXPECT_EQ(text_of(line, "transport"), "udp") << line;
    rates.push_back(number_of(line, "fps").value_or(0));
    // Known once the server's first sender report has come; loopback: the camera is us.
    ASSERT_NE(line.find("\"capture_latency_ms\":"), std::string::npos) << line;
    if (auto latency = number_of(line, "capture_latency_ms")) {
      EXPECT_GE(*latency, -5.0) << line;
      EXPECT_LE(*latency, 500.0) << line;
    }
  }
  EXPECT_NEAR(median(rates), 30.0, 5.0) << r.out;

  const auto summary = lines_with(r.out, "\"type\":\"summary\"");
  ASSERT_EQ(summary.size(), 1u) << r.out;
  EXPECT_NEAR(number_of(summary[0], "duration_s").value_or(0), 4.0, 0.5);
  EXPECT_GE(number_of(summary[0], "frames").value_or(0), 80);
  EXPECT_EQ(text_of(summary[0], "last_status"), "STREAMING");
  EXPECT_EQ(text_of(summary[0], "snapshot"), png);

  const auto image = decode_image(png);
  ASSERT_TRUE(image) << "snapshot does not decode";
  EXPECT_EQ(image->width, 640);
  EXPECT_EQ(image->height, 360);
}

// A custom pipeline with an odd width (BGR rows need padding) and one flat colour: the JPEG
// must keep the size, the channel order and the rows aligned down to the last one.
TEST(StrovixRead, CustomPipelineJpegSnapshotKeepsSizeAndColour) {
  TempDir dir;
  const std::string jpeg = dir.file("newest.jpeg");
  // ARGB 0xff2040e0: red 0x20, green 0x40, blue 0xe0.
  const Outcome r =
      run_tool({"--pipeline",
                "videotestsrc is-live=true pattern=solid-color foreground-color=0xff2040e0 ! "
                "video/x-raw,format=I420,width=321,height=241,framerate=25/1 ! "
                "appsink max-buffers=1 drop=true",
                "--duration", "3", "--json", "--snapshot", jpeg});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::vector<double> rates;
  for (const auto& line : lines_with(r.out, "\"type\":\"status\"")) {
    rates.push_back(number_of(line, "fps").value_or(0));
    // A description without rtspsrc has no sender reports: no capture time.
    EXPECT_NE(line.find("\"capture_latency_ms\":null"), std::string::npos) << line;
  }
  ASSERT_FALSE(rates.empty()) << r.out;
  EXPECT_NEAR(median(rates), 25.0, 4.0) << r.out;
  const auto summary = lines_with(r.out, "\"type\":\"summary\"");
  ASSERT_EQ(summary.size(), 1u) << r.out;
  EXPECT_NE(summary[0].find("\"capture_latency_median_ms\":null,\"capture_latency_max_ms\":null"),
            std::string::npos)
      << summary[0];

  const auto image = decode_image(jpeg);
  ASSERT_TRUE(image) << "snapshot does not decode";
  ASSERT_EQ(image->width, 321);
  ASSERT_EQ(image->height, 241);
  for (const auto& [x, y] : {std::pair{0, 0}, {160, 120}, {320, 240}, {0, 240}}) {
    const std::uint8_t* p = image->pixel(x, y);
    EXPECT_NEAR(p[0], 0xe0, 16) << "blue at " << x << "," << y;
    EXPECT_NEAR(p[1], 0x40, 16) << "green at " << x << "," << y;
    EXPECT_NEAR(p[2], 0x20, 16) << "red at " << x << "," << y;
  }
}

// The PNG header's width, height, bit depth and colour type (0 grey, 2 RGB).
struct PngHeader {
  int width = 0, height = 0, depth = 0, colour_type = -1;
};

std::optional<PngHeader> png_header(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  unsigned char b[26] = {};
  const bool ok = std::fread(b, 1, sizeof b, f) == sizeof b;
  std::fclose(f);
  if (!ok || std::string(reinterpret_cast<char*>(b + 12), 4) != "IHDR") return std::nullopt;
  auto be32 = [&](int at) {
    return (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
  };
  return PngHeader{be32(16), be32(20), b[24], b[25]};
}

// --size and --format reach the reader, and the snapshot is what was delivered: its size, an
// 8-bit grayscale PNG for gray, and the true colours whatever the channel order.
TEST(StrovixRead, SizeAndFormatShapeTheSnapshot) {
  struct Case {
    std::vector<std::string> args;
    int width, height, colour_type;
  };
  // ARGB 0xff2040e0: red 0x20, green 0x40, blue 0xe0. The built-in stream is 640x360.
  const std::string pipeline =
      "videotestsrc is-live=true pattern=solid-color foreground-color=0xff2040e0 ! "
      "video/x-raw,format=I420,width=640,height=480,framerate=25/1 ! appsink max-buffers=1 "
      "drop=true";
  const std::vector<Case> cases = {
      {{"--size", "320x180"}, 320, 180, 2},
      {{"--size", "320x180", "--format", "gray"}, 320, 180, 0},
      {{"--format=rgb", "--size=0x120"}, 214, 120, 2},  // 213.3, rounded to even
      {{"--pipeline", pipeline, "--format", "rgb", "--size", "101x0"}, 101, 76, 2},
      {{"--pipeline", pipeline, "--format", "bgr"}, 640, 480, 2},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string png = dir.file("frame.png");
    std::vector<std::string> args = {"--duration", "2", "--quiet", "--snapshot", png};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run_tool(args);
    ASSERT_EQ(r.status, 0) << c.args.front() << "\n" << r.out << r.err;
    const auto header = png_header(png);
    ASSERT_TRUE(header) << "no PNG written";
    EXPECT_EQ(header->width, c.width) << c.args.front();
    EXPECT_EQ(header->height, c.height) << c.args.front();
    EXPECT_EQ(header->depth, 8);
    EXPECT_EQ(header->colour_type, c.colour_type) << c.args.front();
    if (c.args.front() == "--pipeline") {
      const auto image = decode_image(png);
      ASSERT_TRUE(image);
      const std::uint8_t* p = image->pixel(image->width / 2, image->height / 2);
      EXPECT_NEAR(p[0], 0xe0, 8) << "blue";
      EXPECT_NEAR(p[1], 0x40, 8) << "green";
      EXPECT_NEAR(p[2], 0x20, 8) << "red";
    }
  }
}

// A JPEG snapshot keeps the true colours whatever the delivered format: RGB frames are not
// encoded as BGR, and gray frames encode as gray.
TEST(StrovixRead, JpegSnapshotOfEveryFormat) {
  struct Case {
    const char* format;
    int blue, green, red;
  };
  // ARGB 0xff2040e0; its full-range luma is about 73.
  const std::vector<Case> cases = {
      {"bgr", 0xe0, 0x40, 0x20}, {"rgb", 0xe0, 0x40, 0x20}, {"gray", 73, 73, 73}};
  TempDir dir;
  for (const Case& c : cases) {
    const std::string jpeg = dir.file(std::string("frame-") + c.format + ".jpg");
    const Outcome r = run_tool(
        {"--pipeline",
         "videotestsrc is-live=true pattern=solid-color foreground-color=0xff2040e0 ! "
         "video/x-raw,format=I420,width=160,height=120,framerate=25/1 ! appsink max-buffers=1 "
         "drop=true",
         "--format", c.format, "--duration", "2", "--quiet", "--snapshot", jpeg});
    ASSERT_EQ(r.status, 0) << c.format << "\n" << r.out << r.err;
    const auto image = decode_image(jpeg);
    ASSERT_TRUE(image) << c.format << ": snapshot does not decode";
    EXPECT_EQ(image->width, 160) << c.format;
    const std::uint8_t* p = image->pixel(80, 60);
    EXPECT_NEAR(p[0], c.blue, 16) << c.format << " blue";
    EXPECT_NEAR(p[1], c.green, 16) << c.format << " green";
    EXPECT_NEAR(p[2], c.red, 16) << c.format << " red";
  }
}

// Flags reach the reader: over TCP with keyframes only, the built-in stream (one keyframe a
// second) delivers about one frame a second; --quiet leaves only the summary.
TEST(StrovixRead, KeyframesOnlyOverTcpQuiet) {
  const Outcome r = run_tool({"--tcp", "--keyframes-only", "--quiet", "--json", "--duration", "4"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(lines_with(r.out, "\"type\":\"status\"").empty()) << r.out;
  EXPECT_TRUE(lines_with(r.err, "[info]").empty()) << r.err;
  const auto summary = lines_with(r.out, "\"type\":\"summary\"");
  ASSERT_EQ(summary.size(), 1u) << r.out;
  const double frames = number_of(summary[0], "frames").value_or(0);
  EXPECT_GE(frames, 2) << summary[0];
  EXPECT_LE(frames, 8) << summary[0];
}

// Ctrl-C ends the run at once with the summary and a clean exit.
TEST(StrovixRead, SigintClosesAndSummarises) {
  Child child(STROVIX_READ_PATH,
              {"--pipeline",
               "videotestsrc is-live=true ! video/x-raw,format=I420,width=64,height=48,"
               "framerate=30/1 ! appsink max-buffers=1 drop=true",
               "--duration", "60"});
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.wait_for_stdout("STREAMING", 10.0)) << child.out << child.err;
  const auto interrupted_at = Clock::now();
  child.signal(SIGINT);
  EXPECT_EQ(child.finish(10.0), 0) << child.out << child.err;
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - interrupted_at).count(), 5.0);
  const auto summary = lines_with(child.out, "summary:");
  ASSERT_EQ(summary.size(), 1u) << child.out;
  EXPECT_NE(summary[0].find("(interrupted)"), std::string::npos) << summary[0];
  EXPECT_NE(summary[0].find("last status STREAMING"), std::string::npos) << summary[0];
}

// A stream that cannot be set up: exit 3 with one line naming the problem, never the password.
TEST(StrovixRead, SetupFailuresExitThreeWithoutCredentials) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::string pw = kPassword;
  const std::vector<Case> cases = {
      {{"file:///x"}, "Unsupported scheme 'file'"},
      {{"ftp://viewer:" + pw + "@host/x"}, "Stream URL: ftp://host/x"},
      {{"--pipeline", "videotestsrc ! nosuchelement ! appsink"}, "nosuchelement"},
      // Nothing listens on the discard port: rtspsrc fails to connect.
      {{"--must-play", "rtsp://viewer:" + pw + "@127.0.0.1:9/cam"}, "failed to start"},
      {{"--tls-ca", "/nonexistent/ca.pem", "rtsps://viewer:" + pw + "@127.0.0.1:9/cam"},
       "Cannot read the TLS CA file '/nonexistent/ca.pem'"},
  };
  for (const auto& c : cases) {
    const Outcome r = run_tool(c.args);
    EXPECT_EQ(r.status, 3) << c.args.back() << "\n" << r.out << r.err;
    const auto message = lines_with(r.err, "strovix-read: cannot set up the stream: ");
    ASSERT_EQ(message.size(), 1u) << r.err;
    EXPECT_NE(message[0].find(c.says), std::string::npos) << message[0];
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ((r.out + r.err).find(pw), std::string::npos) << r.out << r.err;
  }
}

// A run in which no frame arrives is a failure with its own exit code and its cause; it ends
// within a second of its duration whatever the stream does, and its summary's restarts are
// those of its last status line.
TEST(StrovixRead, NoFrameExitsFourWithTheCauseOnTime) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string cause;
  };
  const std::string pw = kPassword;
  const std::vector<Case> cases = {
      // Nothing listens on the discard port; fast back-off, so restarts happen in the run.
      {"down camera",
       {"--backoff", "0.2,0.5,0", "rtsp://viewer:" + pw + "@127.0.0.1:9/cam"},
       "connection refused"},
      // Default back-off: closing would wait for it.
      {"down camera, slow back-off",
       {"rtsp://viewer:" + pw + "@127.0.0.1:9/cam"},
       "connection refused"},
      {"silent pipeline", {"--pipeline", "appsrc is-live=true ! appsink"}, "no error was reported"},
  };
  constexpr double kDuration = 3.0;
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--json", "--duration", "3"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto started = Clock::now();
    const Outcome r = run_tool(args);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(r.status, 4) << c.name << "\n" << r.out << r.err;
    EXPECT_LE(wall, kDuration + 1.0) << c.name;
    const auto message = lines_with(r.err, "strovix-read: no frame arrived");
    ASSERT_EQ(message.size(), 1u) << c.name << "\n" << r.err;
    EXPECT_NE(message[0].find(c.cause), std::string::npos) << message[0];
    EXPECT_EQ((r.out + r.err).find(pw), std::string::npos) << c.name;
    const auto status = lines_with(r.out, "\"type\":\"status\"");
    const auto summary = lines_with(r.out, "\"type\":\"summary\"");
    ASSERT_FALSE(status.empty()) << r.out;
    ASSERT_EQ(summary.size(), 1u) << r.out;
    EXPECT_EQ(number_of(summary[0], "restarts"), number_of(status.back(), "restarts"))
        << c.name << "\n"
        << r.out;
    EXPECT_NEAR(number_of(summary[0], "duration_s").value_or(0), kDuration, 0.3) << summary[0];
    EXPECT_LE(number_of(summary[0], "wall_s").value_or(99), kDuration + 1.0) << summary[0];
    EXPECT_EQ(number_of(summary[0], "frames"), 0.0) << summary[0];
  }
}

// An rtsps camera with a self-signed certificate: refused until trusted with --tls-ca, or
// read with --tls-insecure, which warns. A relative --tls-ca path works too.
TEST(StrovixRead, RtspsTrustOptions) {
  strovix::testing::RtspTestServer::Options options;
  options.tls = true;
  strovix::testing::RtspTestServer server(options);
  server.add_mount("/cam", {.codec = strovix::testing::RtspCodec::MJPEG,
                            .width = 64,
                            .height = 48,
                            .require_auth = true});
  server.start();
  const std::string url = server.url_with_credentials("/cam");
  ASSERT_EQ(url.rfind("rtsps://", 0), 0u) << url;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;  // in stderr
  };
  const std::vector<Case> cases = {
      {{"--tls-ca", server.tls_ca_file()}, 0, ""},
      // Relative to where the program starts (this test's directory, which the child keeps).
      {{"--tls-ca", std::filesystem::relative(server.tls_ca_file()).string()}, 0, ""},
      {{"--tls-insecure"}, 0, "TLS certificate validation is off"},
      {{}, 4, "TLS certificate rejected by this machine"},
  };
  for (const auto& c : cases) {
    // Handshakes and the first picture take seconds under the sanitizers.
    std::vector<std::string> args = {"--json", "--duration",
                                     std::to_string(2 * strovix::reliability::time_scale()),
                                     "--backoff", "0,0.2,0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(url);
    const Outcome r = run_tool(args, 30.0 * strovix::reliability::time_scale());
    const std::string what = c.args.empty() ? "no option" : c.args.front();
    EXPECT_EQ(r.status, c.status) << what << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << what << "\n" << r.err;
    EXPECT_EQ((r.out + r.err).find(server.options().password), std::string::npos) << what;
  }
}

TEST(StrovixRead, BadArgumentsExitTwoWithAHint) {
  const std::string pw = kPassword;
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--latency", "abc"},
      {"--latency", "-5"},
      {"--duration", "0"},
      {"--duration", "nan"},
      {"--snapshot", "frame.bmp"},
      {"--backoff", "1,2"},
      {"--size", "320"},
      {"--size", "-320x180"},
      {"--size", "320x99999"},
      {"--size", "axb"},
      {"--format", "yuv"},
      {"--json=yes"},
      {"--pipeline"},
      {"--tls-ca"},
      {"--tls-ca", ""},
      {"--tls-insecure=yes"},
      {"--tls-ca", "ca.pem", "--tls-insecure"},
      {"rtsp://a/x", "rtsp://viewer:" + pw + "@b/y"},
  };
  for (const auto& args : cases) {
    const Outcome r = run_tool(args, 10.0);
    EXPECT_EQ(r.status, 2) << args.front() << "\n" << r.err;
    EXPECT_NE(r.err.find("strovix-read --help"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(pw), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const Outcome help = run_tool({"--help"}, 10.0);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: strovix-read"), std::string::npos) << help.out;
}
