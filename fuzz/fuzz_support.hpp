// What the fuzz targets and the seed generator share: a Vog file held in
// memory, the whole engine stacked on it, a sample tree to fill it with, the
// password of every encrypted file they make, and the targets' input formats.
//
// A finding is a broken promise of the engine (a crash, a sanitizer report, a
// check below failing); an input the engine refuses with an error is not one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "file_layer.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"

// Stops the process so that libFuzzer keeps the input that got here.
#define FUZZ_CHECK(cond, what)                                                        \
  do {                                                                                \
    if (!(cond)) ::vog::fuzz::check_failed(#cond, what, __FILE__, __LINE__);          \
  } while (0)

namespace vog::fuzz {

[[noreturn]] inline void check_failed(const char* cond, std::string_view what, const char* file,
                                      int line) {
  std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n  %.*s\n", file, line, cond,
               static_cast<int>(what.size()), what.data());
  std::abort();
}

inline std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

inline const std::string_view kPassword = "fuzz";
// A file in memory that grows past this is a finding: the targets write a few
// KiB at most, and no number read from a damaged file may make the file grow
// to fit it. Files of large blocks may add kGrowthBlocks blocks beyond, as a
// few allocations alone take tens of MiB there.
inline constexpr std::uint64_t kGrowthLimit = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kGrowthBlocks = 64;
// Lines a damaged file's report keeps: enough to reach the summary line,
// without spending the run on formatting thousands of lines.
inline constexpr std::size_t kReportLines = 100;

// Verifies with the short report and checks its bound.
inline void verify_bounded(vog::Vog& vog) {
  if (auto report = vog.verify(kReportLines))
    FUZZ_CHECK(report->size() <= kReportLines + 1, "verify report beyond its bound");
}

// The bytes of a Vog file, with FileOnDisk's contract. Writes never start past
// the end: every block the engine writes to came from allocation, which grows
// the file first, so a write beyond the end means a block number read from the
// file went unchecked (and on a disk would leave a sparse file of any size).
// Growth past `limit` is a finding too (kGrowthLimit).
class FileInMemory final : public FileLayer {
 public:
  FileInMemory(std::shared_ptr<std::vector<std::byte>> bytes, std::uint64_t data_offset,
               std::uint64_t limit)
      : bytes_(std::move(bytes)), data_offset_(data_offset), limit_(limit) {}

  // Takes the data offset from the header, and the block size for the growth
  // limit; nothing else of it is checked, as nothing else of it matters here.
  // REQUIRES: bytes->size() >= kFileHeaderSize.
  static std::unique_ptr<FileLayer> open(std::shared_ptr<std::vector<std::byte>> bytes) {
    std::uint64_t data_offset = std::to_integer<std::uint64_t>((*bytes)[10]) |
                                std::to_integer<std::uint64_t>((*bytes)[11]) << 8;
    // The block layer refuses shifts above 24; a larger one only errs on the generous side.
    const unsigned shift =
        bytes->size() > 12 ? std::min(std::to_integer<unsigned>((*bytes)[12]), 24u) : 0;
    const std::uint64_t limit =
        std::max(kGrowthLimit, bytes->size() + (kGrowthBlocks << shift));
    return std::make_unique<FileInMemory>(std::move(bytes), data_offset, limit);
  }
  // A new file of `data_offset` bytes with its header, as FileOnDisk::create writes it.
  static std::unique_ptr<FileLayer> create(std::shared_ptr<std::vector<std::byte>> bytes,
                                           std::uint16_t data_offset) {
    bytes->assign(data_offset, std::byte{0});
    std::memcpy(bytes->data(), "vogvogvog", 9);
    (*bytes)[9] = std::byte{1};
    (*bytes)[10] = static_cast<std::byte>(data_offset & 0xFF);
    (*bytes)[11] = static_cast<std::byte>(data_offset >> 8);
    return std::make_unique<FileInMemory>(std::move(bytes), data_offset, kGrowthLimit);
  }

  Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    if (offset >= bytes_->size()) return 0;
    std::size_t n = std::min<std::size_t>(out.size(), bytes_->size() - offset);
    std::memcpy(out.data(), bytes_->data() + offset, n);
    return n;
  }
  Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    FUZZ_CHECK(offset <= bytes_->size(),
               "a write starts " + std::to_string(offset - bytes_->size()) +
                   " bytes past the end of a file of " + std::to_string(bytes_->size()));
    check_growth(offset + data.size());
    if (offset + data.size() > bytes_->size()) bytes_->resize(offset + data.size());
    if (!data.empty()) std::memcpy(bytes_->data() + offset, data.data(), data.size());
    return {};
  }
  Result<std::uint64_t> len() override { return bytes_->size(); }
  Result<void> set_len(std::uint64_t length) override {
    check_growth(length);
    bytes_->resize(length);
    return {};
  }
  Result<std::vector<std::string>> verify() override { return std::vector<std::string>{}; }
  std::uint64_t data_offset() const noexcept override { return data_offset_; }

 private:
  void check_growth(std::uint64_t length) const {
    FUZZ_CHECK(length <= limit_, "the file grows from " + std::to_string(bytes_->size()) +
                                     " to " + std::to_string(length) + " bytes, past " +
                                     std::to_string(limit_));
  }

  std::shared_ptr<std::vector<std::byte>> bytes_;
  const std::uint64_t data_offset_;
  const std::uint64_t limit_;
};

// Whether opening `bytes` would derive a key at no more than kCheapCosts; a
// plain file always passes.
bool key_derivation_is_cheap(std::span<const std::byte> bytes);

// The engine on `bytes`, from the block layer up, with the password when the
// file says it is encrypted.
Result<std::shared_ptr<Vog>> open_vog(std::shared_ptr<std::vector<std::byte>> bytes, OpenMode mode);

struct NewFile {
  std::uint8_t block_size_shift = 9;
  std::uint8_t compressed_block_size_shift = 10;
  bool encrypted = false;
};

// A new stream layer on `bytes`, with the admin slots a Vog needs.
Result<std::unique_ptr<StreamLayer>> create_streams(std::shared_ptr<std::vector<std::byte>> bytes,
                                                    const NewFile& options);

// A new, empty Vog on `bytes`. An encrypted one is reopened once with its
// record rewritten to kCheapCosts.
Result<std::shared_ptr<Vog>> create_vog(std::shared_ptr<std::vector<std::byte>> bytes,
                                        const NewFile& options);

// Fills a new Vog with a little of everything a file holds: nested and empty
// directories, plain or compressed streams over several blocks, an empty
// stream, and a deleted stream whose blocks and descriptor slot are free.
Result<void> write_sample_tree(Vog& vog, bool compressed);

// The bytes of a new file holding the sample tree.
Result<std::vector<std::byte>> sample_file(const NewFile& options, bool compressed);

// fuzz_headers keeps the rest of this file and puts its input in place of block 0.
inline constexpr std::size_t kHeadersBlock0Offset = 14;  // the data offset of a plain file
inline constexpr std::size_t kHeadersBlockSize = 512;
inline Result<std::vector<std::byte>> headers_template() { return sample_file(NewFile{}, false); }

// fuzz_directory's input: a name's length (one byte), the name, a directory stream.
struct DirectoryInput {
  std::string name;
  std::span<const std::byte> stream;
};

inline std::vector<std::byte> directory_input(std::string_view name,
                                              std::span<const std::byte> stream) {
  std::vector<std::byte> out{static_cast<std::byte>(name.size())};
  auto name_bytes = bytes_of(name);
  out.insert(out.end(), name_bytes.begin(), name_bytes.end());
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

inline DirectoryInput split_directory_input(std::span<const std::byte> data) {
  if (data.empty()) return {};
  std::size_t length = std::min<std::size_t>(std::to_integer<std::size_t>(data[0]), data.size() - 1);
  auto name = data.subspan(1, length);
  return {std::string(reinterpret_cast<const char*>(name.data()), name.size()),
          data.subspan(1 + length)};
}

}  // namespace vog::fuzz
