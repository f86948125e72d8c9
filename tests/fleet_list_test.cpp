// The fleet's pure parts: list lines with per-camera options, what a new list changes, and
// how cameras move when the shard count grows; and the JSON log line format.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "fleet/camera_list.hpp"
#include "fleet/fleet_members.hpp"
#include "fleet/shard.hpp"
#include "logging/debug_redaction.hpp"
#include "strovix/logger.hpp"

namespace {

using namespace strovix;
using namespace strovix::tools;

constexpr const char* kPassword = "L1stSecretPw";

std::string option(const std::vector<std::pair<std::string, std::string>>& options,
                   const std::string& key) {
  for (const auto& [k, v] : options) {
    if (k == key) return v;
  }
  return "<missing>";
}

// Each line against command-line defaults of --tcp --tls-ca /cli/ca.pem: the options it
// ends up with, or the error it gets (with its line number and never the password).
TEST(FleetList, PerCameraOptionsOverrideTheCommandLine) {
  ReadArgs defaults;
  defaults.tcp = true;
  defaults.tls_ca = "/cli/ca.pem";
  const std::string url = std::string("rtsp://viewer:") + kPassword + "@10.0.0.1/s";
  struct Case {
    std::string options;
    std::map<std::string, std::string> expect;  // empty: an error is expected
    std::string error;
  };
  const std::vector<Case> cases = {
      {"", {{"tcp", "true"}, {"size", ""}, {"format", "bgr"}, {"tls-ca", "/cli/ca.pem"}}, ""},
      {"tcp=false keyframes-only", {{"tcp", "false"}, {"keyframes-only", "true"}}, ""},
      {"tcp=no keyframes-only=on", {{"tcp", "false"}, {"keyframes-only", "true"}}, ""},
      {"size=640x0 format=gray", {{"size", "640x0"}, {"format", "gray"}}, ""},
      {"format=rgb latency=50", {{"format", "rgb"}, {"latency", "50"}}, ""},
      {"backoff=0.5,4,0", {{"backoff", "0.5,4,0"}}, ""},
      {"tls-insecure", {{"tls-insecure", "true"}, {"tls-ca", ""}}, ""},
      {"tls-ca=/cam/ca.pem", {{"tls-ca", "/cam/ca.pem"}, {"tls-insecure", "false"}}, ""},
      // Later options win over earlier ones of the same key.
      {"size=320x240 size=160x120", {{"size", "160x120"}}, ""},
      {"speed=fast", {}, ":2: camera 'cam': 'speed' is not an option"},
      {"Speed", {}, ":2: more than NAME and URL on the line of camera 'cam'"},
      {"x@y:z", {}, "a field is not an option KEY=VALUE"},
      {"size", {}, ":2: camera 'cam': option 'size' needs a value"},
      {"size=big", {}, ":2: camera 'cam': bad size: --size needs WIDTHxHEIGHT"},
      {"format=yuv", {}, "bad format: --format needs bgr, rgb or gray"},
      {"latency=-1", {}, "bad latency"},
      {"backoff=1,2", {}, "bad backoff"},
      {"tcp=maybe", {}, "bad tcp: tcp needs true or false, not 'maybe'"},
      {"tls-ca=", {}, "bad tls-ca"},
      {"tls-ca=/a.pem tls-insecure", {}, "tls-ca and tls-insecure contradict each other"},
  };
  for (const auto& c : cases) {
    const std::string text = "# cameras\ncam " + url + " " + c.options + "\n";
    if (c.expect.empty()) {
      try {
        parse_camera_list(text, "list.txt");
        ADD_FAILURE() << "accepted: " << c.options;
      } catch (const CameraListError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("list.txt:2: ", 0), 0u) << what;
        EXPECT_NE(what.find(c.error), std::string::npos) << c.options << ": " << what;
        EXPECT_EQ(what.find(kPassword), std::string::npos) << what;
      }
      continue;
    }
    const auto cameras = parse_camera_list(text, "list.txt");
    ASSERT_EQ(cameras.size(), 1u);
    const auto effective = effective_options(camera_args(defaults, cameras[0]));
    for (const auto& [key, value] : c.expect) {
      EXPECT_EQ(option(effective, key), value) << c.options << ": " << key;
    }
  }
}

std::vector<Wanted> wanted(const std::string& text) {
  std::vector<Wanted> out;
  for (auto& camera : parse_camera_list(text, "list")) {
    Wanted w{camera, camera_args({}, camera), {}};
    w.options = effective_options(w.args);
    out.push_back(std::move(w));
  }
  return out;
}

// Cameras are matched by name; a new URL or any effective option makes a change, a new line
// number or an option spelled otherwise with the same effect does not.
TEST(FleetList, ReloadPlanMatchesByNameUrlAndEffectiveOptions) {
  const auto old = wanted(
      "a rtsp://h/a\nb rtsp://h/b tcp\nc rtsp://h/c\nd rtsp://h/d size=320x240\ne rtsp://h/e\n");
  const auto next = wanted(
      "# moved down a line\n"
      "b rtsp://h/b tcp=yes\na rtsp://h/a tcp=false\nc rtsp://h/c2\nd rtsp://h/d size=320x0\n"
      "f rtsp://h/f\n");
  const auto plan = plan_reload(old, next);
  EXPECT_EQ(plan.kept, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(plan.changed, (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(plan.added, (std::vector<std::string>{"f"}));
  EXPECT_EQ(plan.removed, (std::vector<std::string>{"e"}));
  const auto same = plan_reload(next, next);
  EXPECT_EQ(same.kept.size(), next.size());
  EXPECT_TRUE(same.added.empty() && same.removed.empty() && same.changed.empty());
}

// Growing from 3 to 4 shards: the 4 shards partition the list, and every camera that moves
// goes to the new shard, so the old ones only drop cameras.
TEST(FleetList, GrowingTheShardCountOnlyMovesCamerasToTheNewShard) {
  std::string text;
  for (int i = 0; i < 48; ++i)
    text += "cam" + std::to_string(i) + " rtsp://h/" + std::to_string(i) + "\n";
  const auto cameras = parse_camera_list(text, "list");
  std::map<std::string, int> before;
  for (int k = 0; k < 3; ++k) {
    for (const auto& c : select_shard(cameras, {k, 3, ""})) before[c.name] = k;
  }
  std::map<std::string, int> after;
  for (int k = 0; k < 4; ++k) {
    for (const auto& c : select_shard(cameras, {k, 4, ""})) {
      EXPECT_EQ(after.count(c.name), 0u) << c.name << " in two shards";
      after[c.name] = k;
    }
  }
  ASSERT_EQ(before.size(), cameras.size());
  ASSERT_EQ(after.size(), cameras.size());
  int moved = 0;
  for (const auto& [name, k] : after) {
    if (before.at(name) == k) continue;
    ++moved;
    EXPECT_EQ(k, 3) << name << " moved between old shards";
  }
  EXPECT_GT(moved, 0);
  EXPECT_LT(moved, 24);
  // A replica started before the count grew holds nothing, and is no error.
  EXPECT_TRUE(select_shard(cameras, {3, 3, ""}).empty());
}

TEST(FleetList, ShardCountFiles) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("strovix-shards-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto file = (dir / "count").string();
  const std::vector<std::pair<std::string, int>> cases = {
      {"4", 4}, {" 12\n", 12}, {"1", 1}, {"0", -1}, {"-2", -1}, {"3 4", -1}, {"", -1}, {"x", -1}};
  for (const auto& [text, count] : cases) {
    std::ofstream(file) << text;
    if (count > 0) {
      EXPECT_EQ(read_shard_count(file), count) << text;
      const Shard shard = parse_shard("2/@" + file);
      EXPECT_EQ(shard.index, 2);
      EXPECT_EQ(shard.count, count);
      EXPECT_EQ(shard.count_file, file);
    } else {
      EXPECT_THROW(read_shard_count(file), std::invalid_argument) << text;
    }
  }
  EXPECT_THROW(read_shard_count((dir / "missing").string()), std::invalid_argument);
  EXPECT_THROW(parse_shard("x/@" + file), std::invalid_argument);
  EXPECT_THROW(parse_shard("1/@"), std::invalid_argument);
  std::filesystem::remove_all(dir);
}

// The JSON format through a host's own sink: one line per message whatever it holds, the
// camera from the log name or the stream id, credentials gone.
TEST(FleetList, JsonLogLines) {
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
  sink->set_formatter(json_log_formatter());
  stream_log_sink()->add_sink(sink);
  const std::string url = std::string("rtsp://viewer:") + kPassword + "@10.1.2.3/cam";
  get_stream_logger(url)->warn("strovix: watcher stream_id 7 pipeline error: a\n\"b\"\tc " + url);
  get_stream_logger(url)->info("no id here");
  library_logger()->error("strovix: bus watch callback failed");
  stream_log_sink()->remove_sink(sink);
  const std::string text = out.str();
  EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << text;
  const std::string time =
      "\\{\"time\":\"20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-9:]{8}\\.[0-9]{3}Z\",";
  // Control characters reach the sinks escaped already (a text line stays one line); JSON
  // then escapes the escape and the quotes.
  const std::string rest =
      "\"level\":\"warning\",\"camera\":\"7\",\"message\":\"strovix: watcher stream_id 7 pipeline "
      "error: a\\\\n\\\"b\\\"\\\\tc rtsp://10.1.2.3/cam\"}";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(time + ".*"))) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].find("\"level\"")), rest);
  EXPECT_NE(lines[1].find("\"camera\":\"rtsp://10.1.2.3/cam\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"level\":\"error\",\"camera\":null,"), std::string::npos) << lines[2];
}

// A log name gives a logger of its own, named after it, never another URL's.
TEST(FleetList, NamedStreamLoggers) {
  const std::string url = std::string("rtsp://viewer:") + kPassword + "@10.1.2.3/cam";
  const auto named = detail::stream_logger(url, {}, "yard");
  EXPECT_EQ(named->name(), "strovix:yard");
  EXPECT_NE(named, get_stream_logger(url));
  EXPECT_NE(named, get_stream_logger(url + "yard"));
  EXPECT_EQ(named, detail::stream_logger(url, {}, "yard"));
}

}  // namespace
