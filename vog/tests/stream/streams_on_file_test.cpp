// The stream layer on real files: the same scenarios as on the in-memory block
// layer, reopened from disk, plain and encrypted.
#include <gtest/gtest.h>

#include <filesystem>

#include "stream_test_helpers.hpp"
#include "streams_from_blocks.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::must;
using testing::read_stream;
using testing::write_stream;
using testing::TempDir;

const std::uint16_t kNamespaceSlot[] = {11};

std::span<const std::byte> password_bytes() {
  static const std::string kPassword = "correct horse";
  return {reinterpret_cast<const std::byte*>(kPassword.data()), kPassword.size()};
}

class StreamsOnFileTest : public ::testing::TestWithParam<bool> {
 protected:
  Password password() const { return GetParam() ? Password(password_bytes()) : std::nullopt; }
  std::unique_ptr<StreamsFromBlocks> create() {
    return must(StreamsFromBlocks::create(path, 12, 15, kNamespaceSlot, password()));
  }
  std::unique_ptr<StreamsFromBlocks> reopen() {
    return must(StreamsFromBlocks::open(path, AccessMode::Writable, password()));
  }

  TempDir dir;
  std::string path = dir.file("streams.vog");
};

TEST_P(StreamsOnFileTest, StreamsSurviveReopeningAndVerifyClean) {
  auto plain = testing::noise(3 * 1024 * 1024 + 17, 1);
  auto text = testing::text_like(1024 * 1024 + 5, 2);
  std::vector<StreamId> ids;
  {
    auto layer = create();
    for (bool compressed : {false, true}) {
      StreamId id = must(layer->create_stream(compressed));
      write_stream(*layer, id, compressed ? text : plain);
      ids.push_back(id);
    }
  }
  auto layer = reopen();
  EXPECT_EQ(must(layer->block_layer().read_admin_slot(1)).size(), 11u);
  EXPECT_EQ(read_stream(*layer, ids[0]), plain);
  EXPECT_EQ(read_stream(*layer, ids[1]), text);
  EXPECT_EQ(must(layer->verify(ids)), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, StreamsOnFileTest, ::testing::Bool(),
                         [](const auto& param_info) { return param_info.param ? "Encrypted" : "Plain"; });

TEST(StreamsOnFileCreate, BadShiftsAreRefusedWithoutTouchingThePath) {
  struct Case {
    std::uint8_t shift, cshift;
    const char* message;
  };
  const Case cases[] = {
      {12, 22, "compressed_block_size_shift (22) is too large for block_size_shift (12)"},
      // The block layer's own check comes before the compressed-block bound.
      {8, 15, "block_size_shift must be >= 9 (minimum 512 bytes for superblock)"},
  };
  for (const Case& c : cases) {
    for (bool exists : {false, true}) {
      TempDir dir;
      std::string path = dir.file("bad.vog");
      const std::vector<unsigned char> before = {'k', 'e', 'e', 'p'};
      if (exists) testing::write_all(path, before);
      EXPECT_VOG_ERROR(StreamsFromBlocks::create(path, c.shift, c.cshift, kNamespaceSlot,
                                                 std::nullopt),
                       IoError, c.message);
      EXPECT_EQ(std::filesystem::exists(path), exists) << c.message;
      if (exists) {
        EXPECT_EQ(testing::read_all(path), before) << c.message;
      }
    }
  }
}

}  // namespace
}  // namespace vog
