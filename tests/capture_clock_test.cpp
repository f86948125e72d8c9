// The mapping from RTP time to the camera's clock, with synthetic sender reports.
#include "capture_clock/capture_clock.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using strovix::detail::CaptureClock;

namespace {

constexpr std::uint64_t kNs = 1000000000ULL;
// 2026-01-01T00:00:00Z as NTP nanoseconds.
constexpr std::uint64_t kUnix2026 = 1767225600ULL;
constexpr std::uint64_t ntp_ns(double unix_s) {
  return (CaptureClock::NTP_UNIX_OFFSET_S + kUnix2026) * kNs +
         static_cast<std::uint64_t>((unix_s - static_cast<double>(kUnix2026)) * 1e9);
}

struct Step {
  enum Kind { REPORT, PACKET, EXPECT_PTS, EXPECT_RTP } kind;
  std::uint32_t ssrc;
  std::uint64_t rtp;    // report: RTP time (may be extended or -1); else 32-bit timestamp
  std::uint64_t value;  // report: NTP ns; packet/expect_pts: PTS ns
  std::uint32_t rate;   // report only
  std::optional<double> expected;  // seconds since 1970; nullopt: none
};

struct Case {
  std::string name;
  std::vector<Step> steps;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const double T = static_cast<double>(kUnix2026);

std::vector<Case> cases() {
  return {
      {"NoReportNoTime",
       {{Step::PACKET, 1, 9000, 100, 0, {}},
        {Step::EXPECT_PTS, 1, 0, 100, 0, std::nullopt},
        {Step::EXPECT_RTP, 1, 9000, 0, 0, std::nullopt}}},
      {"FrameThroughTheReportNotItsArrival",
       {{Step::REPORT, 1, 90000, ntp_ns(T), 90000, {}},
        {Step::PACKET, 1, 90000 + 9000, 5 * kNs, 0, {}},
        {Step::PACKET, 1, 90000 + 9000, 5 * kNs + 1000, 0, {}},  // same frame, later packet
        {Step::PACKET, 1, 90000 - 3000, 4 * kNs, 0, {}},         // a frame before the report
        {Step::EXPECT_PTS, 1, 0, 5 * kNs, 0, T + 0.1},
        {Step::EXPECT_PTS, 1, 0, 5 * kNs + 1000, 0, T + 0.1},
        {Step::EXPECT_PTS, 1, 0, 4 * kNs, 0, T - 3000.0 / 90000},
        {Step::EXPECT_PTS, 1, 0, 6 * kNs, 0, std::nullopt}}},  // a PTS never seen
      {"ExtendedAcrossTheWrapAround",
       {{Step::REPORT, 1, (1ULL << 32) + 0xFFFFFF00ULL, ntp_ns(T), 90000, {}},
        {Step::EXPECT_RTP, 1, 0x00000100, 0, 0, T + 512.0 / 90000},
        {Step::EXPECT_RTP, 1, 0xFFFFFE00, 0, 0, T - 256.0 / 90000},
        {Step::REPORT, 1, 0x00000010, ntp_ns(T + 1), 90000, {}},  // after the wrap
        {Step::EXPECT_RTP, 1, 0xFFFFFFF0, 0, 0, T + 1 - 32.0 / 90000}}},
      {"AClockJumpGivesANewMapping",
       {{Step::REPORT, 1, 1000, ntp_ns(T), 90000, {}},
        {Step::EXPECT_RTP, 1, 1000 + 90000, 0, 0, T + 1},
        {Step::REPORT, 1, 1000 + 450000, ntp_ns(T + 3600), 90000, {}},  // set forward an hour
        {Step::EXPECT_RTP, 1, 1000 + 450000 + 90000, 0, 0, T + 3601}}},
      {"SourcesKeepTheirOwnReports",
       {{Step::REPORT, 1, 0, ntp_ns(T), 90000, {}},
        {Step::REPORT, 2, 0, ntp_ns(T + 10), 8000, {}},
        {Step::REPORT, 3, 0, ntp_ns(T + 20), 0, {}},               // no clock rate: ignored
        {Step::REPORT, 1, UINT64_MAX, ntp_ns(T + 30), 90000, {}},  // invalid RTP time: ignored
        {Step::EXPECT_RTP, 1, 90000, 0, 0, T + 1},
        {Step::EXPECT_RTP, 2, 8000, 0, 0, T + 11},
        {Step::EXPECT_RTP, 3, 0, 0, 0, std::nullopt}}},
  };
}

class CaptureClockTable : public ::testing::TestWithParam<Case> {};

TEST_P(CaptureClockTable, Maps) {
  CaptureClock clock;
  int i = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(i++));
    std::optional<double> got;
    switch (s.kind) {
      case Step::REPORT:
        clock.on_report(s.ssrc, s.rtp, s.value, s.rate);
        continue;
      case Step::PACKET:
        clock.on_packet(s.ssrc, static_cast<std::uint32_t>(s.rtp), s.value);
        continue;
      case Step::EXPECT_PTS:
        got = clock.capture_time(s.value);
        break;
      case Step::EXPECT_RTP:
        got = clock.capture_time_of_rtp(s.ssrc, static_cast<std::uint32_t>(s.rtp));
        break;
    }
    ASSERT_EQ(got.has_value(), s.expected.has_value());
    if (got) {
      EXPECT_NEAR(*got, *s.expected, 2e-6);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptureClockTable, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

// Frames older than the remembered window are forgotten, the newest stay.
TEST(CaptureClock, RemembersABoundedWindowOfFrames) {
  CaptureClock clock;
  clock.on_report(7, 0, ntp_ns(T), 90000);
  const std::size_t n = CaptureClock::FRAME_SLOTS + 10;
  for (std::size_t f = 0; f < n; ++f)
    clock.on_packet(7, static_cast<std::uint32_t>(f * 3000), f * kNs);
  EXPECT_FALSE(clock.capture_time(0));
  ASSERT_TRUE(clock.capture_time((n - 1) * kNs));
  EXPECT_NEAR(*clock.capture_time((n - 1) * kNs), T + (n - 1) * 3000.0 / 90000, 2e-6);
}

// Reports, packets and lookups on three threads, as rtpbin, the streaming thread and the
// pulling thread do (run under TSan).
TEST(CaptureClock, ReportsPacketsAndLookupsFromThreeThreads) {
  CaptureClock clock;
  std::thread reports([&] {
    for (std::uint32_t i = 0; i < 2000; ++i)
      clock.on_report(1, i * 3000ULL, ntp_ns(T + i / 30.0), 90000);
  });
  std::thread packets([&] {
    for (std::uint32_t i = 0; i < 2000; ++i) clock.on_packet(1, i * 3000, i * kNs / 30);
  });
  int found = 0;
  for (std::uint32_t i = 0; i < 2000; ++i) {
    if (auto t = clock.capture_time(i * kNs / 30)) {
      ++found;
      EXPECT_NEAR(*t, T + i / 30.0, 1e-3);
    }
  }
  reports.join();
  packets.join();
}

}  // namespace
