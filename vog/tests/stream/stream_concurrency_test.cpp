// Many threads on one stream layer: readers share a stream while other threads
// create, write and delete streams of their own, and a writer is kept out.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "memory_block_layer.hpp"
#include "stream_test_helpers.hpp"
#include "streams_from_blocks.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::BorrowedBlockLayer;
using testing::MemoryBlockLayer;
using testing::must;

constexpr int kReaders = 6;
constexpr int kBuilders = 3;
constexpr int kRounds = 60;

// Runs on the in-memory block layer (which also accounts for every block) and
// on a real file, whose per-thread block caches are part of what is tested.
class StreamConcurrency : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      layer = must(StreamsFromBlocks::create(dir.file("threads.vog"), 9, 12, {}, std::nullopt));
    } else {
      layer = must(StreamsFromBlocks::create_on(std::make_unique<BorrowedBlockLayer>(fake), 12));
    }
  }
  // Every block is in a tree or free (only the fake can tell).
  void expect_no_leak() {
    if (!GetParam()) fake.expect_claims_match_used_blocks();
  }

  testing::TempDir dir;
  MemoryBlockLayer fake{9, {28}};
  std::unique_ptr<StreamsFromBlocks> layer;
};

TEST_P(StreamConcurrency, ReadersShareWhileOthersBuildAndAWriterIsExcluded) {
  const auto plain_bytes = testing::noise(300000, 1);
  const auto packed_bytes = testing::text_like(300000, 2);
  StreamId shared[2];
  for (int i = 0; i < 2; ++i) {
    shared[i] = must(layer->create_stream(i == 1));
    testing::write_stream(*layer, shared[i], i == 0 ? plain_bytes : packed_bytes);
  }

  std::atomic<int> readers_in[2] = {0, 0};  // raised after open, lowered before close
  std::atomic<bool> writer_in[2] = {false, false};
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> writer_entries{0};

  auto reader = [&](int seed) {
    std::mt19937 rng(static_cast<std::uint32_t>(seed));
    for (int round = 0; round < kRounds; ++round) {
      int which = static_cast<int>(rng() % 2);
      const auto& expected = which == 0 ? plain_bytes : packed_bytes;
      auto h = layer->open_stream_inner(shared[which], false, rng() % 2 == 0);
      if (!h) {
        if (h.error().kind() != ErrorKind::LockConflict) ++failures;
        continue;
      }
      ++readers_in[which];
      if (writer_in[which]) ++failures;
      for (int i = 0; i < 5; ++i) {
        std::size_t at = rng() % expected.size();
        std::vector<std::byte> out(rng() % 20000);
        auto got = layer->read(*h, at, out);
        std::size_t want = std::min(out.size(), expected.size() - at);
        if (!got || *got != want || !std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want),
                                                expected.begin() + static_cast<std::ptrdiff_t>(at)))
          ++failures;
      }
      --readers_in[which];
      if (!layer->close_stream(*h)) ++failures;
    }
  };

  // Rewrites the shared streams with their own bytes whenever it gets in.
  auto writer = [&] {
    std::mt19937 rng(99);
    while (!stop) {
      int which = static_cast<int>(rng() % 2);
      auto h = layer->open_stream_inner(shared[which], true, false);
      if (!h) {
        if (h.error() != VogError::lock_conflict(format("lock conflict on stream {}", shared[which])))
          ++failures;
        std::this_thread::yield();
        continue;
      }
      writer_in[which] = true;
      ++writer_entries;
      if (readers_in[which] != 0) ++failures;
      const auto& bytes = which == 0 ? plain_bytes : packed_bytes;
      std::size_t at = rng() % (bytes.size() - 5000);
      if (!layer->write(*h, at, std::span(bytes).subspan(at, 5000))) ++failures;
      writer_in[which] = false;
      if (!layer->close_stream(*h)) ++failures;
    }
  };

  auto builder = [&](int seed) {
    std::mt19937 rng(static_cast<std::uint32_t>(seed));
    for (int round = 0; round < kRounds / 2; ++round) {
      bool compressed = rng() % 2 == 0;
      auto data = testing::text_like(rng() % 50000 + 1, static_cast<std::uint32_t>(rng()));
      auto id = layer->create_stream(compressed);
      if (!id) {
        ++failures;
        continue;
      }
      auto h = layer->open_stream_inner(*id, true, false);
      if (!h || !layer->write(*h, 0, data) || !layer->close_stream(*h)) {
        ++failures;
        continue;
      }
      auto r = layer->open_stream_inner(*id, false, true);
      std::vector<std::byte> out(data.size());
      if (!r || !layer->read(*r, 0, out) || out != data || !layer->close_stream(*r)) ++failures;
      if (!layer->delete_stream(*id)) ++failures;
    }
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) threads.emplace_back(reader, i + 1);
  for (int i = 0; i < kBuilders; ++i) threads.emplace_back(builder, 100 + i);
  std::thread writing(writer);
  for (auto& t : threads) t.join();
  while (writer_entries == 0) std::this_thread::yield();  // with the readers gone it gets in
  stop = true;
  writing.join();
  EXPECT_EQ(failures.load(), 0);

  // Everything the builders made is gone again; the shared streams are intact.
  StreamId ids[] = {shared[0], shared[1]};
  EXPECT_EQ(must(layer->verify(ids)), std::vector<std::string>{});
  expect_no_leak();
  EXPECT_TRUE(testing::read_stream(*layer, shared[0]) == plain_bytes);
  EXPECT_TRUE(testing::read_stream(*layer, shared[1]) == packed_bytes);
}

TEST_P(StreamConcurrency, OneHandleUsedByManyThreadsKeepsOneDescriptor) {
  // On a compressed stream, small reads share the handle's kept cblock while
  // other threads change that cblock through the same handle.
  std::vector<StreamId> ids;
  for (bool compressed : {false, true}) {
    StreamId id = must(layer->create_stream(compressed));
    ids.push_back(id);
    auto h = must(layer->open_stream_inner(id, true, false));
    constexpr int kThreads = 4;
    constexpr std::size_t kPiece = 700;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::vector<std::byte> back(kPiece);
        for (std::size_t i = 0; i < 40; ++i) {
          std::vector<std::byte> piece(kPiece, static_cast<std::byte>(t + 1));
          const std::size_t at = (i * kThreads + static_cast<std::size_t>(t)) * kPiece;
          must(layer->write(h, at, piece));
          ASSERT_EQ(must(layer->read(h, at, back)), kPiece);
          ASSERT_TRUE(back == piece) << at;
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(must(layer->stream_length(h)), kThreads * 40 * kPiece);
    std::vector<std::byte> out(kThreads * 40 * kPiece);
    must(layer->read(h, 0, out));
    for (std::size_t p = 0; p < kThreads * 40; ++p)
      ASSERT_EQ(out[p * kPiece], static_cast<std::byte>(p % kThreads + 1)) << p;
    must(layer->close_stream(h));
  }
  EXPECT_EQ(must(layer->verify(ids)), std::vector<std::string>{});
  expect_no_leak();
}

INSTANTIATE_TEST_SUITE_P(Blocks, StreamConcurrency, ::testing::Bool(),
                         [](const auto& param_info) { return param_info.param ? "File" : "Memory"; });

}  // namespace
}  // namespace vog
