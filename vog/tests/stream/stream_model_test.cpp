// Long random sequences of stream operations checked byte for byte against a
// model, with small blocks so that trees reach depth 3, and every block
// accounted for afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "memory_block_layer.hpp"
#include "stream_test_helpers.hpp"
#include "streams_from_blocks.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::BorrowedBlockLayer;
using testing::MemoryBlockLayer;
using testing::must;

constexpr std::uint8_t kBlockShift = 9;   // F = 128: depth 3 past 16384 units
constexpr std::uint8_t kCblockShift = 10;

struct ModelStream {
  StreamId id = 0;
  bool compressed = false;
  std::uint64_t unit = 0;
  std::vector<std::byte> bytes;
  std::uint64_t reserved = 0;
  BlockStreamHandle handle = 0;
};

std::uint64_t round_up(std::uint64_t n, std::uint64_t unit) { return (n + unit - 1) / unit * unit; }

enum class Store { Memory, File, EncryptedFile };

// On a real store the block layer's own check stands in for the fake's
// accounting: it reports every block that is neither claimed nor free.
class StreamModelTest : public ::testing::TestWithParam<std::tuple<std::uint32_t, Store>> {
 protected:
  void SetUp() override {
    auto [seed, store] = GetParam();
    rng.seed(seed);
    if (store == Store::Memory) {
      fake = std::make_unique<MemoryBlockLayer>(kBlockShift, std::vector<std::uint16_t>{28});
      layer = must(StreamsFromBlocks::create_on(std::make_unique<BorrowedBlockLayer>(*fake),
                                                kCblockShift));
      return;
    }
    static const std::string kPassword = "model";
    Password password;
    if (store == Store::EncryptedFile)
      password = std::span(reinterpret_cast<const std::byte*>(kPassword.data()), kPassword.size());
    layer = must(StreamsFromBlocks::create(dir.file("model.vog"), kBlockShift, kCblockShift, {},
                                           password));
  }
  void expect_every_block_accounted() {
    if (fake) fake->expect_claims_match_used_blocks();
  }

  std::uint64_t pick(std::uint64_t bound) {  // uniform in [0, bound]
    return std::uniform_int_distribution<std::uint64_t>(0, bound)(rng);
  }
  bool chance(int percent) { return pick(99) < static_cast<std::uint64_t>(percent); }

  void add_stream(bool compressed) {
    ModelStream s;
    s.compressed = compressed;
    s.unit = compressed ? 1u << kCblockShift : 1u << kBlockShift;
    s.id = must(layer->create_stream(compressed));
    s.handle = must(layer->open_stream_inner(s.id, true, false));
    EXPECT_EQ(must(layer->is_stream_compressed(s.handle)), compressed);
    streams.push_back(std::move(s));
  }

  void check_window(ModelStream& s) {
    std::uint64_t at = pick(s.bytes.size() + 100);
    // Small reads inside one cblock go through the handle's kept cblock.
    std::vector<std::byte> out(pick(chance(50) ? 300 : 3000));
    std::size_t got = must(layer->read(s.handle, at, out));
    std::size_t expect = at >= s.bytes.size() ? 0 : std::min<std::size_t>(out.size(), s.bytes.size() - at);
    ASSERT_EQ(got, expect) << "read at " << at;
    ASSERT_TRUE(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got),
                           s.bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(at, s.bytes.size()))));
  }

  void check_whole(ModelStream& s) {
    ASSERT_EQ(must(layer->stream_length(s.handle)), s.bytes.size());
    ASSERT_EQ(must(layer->stream_reserved(s.handle)), s.reserved);
    std::vector<std::byte> out(s.bytes.size());
    ASSERT_EQ(must(layer->read(s.handle, 0, out)), out.size());
    ASSERT_TRUE(out == s.bytes) << "stream " << s.id << " differs from the model";
  }

  void step(ModelStream& s) {
    std::uint64_t size = s.bytes.size();
    switch (pick(9)) {
      case 0: case 1: case 2: {  // write near or inside the stream
        // Sometimes inside the reserved room, which may lie deep in a tall tree.
        std::uint64_t at = chance(20) ? pick(std::max(size, s.reserved)) : pick(size + 2 * s.unit);
        auto data = chance(30) ? testing::noise(pick(5000) + 1, static_cast<std::uint32_t>(rng()))
                               : testing::text_like(pick(20000) + 1, static_cast<std::uint32_t>(rng()));
        ASSERT_EQ(must(layer->write(s.handle, at, data)), data.size());
        if (at + data.size() > s.bytes.size()) s.bytes.resize(at + data.size());
        std::copy(data.begin(), data.end(), s.bytes.begin() + static_cast<std::ptrdiff_t>(at));
        s.reserved = std::max(s.reserved, round_up(s.bytes.size(), s.unit));
        break;
      }
      case 3: {  // reserve, now and then far enough for a depth-3 tree
        std::uint64_t target = chance(4) ? (std::uint64_t{128} * 128 + pick(300)) * s.unit
                                         : pick(size + 20 * s.unit);
        auto reserved = layer->reserve(s.handle, target);
        if (target < size) {
          ASSERT_FALSE(reserved);
          EXPECT_EQ(reserved.error().detail(),
                    format("cannot reserve {} bytes: stream size is already {}", target, size));
        } else {
          ASSERT_TRUE(reserved) << reserved.error().to_string();
          s.reserved = std::max(s.reserved, round_up(target, s.unit));
        }
        break;
      }
      case 4: {  // truncate, sometimes to nothing
        std::uint64_t target = chance(15) ? 0 : pick(size + s.unit);
        must(layer->truncate(s.handle, target));
        if (target < size) {
          s.bytes.resize(target);
          s.reserved = round_up(target, s.unit);
        }
        break;
      }
      case 5: {  // a write that leaves a gap past the end
        std::uint64_t at = size + pick(3 * s.unit);
        auto data = testing::text_like(pick(100) + 1, static_cast<std::uint32_t>(rng()));
        must(layer->write(s.handle, at, data));
        s.bytes.resize(at, std::byte{0});
        s.bytes.insert(s.bytes.end(), data.begin(), data.end());
        s.reserved = std::max(s.reserved, round_up(s.bytes.size(), s.unit));
        break;
      }
      case 6: {  // close and reopen: the descriptor goes through the table
        must(layer->close_stream(s.handle));
        s.handle = must(layer->open_stream_inner(s.id, true, false));
        break;
      }
      default:
        check_window(s);
    }
  }

  testing::TempDir dir;
  std::unique_ptr<MemoryBlockLayer> fake;
  std::unique_ptr<StreamsFromBlocks> layer;
  std::mt19937_64 rng;
  std::vector<ModelStream> streams;
};

std::string case_name(const ::testing::TestParamInfo<std::tuple<std::uint32_t, Store>>& info) {
  static const char* const kStores[] = {"Memory", "File", "EncryptedFile"};
  return std::string(kStores[static_cast<int>(std::get<1>(info.param))]) + "Seed" +
         std::to_string(std::get<0>(info.param));
}

TEST_P(StreamModelTest, RandomOperationsMatchTheModelAndLeakNoBlock) {
  for (int i = 0; i < 3; ++i) add_stream(i == 1);
  add_stream(true);
  int deep_steps = 0;  // steps on a stream with data and a depth-3 tree
  for (int op = 0; op < 1500; ++op) {
    ModelStream& s = streams[pick(streams.size() - 1)];
    ASSERT_NO_FATAL_FAILURE(step(s)) << "operation " << op;
    if (s.reserved > std::uint64_t{128} * 128 * s.unit && s.bytes.size() > s.unit) ++deep_steps;
    if (op % 50 == 49) {
      for (auto& each : streams) ASSERT_NO_FATAL_FAILURE(check_whole(each));
    }
    if (op == 250) {  // replace a stream: its ID comes back and its blocks are reused
      must(layer->close_stream(streams[0].handle));
      must(layer->delete_stream(streams[0].id));
      StreamId old = streams[0].id;
      streams.erase(streams.begin());
      add_stream(false);
      EXPECT_EQ(streams.back().id, old);
    }
  }
  EXPECT_GT(deep_steps, 0);
  for (auto& s : streams) {  // room past the length must be freed with its stream too
    s.reserved += 5 * s.unit;
    must(layer->reserve(s.handle, s.reserved));
  }
  add_stream(false);  // left empty: it claims no block, not even block 0
  std::vector<StreamId> ids;
  for (auto& s : streams) {
    ASSERT_NO_FATAL_FAILURE(check_whole(s));
    must(layer->close_stream(s.handle));
    ids.push_back(s.id);
  }
  EXPECT_EQ(must(layer->verify(ids)), std::vector<std::string>{});
  expect_every_block_accounted();

  for (StreamId id : ids) must(layer->delete_stream(id));
  EXPECT_EQ(must(layer->verify({})), std::vector<std::string>{});
  expect_every_block_accounted();
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, StreamModelTest,
    ::testing::Values(std::tuple(1u, Store::Memory), std::tuple(2u, Store::Memory),
                      std::tuple(3u, Store::Memory), std::tuple(4u, Store::File),
                      std::tuple(5u, Store::EncryptedFile)),
    case_name);

}  // namespace
}  // namespace vog
