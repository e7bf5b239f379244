// opuspack then opusplay on the same signal: the sound comes back, and both
// tools agree with libopus and with each other about every record.
#include <gtest/gtest.h>

#include "opus_test_support.h"

using namespace opus_test;

namespace {

struct roundtrip_case {
  int rate;
  int bit_rate;
};

void PrintTo(const roundtrip_case &c, std::ostream *os)
{
  *os << c.rate << " Hz at " << c.bit_rate << " bit/s";
}

class OpusRoundTrip : public ::testing::TestWithParam<roundtrip_case> {};

TEST_P(OpusRoundTrip, SpeechLikeSignalComesBackWithMatchingRecords)
{
  const int rate = GetParam().rate;
  const int frame = rate / 50;  // 20 ms blocks
  const double seconds = 2.01;  // 100 whole blocks and a partial one that is dropped
  temp_dir dir;
  std::vector<int16_t> source = speech_like(rate, seconds);
  write_bytes(dir.path("src.raw"), to_bytes(source));

  run_result pack = run("opuspack", {"-f", std::to_string(rate), std::to_string(GetParam().bit_rate),
                                     std::to_string(frame), "10", "1", dir.path("src.raw"), dir.path("x.opf")});
  ASSERT_EQ(pack.status, 0) << pack.err;
  parsed_file f = parse_packet_file(read_bytes(dir.path("x.opf")));
  ASSERT_TRUE(f.complete);
  const size_t blocks = source.size() / frame;
  ASSERT_EQ(blocks, 100u);
  ASSERT_EQ(f.packets.size(), blocks);

  // Every record holds exactly what libopus reported for its block.
  std::vector<int> reported = numbered_values(pack.out, "encode data size ");
  ASSERT_EQ(reported.size(), blocks);
  for (size_t i = 0; i < blocks; i++)
    EXPECT_EQ(f.packets[i].size(), static_cast<size_t>(reported[i])) << "record " << i;
  for (int used : numbered_values(pack.out, "encode frame "))
    EXPECT_EQ(used, frame);

  run_result play = run("opusplay", {"-f", std::to_string(rate), dir.path("x.opf"), dir.path("out.raw")});
  ASSERT_EQ(play.status, 0) << play.err;
  EXPECT_EQ(play.err, "read file error\n");
  std::vector<int> read_back = numbered_values(play.out, "decode block size:");
  EXPECT_EQ(read_back, reported);

  std::vector<int16_t> decoded = to_samples(read_bytes(dir.path("out.raw")));
  ASSERT_EQ(decoded.size(), blocks * frame);
  // The codec delays the signal by a few milliseconds; search up to 30 ms.
  double corr = best_correlation(source, decoded, rate * 3 / 100);
  EXPECT_GT(corr, 0.9) << "at " << rate << " Hz";
  RecordProperty("correlation_x1000", static_cast<int>(corr * 1000));
}

INSTANTIATE_TEST_SUITE_P(Rates, OpusRoundTrip,
                         ::testing::Values(roundtrip_case{8000, 16000}, roundtrip_case{16000, 24000},
                                           roundtrip_case{48000, 64000}),
                         [](const ::testing::TestParamInfo<roundtrip_case> &info) {
                           return std::to_string(info.param.rate) + "Hz";
                         });

}  // namespace
