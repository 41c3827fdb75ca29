// File-like access (read_at, write_at, resize) and stat by path, on the in-memory stream layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_dir.hpp"
#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::error_of;
using testing::FakeVog;
using testing::ok;
using testing::TempDir;
using testing::text_of;

std::string read_at(Vog& vog, StreamHandle handle, std::uint64_t offset, std::size_t length) {
  std::vector<std::byte> buffer(length);
  std::size_t got = ok(vog.read_at(handle, offset, buffer));
  return text_of(std::span(buffer).first(got));
}

TEST(VogPositionedIo, LeavesThePositionAloneAndFillsGapsWithZeros) {
  FakeVog vog;
  StreamHandle h = ok(vog->create_stream("s"));
  EXPECT_EQ(ok(vog->write_at(h, 3, bytes_of("abc"))), 3u);
  EXPECT_EQ(ok(vog->tell(h)), 0u);
  EXPECT_EQ(read_at(*vog, h, 0, 10), std::string("\0\0\0abc", 6));
  EXPECT_EQ(read_at(*vog, h, 6, 10), "");
  EXPECT_EQ(read_at(*vog, h, 100, 10), "");
  EXPECT_EQ(ok(vog->tell(h)), 0u);

  ok(vog->close_stream(h));
  h = ok(vog->open_stream("s", OpenMode::Read));
  EXPECT_EQ(read_at(*vog, h, 4, 1), "b");
  EXPECT_EQ(error_of(vog->write_at(h, 0, bytes_of("x"))),
            VogError::lock_conflict("stream is not opened for writing"));
  EXPECT_EQ(error_of(vog->resize(h, 0)), VogError::lock_conflict("stream is not opened for writing"));
  ok(vog->close_stream(h));
  EXPECT_EQ(error_of(vog->read_at(h, 0, {})), VogError::not_found("invalid stream handle"));
}

// On a real file: the bytes a shortening leaves in its last block must read as zeros.
TEST(VogPositionedIo, ResizeShortensOrLengthensWithZeros) {
  TempDir dir;
  auto vog = ok(Vog::create(dir.file("io.vog")));
  StreamHandle h = ok(vog->create_stream("s"));
  ok(vog->write(h, bytes_of("abcdef")));
  ok(vog->resize(h, 2));
  EXPECT_EQ(ok(vog->tell(h)), 2u);  // lowered, as truncate does
  ok(vog->resize(h, 5));
  EXPECT_EQ(ok(vog->stream_length(h)), 5u);
  EXPECT_EQ(read_at(*vog, h, 0, 10), std::string("ab\0\0\0", 5));
  ok(vog->resize(h, 5));
  EXPECT_EQ(ok(vog->stream_length(h)), 5u);
}

TEST(VogStat, DescribesStreamsAndDirectoriesWithoutOpeningThem) {
  FakeVog vog;
  ok(vog->mkdir("d"));
  StreamHandle writer = ok(vog->create_stream("d/s", /*compressed=*/true));
  ok(vog->write(writer, bytes_of("hello")));

  // The writer holds the stream: its handle is the one that sees the new length.
  PathInfo info = ok(vog->stat("d/s"));
  EXPECT_EQ(info.entry_type, EntryType::Stream);
  EXPECT_EQ(info.length, 5u);
  EXPECT_TRUE(info.compressed);
  ok(vog->close_stream(writer));
  EXPECT_EQ(ok(vog->stat("d/s")).length, 5u);
  EXPECT_GE(ok(vog->stat("d/s")).reserved, 5u);
  ok(vog->delete_stream("d/s"));  // stat left no handle behind

  EXPECT_EQ(ok(vog->stat("d")).entry_type, EntryType::Directory);
  EXPECT_EQ(ok(vog->stat("")).entry_type, EntryType::Directory);
  EXPECT_EQ(error_of(vog->stat("d/s")), VogError::not_found("d/s"));
  EXPECT_EQ(error_of(vog->stat("x/s")), VogError::not_found("parent directory does not exist"));
  EXPECT_EQ(error_of(vog->stat("/d")).kind(), ErrorKind::InvalidPath);
}

}  // namespace
}  // namespace vog
