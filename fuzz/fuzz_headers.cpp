// The fixed-layout records a file starts from: block 0 with its admin slots,
// the stream layer's header (slot 0), the namespace header (slot 1), stream
// descriptors and the encryption record. Input: a block 0 of 512 bytes.
//
// The block 0, descriptor and encryption record parsers run on the raw input
// and must give back, through their writers, the bytes they accepted (the
// namespace header's round trip is fuzz_directory's, as its byte helpers
// cannot share a translation unit with block 0's). Then the input replaces block 0 of a real
// sample file and the whole engine opens it for writing, lists the root,
// verifies, makes a directory and a stream in it, writes, commits and closes,
// so every header is also read the way an open reads it and used the way the
// first changes use it. No header may make the file grow far (FileInMemory's
// limit).
#include <algorithm>

#include "fuzz_support.hpp"
#include "encryption.hpp"
#include "stream_descriptor.hpp"
#include "superblock.hpp"

namespace vog::fuzz {
namespace {

template <std::size_t N>
bool same_prefix(const std::array<std::byte, N>& written, std::span<const std::byte> input) {
  return std::equal(written.begin(), written.end(), input.begin());
}

void check_record_round_trips(std::span<const std::byte> input) {
  if (auto config = deserialize_config(input))
    FUZZ_CHECK(same_prefix(serialize_config(*config), input), "encryption record does not round-trip");
  if (input.size() >= kDescriptorSize) {
    auto d = StreamDescriptor::decode(input.first<kDescriptorSize>());
    FUZZ_CHECK(same_prefix(d.encode(), input), "descriptor does not round-trip");
  }
}

void check_block0(std::span<const std::byte> input) {
  auto parsed = parse_block0(input);
  if (!parsed) return;
  FUZZ_CHECK(parsed->free_head == load_u32(input, kBlock0FreeHeadOffset), "free-list head");
  for (const Block0SlotInfo& slot : parsed->slots)
    FUZZ_CHECK(slot.offset + std::size_t{slot.size} <= input.size(), "slot beyond block 0");
}

const std::vector<std::byte>& sample_body() {
  static const std::vector<std::byte> body = [] {
    auto made = headers_template();
    FUZZ_CHECK(bool(made), "cannot make the sample file");
    return *made;
  }();
  return body;
}

}  // namespace
}  // namespace vog::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vog;
  using namespace vog::fuzz;
  auto input = std::as_bytes(std::span(data, size));
  if (size > kHeadersBlockSize) return -1;
  check_record_round_trips(input);
  check_block0(input);

  auto bytes = std::make_shared<std::vector<std::byte>>(sample_body());
  std::fill_n(bytes->begin() + kHeadersBlock0Offset, kHeadersBlockSize, std::byte{0});
  std::copy(input.begin(), input.end(), bytes->begin() + kHeadersBlock0Offset);
  auto vog = open_vog(bytes, OpenMode::Write);
  if (!vog) return 0;
  (void)(*vog)->list("");
  (void)(*vog)->list("docs");
  verify_bounded(**vog);
  (void)(*vog)->mkdir("made");
  if (auto handle = (*vog)->create_stream("made/new", (size & 1) != 0)) {
    (void)(*vog)->write(*handle, bytes_of("a few bytes"));
    (void)(*vog)->close_stream(*handle);
  }
  (void)(*vog)->sync();
  vog->reset();
  return 0;
}
