// Streams by path and by handle, on the in-memory stream layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::error_of;
using testing::fail_nth;
using testing::FakeVog;
using testing::get_stream;
using testing::LayerOp;
using testing::MemoryStore;
using testing::ok;
using testing::put_stream;
using testing::text_of;

const VogError kBadHandle = VogError::not_found("invalid stream handle");
const VogError kNotWritable = VogError::lock_conflict("stream is not opened for writing");
const VogError kEmptyPath = VogError::invalid_path("stream path cannot be empty");

std::string read_some(Vog& vog, StreamHandle handle, std::size_t length) {
  std::vector<std::byte> buffer(length);
  std::size_t got = ok(vog.read(handle, buffer));
  return text_of(std::span(buffer).first(got));
}

TEST(VogHandles, AreNumberedFromZeroAndNeverReused) {
  FakeVog vog;
  EXPECT_EQ(ok(vog->create_stream("a")), 0u);
  EXPECT_EQ(error_of(vog->open_stream("missing", OpenMode::Read)), VogError::not_found("missing"));
  EXPECT_EQ(error_of(vog->open_stream("a", OpenMode::Read)).kind(), ErrorKind::LockConflict);
  EXPECT_EQ(ok(vog->create_stream("b")), 1u);
  ok(vog->close_stream(0));
  EXPECT_EQ(ok(vog->open_stream("a", OpenMode::Read)), 2u);
}

TEST(VogHandles, CreatedStreamIsWritableAtOnce) {
  FakeVog vog;
  StreamHandle handle = ok(vog->create_stream("s"));
  EXPECT_EQ(ok(vog->write(handle, bytes_of("hello world"))), 11u);
  EXPECT_EQ(ok(vog->tell(handle)), 11u);
  EXPECT_EQ(ok(vog->stream_length(handle)), 11u);
  ok(vog->seek(handle, 0));
  EXPECT_EQ(read_some(*vog, handle, 5), "hello");
  EXPECT_EQ(ok(vog->tell(handle)), 5u);
  EXPECT_EQ(ok(vog->write(handle, bytes_of("!"))), 1u);
  ok(vog->seek(handle, 0));
  EXPECT_EQ(read_some(*vog, handle, 100), "hello!world");
  EXPECT_EQ(ok(vog->tell(handle)), 11u);
  EXPECT_EQ(read_some(*vog, handle, 0), "");
}

TEST(VogSeek, AllowsTheEndAndNothingBeyond) {
  FakeVog vog;
  StreamHandle handle = ok(vog->create_stream("s"));
  ok(vog->write(handle, bytes_of("12345")));
  ok(vog->seek(handle, 5));
  EXPECT_EQ(read_some(*vog, handle, 10), "");
  EXPECT_EQ(error_of(vog->seek(handle, 6)),
            VogError::seek_out_of_bounds("position 6 exceeds stream length 5"));
  EXPECT_EQ(ok(vog->tell(handle)), 5u);
  EXPECT_EQ(error_of(vog->seek(handle, ~std::uint64_t{0})),
            VogError::seek_out_of_bounds("position 18446744073709551615 exceeds stream length 5"));
}

TEST(VogTruncate, PullsThePositionBackOnlyWhenBeyond) {
  FakeVog vog;
  StreamHandle handle = ok(vog->create_stream("s"));
  ok(vog->write(handle, bytes_of("0123456789")));
  ok(vog->seek(handle, 4));
  ok(vog->truncate(handle, 6));
  EXPECT_EQ(ok(vog->tell(handle)), 4u);
  ok(vog->truncate(handle, 2));
  EXPECT_EQ(ok(vog->tell(handle)), 2u);
  EXPECT_EQ(ok(vog->stream_length(handle)), 2u);
  ok(vog->truncate(handle, 50));  // never lengthens
  EXPECT_EQ(ok(vog->stream_length(handle)), 2u);
  ok(vog->close_stream(handle));
  EXPECT_EQ(get_stream(*vog, "s"), "01");
}

TEST(VogReserve, GrowsCapacityWithoutMovingAnything) {
  FakeVog vog;
  StreamHandle handle = ok(vog->create_stream("s"));
  ok(vog->write(handle, bytes_of("abc")));
  ok(vog->reserve(handle, 10000));
  EXPECT_EQ(ok(vog->stream_reserved(handle)), 12288u);
  EXPECT_EQ(ok(vog->stream_length(handle)), 3u);
  EXPECT_EQ(ok(vog->tell(handle)), 3u);
  EXPECT_EQ(error_of(vog->reserve(handle, 2)).kind(), ErrorKind::IoError);
}

TEST(VogReadMode, AnswersQueriesButRefusesChanges) {
  FakeVog vog;
  put_stream(*vog, "s", "content");
  StreamHandle handle = ok(vog->open_stream("s", OpenMode::Read));
  EXPECT_EQ(error_of(vog->write(handle, bytes_of("x"))), kNotWritable);
  EXPECT_EQ(error_of(vog->truncate(handle, 0)), kNotWritable);
  EXPECT_EQ(error_of(vog->reserve(handle, 100)), kNotWritable);
  EXPECT_EQ(ok(vog->stream_length(handle)), 7u);
  EXPECT_EQ(ok(vog->stream_reserved(handle)), 4096u);
  EXPECT_FALSE(ok(vog->is_stream_compressed(handle)));
  ok(vog->seek(handle, 3));
  EXPECT_EQ(ok(vog->tell(handle)), 3u);
  EXPECT_EQ(read_some(*vog, handle, 100), "tent");
  EXPECT_EQ(get_stream(*vog, "s"), "content");
}

TEST(VogLocks, ReadersShareAndWritersExclude) {
  FakeVog vog;
  put_stream(*vog, "s", "x");
  StreamId id = vog.id_in_root("s");
  const VogError conflict = VogError::lock_conflict("lock conflict on stream " + std::to_string(id));
  StreamHandle r1 = ok(vog->open_stream("s", OpenMode::Read));
  StreamHandle r2 = ok(vog->open_stream("s", OpenMode::Read));
  EXPECT_EQ(error_of(vog->open_stream("s", OpenMode::Write)), conflict);
  ok(vog->close_stream(r1));
  EXPECT_EQ(error_of(vog->open_stream("s", OpenMode::Write)), conflict);
  ok(vog->close_stream(r2));
  StreamHandle w = ok(vog->open_stream("s", OpenMode::Write));
  EXPECT_EQ(error_of(vog->open_stream("s", OpenMode::Read)), conflict);
  EXPECT_EQ(error_of(vog->open_stream("s", OpenMode::Write)), conflict);
  EXPECT_EQ(read_some(*vog, w, 10), "x");  // a write handle reads too
  ok(vog->close_stream(w));
}

TEST(VogOpenStreams, CannotBeDeletedOrRenamed) {
  FakeVog vog;
  (void)ok(vog->create_stream("s"));
  EXPECT_EQ(error_of(vog->delete_stream("s")), VogError::lock_conflict("cannot delete an open stream"));
  EXPECT_EQ(error_of(vog->rename_stream("s", "t")),
            VogError::lock_conflict("cannot rename an open stream"));
  EXPECT_FALSE(vog.layer().is_locked(vog.root_id()));
}

TEST(VogClosedHandle, EveryOperationReportsIt) {
  FakeVog vog;
  StreamHandle handle = ok(vog->create_stream("s"));
  ok(vog->close_stream(handle));
  std::vector<std::byte> buffer(4);
  EXPECT_EQ(error_of(vog->close_stream(handle)), kBadHandle);
  EXPECT_EQ(error_of(vog->read(handle, buffer)), kBadHandle);
  EXPECT_EQ(error_of(vog->write(handle, buffer)), kBadHandle);
  EXPECT_EQ(error_of(vog->seek(handle, 0)), kBadHandle);
  EXPECT_EQ(error_of(vog->tell(handle)), kBadHandle);
  EXPECT_EQ(error_of(vog->truncate(handle, 0)), kBadHandle);
  EXPECT_EQ(error_of(vog->reserve(handle, 0)), kBadHandle);
  EXPECT_EQ(error_of(vog->stream_length(handle)), kBadHandle);
  EXPECT_EQ(error_of(vog->stream_reserved(handle)), kBadHandle);
  EXPECT_EQ(error_of(vog->is_stream_compressed(handle)), kBadHandle);
  EXPECT_EQ(error_of(vog->tell(12345)), kBadHandle);
}

TEST(VogStreamPaths, ChecksRunInOrder) {
  FakeVog vog;
  EXPECT_EQ(error_of(vog->create_stream("")), kEmptyPath);
  EXPECT_EQ(error_of(vog->open_stream("", OpenMode::Read)), kEmptyPath);
  EXPECT_EQ(error_of(vog->delete_stream("")), kEmptyPath);
  EXPECT_EQ(error_of(vog->rename_stream("", "x")), kEmptyPath);
  EXPECT_EQ(error_of(vog->rename_stream("x", "")), kEmptyPath);
  EXPECT_EQ(error_of(vog->create_stream("d/")), VogError::invalid_path("path must not start or end with /"));
  EXPECT_EQ(error_of(vog->open_stream("a/../b", OpenMode::Read)),
            VogError::invalid_path("path cannot contain . or .."));
  EXPECT_EQ(error_of(vog->rename_stream("a//b", "/c")),
            VogError::invalid_path("path contains empty component"));
  EXPECT_EQ(error_of(vog->rename_stream("a", "/c")),
            VogError::invalid_path("path must not start or end with /"));
  EXPECT_EQ(error_of(vog->create_stream(std::string(65536, 's'))),
            VogError::invalid_path("name too long: 65536 bytes (maximum 65535)"));
  const std::string nul("s\0t", 3);
  EXPECT_EQ(error_of(vog->create_stream(nul)), VogError::invalid_path("path contains a NUL byte"));
  EXPECT_EQ(error_of(vog->rename_stream("x", nul)), VogError::invalid_path("path contains a NUL byte"));
  // Missing parents, missing names and directories in place of streams come
  // next; the tree model test (vog_tree_test.cpp) checks those refusals.
}

TEST(VogCompressed, IsRefusedWhenNotConfigured) {
  auto store = std::make_shared<MemoryStore>();
  store->compressed_block_size_shift = 0;
  FakeVog plain(store);
  auto before = plain.layer().live_ids();
  EXPECT_EQ(error_of(plain->create_stream("c", true)),
            VogError::io("compression not configured for this filesystem"));
  EXPECT_EQ(plain.layer().live_ids(), before);
  EXPECT_TRUE(ok(plain->list("")).empty());
}

TEST(VogOpenStream, FailedParentCloseReleasesTheStream) {
  FakeVog vog;
  put_stream(*vog, "s", "data");
  vog.reopen(OpenMode::Write);  // a cold cache: the lookup goes through the parent
  StreamId root = vog.root_id();
  vog.layer().set_fault(fail_nth(LayerOp::Close, root, 1, VogError::io("close failed")));
  EXPECT_EQ(error_of(vog->open_stream("s", OpenMode::Write)), VogError::io("close failed"));
  EXPECT_EQ(vog.layer().open_handle_count(), 0u);
  EXPECT_EQ(ok(vog->open_stream("s", OpenMode::Write)), 0u);  // no number was taken
}

}  // namespace
}  // namespace vog
