// The unit's line measurement: turnaround samples, percentiles and the
// accounting of one upload, with times given rather than taken.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/timing.h"

namespace {

TEST(Summarise, NearestRankPercentilesOfTheSamples) {
  std::vector<std::int64_t> samples(100);
  std::iota(samples.rbegin(), samples.rend(), 1);  // 100 down to 1: order must not matter
  const sim::TurnaroundStats s = sim::Summarise(samples);
  EXPECT_EQ(s.count, 100u);
  EXPECT_EQ(s.median_ns, 50);
  EXPECT_EQ(s.p99_ns, 99);
  EXPECT_EQ(s.max_ns, 100);
  EXPECT_EQ(s.total_ns, 5050);
  const sim::TurnaroundStats one = sim::Summarise({7});
  EXPECT_EQ(one.median_ns, 7);
  EXPECT_EQ(one.p99_ns, 7);
  EXPECT_EQ(sim::Summarise({}).count, 0u);
}

TEST(LineTiming, TurnaroundRunsFromTheLastReplyByteOutToTheNextByteIn) {
  sim::LineTiming t;
  t.NoteInput(0, 2, 20);  // "P1" before any reply: no turnaround
  t.StartTransfer("P1", 0, 2, 20);
  t.NoteOutput(100, 1, 10, false);  // "." with the erase's "." still to come
  t.NotePause(5000);
  t.NoteInput(5200, 1, 10);  // not a turnaround: the unit had not finished
  t.NoteOutput(5300, 1, 10, true);
  t.NoteInput(5340, 45, 450);  // 40 after the last reply byte
  t.NoteOutput(5900, 1, 10, true);
  t.NoteInput(5960, 17, 170);  // 60
  t.EndTransferOnceWritten();
  t.NoteOutput(6200, 1, 10, true);
  t.NoteInput(9000, 2, 20);  // after the upload: not part of it

  ASSERT_EQ(t.transfers().size(), 1u);
  const sim::TransferTiming& p1 = t.transfers()[0];
  EXPECT_EQ(p1.command, "P1");
  EXPECT_EQ(p1.elapsed_ns, 6200);
  EXPECT_EQ(p1.bytes_in, 2u + 1 + 45 + 17);
  EXPECT_EQ(p1.bytes_out, 4u);
  EXPECT_EQ(p1.wire_ns, 20 + 10 + 450 + 170 + 4 * 10);
  EXPECT_EQ(p1.pause_ns, 5000);
  EXPECT_EQ(p1.turnaround.count, 2u);
  EXPECT_EQ(p1.turnaround.total_ns, 100);
  EXPECT_EQ(p1.turnaround.max_ns, 60);

  const std::string json = t.Json();
  EXPECT_NE(json.find("\"turnaround_us\": {\"count\": 3,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"span_us\": 6.2,"), std::string::npos) << json;
}

}  // namespace
