// The packet-file code shared by opuspack and opusplay, on real streams.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "opus_packet_file.h"

namespace opf = kep::opf;

namespace {

// A read-write temporary file holding `bytes`, positioned at its start.
FILE *stream_with(const std::vector<unsigned char> &bytes)
{
  FILE *f = tmpfile();
  if (f && !bytes.empty())
    fwrite(bytes.data(), 1, bytes.size(), f);
  if (f)
    rewind(f);
  return f;
}

std::vector<unsigned char> contents(FILE *f)
{
  std::vector<unsigned char> bytes;
  rewind(f);
  int c;
  while ((c = fgetc(f)) != EOF)
    bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
}

TEST(OpusPacketFile, RecordIsLittleEndianLengthThenPacket)
{
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  const unsigned char packet[] = {0xa1, 0xb2, 0xc3};
  ASSERT_TRUE(opf::write_record(f, packet, 3));
  std::vector<unsigned char> big(0x10203, 0x5a);
  ASSERT_TRUE(opf::write_record(f, big.data(), 0x10203));
  std::vector<unsigned char> bytes = contents(f);
  ASSERT_EQ(bytes.size(), 4 + 3 + 4 + 0x10203u);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 7),
            (std::vector<unsigned char>{3, 0, 0, 0, 0xa1, 0xb2, 0xc3}));
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 7, bytes.begin() + 11),
            (std::vector<unsigned char>{0x03, 0x02, 0x01, 0x00}));
  fclose(f);
}

TEST(OpusPacketFile, RecordsReadBackInOrder)
{
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  const unsigned char a[] = {1, 2, 3, 4, 5};
  const unsigned char b[] = {9};
  ASSERT_TRUE(opf::write_record(f, a, 5));
  ASSERT_TRUE(opf::write_record(f, b, 0));
  ASSERT_TRUE(opf::write_record(f, b, 1));
  rewind(f);

  unsigned char buf[8];
  int32_t len = -1;
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(len, 5);
  ASSERT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::ok);
  EXPECT_EQ(std::vector<unsigned char>(buf, buf + 5), std::vector<unsigned char>(a, a + 5));
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(len, 0);
  EXPECT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::ok);
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(len, 1);
  ASSERT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::ok);
  EXPECT_EQ(buf[0], 9);
  EXPECT_FALSE(opf::read_length(f, &len)) << "end of the records";
  fclose(f);
}

TEST(OpusPacketFile, NegativeLengthReadsNothing)
{
  FILE *f = stream_with({0xfb, 0xff, 0xff, 0xff, 2, 0, 0, 0, 7, 8});
  ASSERT_NE(f, nullptr);
  unsigned char buf[4] = {0};
  int32_t len = 0;
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(len, -5);
  EXPECT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::ok);
  ASSERT_TRUE(opf::read_length(f, &len)) << "the next record follows the length field directly";
  EXPECT_EQ(len, 2);
  fclose(f);
}

TEST(OpusPacketFile, LengthFieldCutShortIsTheEnd)
{
  for (size_t keep = 0; keep < 4; keep++) {
    FILE *f = stream_with(std::vector<unsigned char>(keep, 1));
    ASSERT_NE(f, nullptr);
    int32_t len = 1234;
    EXPECT_FALSE(opf::read_length(f, &len)) << keep << " bytes of the field";
    fclose(f);
  }
}

TEST(OpusPacketFile, PacketCutShortIsTruncated)
{
  FILE *f = stream_with({10, 0, 0, 0, 1, 2, 3});
  ASSERT_NE(f, nullptr);
  unsigned char buf[16];
  int32_t len = 0;
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::truncated);
  fclose(f);
}

TEST(OpusPacketFile, LengthBeyondTheBufferIsRefusedBeforeReading)
{
  std::vector<unsigned char> bytes = {9, 0, 0, 0};
  bytes.insert(bytes.end(), 9, 0xee);
  FILE *f = stream_with(bytes);
  ASSERT_NE(f, nullptr);
  unsigned char buf[10];
  memset(buf, 0x11, sizeof buf);
  int32_t len = 0;
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(opf::read_packet(f, len, buf, 8), opf::packet_read::oversized);
  for (unsigned char c : buf)
    ASSERT_EQ(c, 0x11) << "nothing may land in the buffer";
  EXPECT_EQ(ftell(f), 4) << "nothing may be consumed";
  EXPECT_EQ(opf::read_packet(f, len, buf, 9), opf::packet_read::ok) << "a buffer of exactly the length fits";
  fclose(f);
}

TEST(OpusPacketFile, LargestLengthIsRefusedNotWrapped)
{
  FILE *f = stream_with({0xff, 0xff, 0xff, 0x7f});
  ASSERT_NE(f, nullptr);
  unsigned char buf[16];
  int32_t len = 0;
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(len, 0x7fffffff);
  EXPECT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::oversized);
  fclose(f);
}

TEST(OpusPacketFile, ShortReadsFromAPipeAreJoined)
{
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    const unsigned char record[] = {6, 0, 0, 0, 'o', 'p', 'u', 's', '!', '?'};
    for (unsigned char c : record) {  // one byte per write
      if (write(fds[1], &c, 1) != 1)
        _exit(1);
      usleep(1000);
    }
    _exit(0);
  }
  close(fds[1]);
  FILE *f = fdopen(fds[0], "rb");
  ASSERT_NE(f, nullptr);
  unsigned char buf[6];
  int32_t len = 0;
  ASSERT_TRUE(opf::read_length(f, &len));
  EXPECT_EQ(len, 6);
  ASSERT_EQ(opf::read_packet(f, len, buf, sizeof buf), opf::packet_read::ok);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 6), "opus!?");
  fclose(f);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(OpusPacketFile, StreamThatRefusesBytesFailsTheRecord)
{
  FILE *f = fopen("/dev/full", "wb");
  ASSERT_NE(f, nullptr);
  setvbuf(f, nullptr, _IONBF, 0);
  const unsigned char packet[] = {1, 2, 3};
  EXPECT_FALSE(opf::write_record(f, packet, 3));
  fclose(f);
}

}  // namespace
