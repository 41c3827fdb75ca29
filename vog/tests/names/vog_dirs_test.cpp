// The Vog handle and its directory operations, on the in-memory stream layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory_stream.hpp"
#include "format.hpp"
#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::error_of;
using testing::fail_nth;
using testing::FakeVog;
using testing::LayerOp;
using testing::MemoryStreamLayer;
using testing::ok;
using testing::put_stream;

const VogError kReadOnly = VogError::read_only("Vog file is opened for reading");

std::vector<DirEntry> dirs(std::initializer_list<const char*> names) {
  std::vector<DirEntry> out;
  for (const char* name : names) out.push_back({name, EntryType::Directory});
  return out;
}

TEST(VogCreate, WritesTheHeaderAndAnEmptyRoot) {
  FakeVog vog;
  StreamId root = vog.root_id();
  auto header = serialize_header(root);
  EXPECT_EQ(vog.store()->admin_slot(1), std::vector<std::byte>(header.begin(), header.end()));
  EXPECT_EQ(vog.layer().contents(root), std::vector<std::byte>{});
}

TEST(VogCreate, AFailedHeaderWriteIsReturned) {
  auto layer = std::make_unique<MemoryStreamLayer>();
  layer->set_fault(fail_nth(LayerOp::WriteAdminSlot, 1, 1, VogError::io("slot write failed")));
  EXPECT_EQ(error_of(Vog::create_on(std::move(layer))), VogError::io("slot write failed"));
}

TEST(VogOpen, RefusesABadHeader) {
  FakeVog vog;
  vog.reset();
  auto slot = vog.store()->admin_slot(1);
  slot[6] = std::byte{3};
  vog.store()->set_admin_slot(1, slot);
  auto layer = std::make_unique<MemoryStreamLayer>(vog.store());
  EXPECT_EQ(error_of(Vog::open_on(std::move(layer), OpenMode::Write)),
            VogError::io("unsupported L4 format version: 3 (expected 4)"));
}

// Missing parents and names, taken names, moves of whole subtrees and moves
// into a directory's own subtree are checked against the tree model
// (vog_tree_test.cpp); these fixed refusals come before any lookup, and a
// refused name leaves no stream behind.
TEST(VogDirPaths, ChecksPathBeforeTouchingTheFile) {
  FakeVog vog;
  EXPECT_EQ(error_of(vog->mkdir("")), VogError::invalid_path("cannot create root directory"));
  EXPECT_EQ(error_of(vog->rmdir("")), VogError::invalid_path("cannot remove root directory"));
  EXPECT_EQ(error_of(vog->rename_dir("", "y")), VogError::invalid_path("cannot rename root directory"));
  EXPECT_EQ(error_of(vog->rename_dir("p", "")), VogError::invalid_path("cannot rename root directory"));
  EXPECT_EQ(error_of(vog->mkdir("missing/../b")), VogError::invalid_path("path cannot contain . or .."));
  EXPECT_EQ(error_of(vog->rename_dir("p//", "a//b")), VogError::invalid_path("path must not start or end with /"));
  EXPECT_EQ(error_of(vog->rename_dir("p", "a/./b")), VogError::invalid_path("path cannot contain . or .."));
  EXPECT_EQ(error_of(vog->list("a//b")), VogError::invalid_path("path contains empty component"));
  const std::string nul("d/\0", 3);
  EXPECT_EQ(error_of(vog->mkdir(nul)), VogError::invalid_path("path contains a NUL byte"));
  EXPECT_EQ(error_of(vog->rename_dir("p", nul)), VogError::invalid_path("path contains a NUL byte"));
  auto before = vog.layer().live_ids();
  EXPECT_EQ(error_of(vog->mkdir(std::string(65535, 'd'))),
            VogError::invalid_path("name too long: 65536 bytes (maximum 65535)"));
  EXPECT_EQ(vog.layer().live_ids(), before);
  ok(vog->mkdir(std::string(65534, 'd')));
}

TEST(VogMkdir, FailedParentOpenDeletesTheNewStream) {
  FakeVog vog;
  auto before = vog.layer().live_ids();
  vog.layer().set_fault(fail_nth(LayerOp::Open, vog.root_id(), 1, VogError::io("no")));
  EXPECT_EQ(error_of(vog->mkdir("a")), VogError::io("no"));
  EXPECT_EQ(vog.layer().live_ids(), before);
}

TEST(VogMkdir, FailedCloseReplacesTheResult) {
  FakeVog vog;
  StreamId root = vog.root_id();
  vog.layer().set_fault(fail_nth(LayerOp::Close, root, 1, VogError::io("close failed")));
  EXPECT_EQ(error_of(vog->mkdir("a")), VogError::io("close failed"));

  ok(vog->mkdir("b"));
  vog.layer().set_fault(fail_nth(LayerOp::Close, root, 1, VogError::io("close failed")));
  EXPECT_EQ(error_of(vog->mkdir("b")), VogError::io("close failed"));  // not AlreadyExists
  EXPECT_FALSE(vog.layer().is_locked(root));
}

TEST(VogRmdir, DamagedEntryNamingItsOwnDirectoryIsAnErrorNotAHang) {
  FakeVog vog;
  ok(vog->mkdir("d"));
  StreamId d = vog.id_in_root("d/");
  // "d/loop/" names d itself: rmdir would hold d for writing and then wait to
  // read it.
  StreamEntry loop{"loop/", d};
  vog.layer().overwrite(d, build_directory_stream(std::span(&loop, 1)));
  vog.reopen(OpenMode::Write);
  EXPECT_EQ(error_of(vog->rmdir("d/loop")),
            VogError::io(vog::format("directory stream {}: entry 'loop/' names the directory itself", d)));
  EXPECT_EQ(vog.layer().open_handle_count(), 0u);
  EXPECT_EQ(ok(vog->list("d")), dirs({"loop"}));
}

TEST(VogRenameDir, OpenHandlesInsideStayValid) {
  FakeVog vog;
  ok(vog->mkdir("a"));
  StreamHandle handle = ok(vog->create_stream("a/s"));
  ok(vog->rename_dir("a", "b"));
  EXPECT_EQ(ok(vog->write(handle, testing::bytes_of("still here"))), 10u);
  ok(vog->close_stream(handle));
  EXPECT_EQ(testing::get_stream(*vog, "b/s"), "still here");
}

// A move between directories takes the entry out of the old parent first. A
// fault at the new parent puts the entry back; when the old parent, opened
// again for that, fails to open or close, its failure is the result. The same
// for a directory as for a stream.
TEST(VogMoveBetweenDirectories, FailureAtTheNewParentRestoresTheOldEntry) {
  struct Case {
    const char* what;
    LayerOp op;                         // fails at the new parent, the first time
    std::optional<LayerOp> restore_op;  // then fails at the old parent, the second time
  };
  const Case cases[] = {{"new parent's open", LayerOp::Open, std::nullopt},
                        {"new parent's add", LayerOp::Write, std::nullopt},
                        {"new parent's length", LayerOp::Length, std::nullopt},
                        {"restoring open", LayerOp::Write, LayerOp::Open},
                        {"restoring close", LayerOp::Write, LayerOp::Close}};
  for (EntryType type : {EntryType::Directory, EntryType::Stream}) {
    const bool dir = type == EntryType::Directory;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(dir ? "directory, " : "stream, ") + c.what + " fails");
      FakeVog vog;
      ok(vog->mkdir("from"));
      ok(vog->mkdir("to"));
      if (dir)
        ok(vog->mkdir("from/d"));
      else
        put_stream(*vog, "from/d", "payload");
      put_stream(*vog, "to/other", "o");  // so the target's add has a table to write
      auto new_parent_fails = fail_nth(c.op, vog.id_in_root("to/"), 1, VogError::io("injected"));
      auto old_parent_fails = fail_nth(c.restore_op.value_or(LayerOp::CreateStream),
                                       vog.id_in_root("from/"), 2, VogError::io("old parent failed"));
      vog.layer().set_fault([=](LayerOp op, StreamId id) -> std::optional<VogError> {
        if (auto error = new_parent_fails(op, id)) return error;
        return old_parent_fails(op, id);
      });
      EXPECT_EQ(error_of(dir ? vog->rename_dir("from/d", "to/d") : vog->rename_stream("from/d", "to/d")),
                VogError::io(c.restore_op ? "old parent failed" : "injected"));
      vog.layer().set_fault(nullptr);
      EXPECT_EQ(vog.layer().open_handle_count(), 0u);
      if (c.restore_op) continue;
      EXPECT_EQ(ok(vog->list("from")), (std::vector<DirEntry>{{"d", type}}));
      EXPECT_EQ(ok(vog->list("to")), (std::vector<DirEntry>{{"other", EntryType::Stream}}));
      if (!dir) {
        EXPECT_EQ(testing::get_stream(*vog, "from/d"), "payload");
      }
    }
  }
}

TEST(VogList, RepeatedLookupsAreServedFromTheCache) {
  FakeVog vog;
  ok(vog->mkdir("a"));
  ok(vog->mkdir("a/b"));
  ok(vog->mkdir("a/b/c"));
  StreamId root = vog.root_id();
  EXPECT_EQ(ok(vog->list("a/b/c")), dirs({}));
  std::size_t opens = vog.layer().opens_of(root);
  vog.layer().clear_transfers();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ok(vog->list("a/b/c")), dirs({}));
  EXPECT_EQ(vog.layer().opens_of(root), opens);
  EXPECT_TRUE(vog.layer().reads().empty());
  ok(vog->mkdir("x"));  // only the root changes
  vog.layer().clear_transfers();
  EXPECT_EQ(ok(vog->list("")), dirs({"a", "x"}));
  EXPECT_EQ(ok(vog->list("a/b")), dirs({"c"}));
  for (const auto& read : vog.layer().reads()) EXPECT_EQ(read.id, root);
}

TEST(VogList, CorruptDirectoryIsAnError) {
  FakeVog vog;
  ok(vog->mkdir("d"));
  StreamId d = vog.id_in_root("d/");
  vog.reopen(OpenMode::Write);  // start with an empty cache
  vog.layer().overwrite(d, {std::byte{1}, std::byte{2}});
  EXPECT_EQ(error_of(vog->list("d")), VogError::io("directory stream too short for footer"));
  EXPECT_EQ(error_of(vog->mkdir("d/e/f")), VogError::io("directory stream too small for footer"));
  EXPECT_EQ(error_of(vog->mkdir("d/e")).kind(), ErrorKind::IoError);
}

TEST(VogReadOnly, RefusesChangesBeforeLookingAtThePath) {
  FakeVog vog;
  ok(vog->mkdir("d"));
  put_stream(*vog, "s", "data");
  vog.reopen(OpenMode::Read);
  for (const char* path : {"", "d", "s", "x/y", "a//b"}) {
    EXPECT_EQ(error_of(vog->mkdir(path)), kReadOnly) << path;
    EXPECT_EQ(error_of(vog->rmdir(path)), kReadOnly) << path;
    EXPECT_EQ(error_of(vog->rename_dir(path, "e")), kReadOnly) << path;
    EXPECT_EQ(error_of(vog->create_stream(path)), kReadOnly) << path;
    EXPECT_EQ(error_of(vog->delete_stream(path)), kReadOnly) << path;
    EXPECT_EQ(error_of(vog->rename_stream(path, "t")), kReadOnly) << path;
    EXPECT_EQ(error_of(vog->open_stream(path, OpenMode::Write)), kReadOnly) << path;
  }
  EXPECT_EQ(ok(vog->list("")),
            (std::vector<DirEntry>{{"d", EntryType::Directory}, {"s", EntryType::Stream}}));
  EXPECT_EQ(testing::get_stream(*vog, "s"), "data");
}

TEST(VogTeardown, ClosesOpenStreamsAndReportsAFailureOnStderr) {
  FakeVog vog;
  StreamHandle a = ok(vog->create_stream("a"));
  ok(vog->write(a, testing::bytes_of("kept")));
  (void)ok(vog->create_stream("b"));
  vog.layer().set_fault([](LayerOp op, StreamId) -> std::optional<VogError> {
    if (op == LayerOp::Close) return VogError::io("boom");
    return std::nullopt;
  });
  ::testing::internal::CaptureStderr();
  vog.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Vog Drop: error flushing open streams: I/O error: boom\n");

  // A clean teardown is silent; VogFiles reads back what one closed.
  FakeVog quiet;
  (void)ok(quiet->create_stream("c"));
  ::testing::internal::CaptureStderr();
  quiet.reopen(OpenMode::Read);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(VogFlush, ClosesEveryHandleAndReturnsTheFirstFailure) {
  FakeVog vog;
  StreamHandle a = ok(vog->create_stream("a"));
  StreamHandle b = ok(vog->create_stream("b"));
  int closes = 0;
  vog.layer().set_fault([&closes](LayerOp op, StreamId) -> std::optional<VogError> {
    if (op != LayerOp::Close) return std::nullopt;
    return VogError::io("close " + std::to_string(closes++));
  });
  EXPECT_EQ(error_of(vog->flush_open_streams()), VogError::io("close 0"));
  EXPECT_EQ(closes, 2);
  EXPECT_EQ(vog.layer().open_handle_count(), 0u);
  vog.layer().set_fault(nullptr);
  EXPECT_EQ(error_of(vog->tell(a)), VogError::not_found("invalid stream handle"));
  EXPECT_EQ(error_of(vog->tell(b)), VogError::not_found("invalid stream handle"));
  ok(vog->flush_open_streams());
}

}  // namespace
}  // namespace vog
