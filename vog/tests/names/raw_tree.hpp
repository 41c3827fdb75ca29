// Vog files whose directory tree is written straight into the stream layer, for
// shapes the namespace layer would take too long to build (or never builds).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "directory_stream.hpp"
#include "file_patch.hpp"
#include "streams_from_blocks.hpp"
#include "vog_test_util.hpp"

namespace vog::testing {

// A plain file of 512-byte blocks whose root directory holds one entry stored
// as `names[0]`, naming a stream that holds one entry `names[1]`, and so on:
// each of the names.size() + 1 streams, but the last, holds one entry.
inline void write_entry_chain(const std::string& path, const std::vector<std::string>& names) {
  const std::array<std::uint16_t, 1> slots = {static_cast<std::uint16_t>(kL4HeaderSize)};
  auto streams = StreamsFromBlocks::create(path, 9, 12, slots, std::nullopt);
  ASSERT_TRUE(streams) << streams.error().to_string();
  StreamsFromBlocks& layer = **streams;
  std::vector<StreamId> ids;
  for (std::size_t level = 0; level <= names.size(); ++level) ids.push_back(ok(layer.create_stream(false)));
  for (std::size_t level = 0; level < names.size(); ++level) {
    std::array<StreamEntry, 1> entries = {StreamEntry{names[level], ids[level + 1]}};
    auto bytes = build_directory_stream(entries);
    auto handle = layer.open_stream_inner(ids[level], /*for_write=*/true, /*wait=*/false);
    ASSERT_TRUE(handle) << handle.error().to_string();
    ASSERT_EQ(ok(layer.write(*handle, 0, bytes)), bytes.size());
    ok(layer.close_stream(*handle));
  }
  ok(layer.block_layer().write_admin_slot(1, serialize_header(ids[0])));
}

// `size` letters of a few kinds, different for each seed: compressible, never constant.
inline std::string pattern(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  std::uint32_t state = seed;
  for (char& c : out) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>('a' + (state >> 24) % 7);
  }
  return out;
}

inline const std::array<std::byte, 6> kPassword = {std::byte{'s'}, std::byte{'e'}, std::byte{'c'},
                                                   std::byte{'r'}, std::byte{'e'}, std::byte{'t'}};

// Blocks of 512 bytes and compressed blocks of 4 KiB: small files with deep trees.
inline CreateOptions small_blocks(Password password) {
  CreateOptions options;
  options.password = password;
  options.block_size_shift = 9;
  options.compressed_block_size_shift = 12;
  return options;
}

// A plain file holding streams "a" and "z" and directory "d" (stream ID 2),
// whose only entry "d/e" is patched to name d itself: a cycle.
inline void write_directory_cycle(const std::string& path) {
  {
    auto vog = Vog::create(path, small_blocks(std::nullopt));
    ASSERT_TRUE(vog);
    put_stream(**vog, "a", "first");
    ok((*vog)->mkdir("d"));    // ID 2
    ok((*vog)->mkdir("d/e"));  // ID 3, the only entry of d
    put_stream(**vog, "z", "last");
  }
  FilePatch file(path, 512);
  file.put_u32(file.block_at(file.top_block_of(2)), 2);
}

// A plain file holding stream "s" (ID 1: a leaf and six data blocks) whose leaf
// names the end marker in place of its second data block, then stream "t"
// holding "intact". Returns what "s" held.
inline std::string write_broken_stream(const std::string& path) {
  const std::string data = pattern(3000, 9);
  {
    auto vog = Vog::create(path, small_blocks(std::nullopt));
    EXPECT_TRUE(vog) << vog.error().to_string();
    if (!vog) return data;
    put_stream(**vog, "s", data);
    put_stream(**vog, "t", "intact");
  }
  FilePatch file(path, 512);
  file.put_u32(file.block_at(file.top_block_of(1)) + 4, 0xFFFFFFFF);
  return data;
}

}  // namespace vog::testing
