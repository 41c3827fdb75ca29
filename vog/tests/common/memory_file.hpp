// An in-memory FileLayer with counters and injected failures, for testing the
// block layer without a disk. The bytes live in a MemoryDisk shared by every
// handle on it, so a store can be dropped and opened again.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "file_layer.hpp"

namespace vog::testing {

struct MemoryDisk {
  std::mutex mu;
  std::vector<std::byte> bytes;
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::uint64_t set_lens = 0;
  std::uint64_t fail_write_number = 0;  // the write with this 1-based number fails; 0: none
  bool fail_set_len = false;

  // Makes the n-th write from now fail (n = 1: the next one).
  void fail_nth_write_from_now(std::uint64_t n) {
    std::lock_guard lock(mu);
    fail_write_number = writes + n;
  }
  std::uint64_t write_count() {
    std::lock_guard lock(mu);
    return writes;
  }
  std::uint64_t read_count() {
    std::lock_guard lock(mu);
    return reads;
  }
  std::vector<std::byte> snapshot() {
    std::lock_guard lock(mu);
    return bytes;
  }
};

class MemoryFile final : public FileLayer {
 public:
  static std::unique_ptr<FileLayer> create(std::shared_ptr<MemoryDisk> disk,
                                           std::uint16_t data_offset) {
    std::lock_guard lock(disk->mu);
    disk->bytes.assign(data_offset, std::byte{0});
    std::memcpy(disk->bytes.data(), "vogvogvog", 9);
    disk->bytes[9] = std::byte{1};
    disk->bytes[10] = static_cast<std::byte>(data_offset & 0xFF);
    disk->bytes[11] = static_cast<std::byte>(data_offset >> 8);
    return std::unique_ptr<FileLayer>(new MemoryFile(std::move(disk), data_offset));
  }
  // Takes the data offset from the header as it stands.
  static std::unique_ptr<FileLayer> open(std::shared_ptr<MemoryDisk> disk) {
    std::uint64_t data_offset;
    {
      std::lock_guard lock(disk->mu);
      data_offset = std::to_integer<std::uint64_t>(disk->bytes.at(10)) |
                    std::to_integer<std::uint64_t>(disk->bytes.at(11)) << 8;
    }
    return std::unique_ptr<FileLayer>(new MemoryFile(std::move(disk), data_offset));
  }

  Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    std::lock_guard lock(disk_->mu);
    ++disk_->reads;
    if (offset >= disk_->bytes.size()) return 0;
    std::size_t n = std::min<std::size_t>(out.size(), disk_->bytes.size() - offset);
    std::memcpy(out.data(), disk_->bytes.data() + offset, n);
    return n;
  }
  Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    std::lock_guard lock(disk_->mu);
    ++disk_->writes;
    if (disk_->writes == disk_->fail_write_number)
      return std::unexpected(VogError::io("injected write failure"));
    if (offset + data.size() > disk_->bytes.size()) disk_->bytes.resize(offset + data.size());
    if (!data.empty()) std::memcpy(disk_->bytes.data() + offset, data.data(), data.size());
    return {};
  }
  Result<std::uint64_t> len() override {
    std::lock_guard lock(disk_->mu);
    return disk_->bytes.size();
  }
  Result<void> set_len(std::uint64_t length) override {
    std::lock_guard lock(disk_->mu);
    ++disk_->set_lens;
    if (disk_->fail_set_len) return std::unexpected(VogError::io("injected set_len failure"));
    disk_->bytes.resize(length);
    return {};
  }
  Result<std::vector<std::string>> verify() override { return std::vector<std::string>{}; }
  std::uint64_t data_offset() const noexcept override { return data_offset_; }

 private:
  MemoryFile(std::shared_ptr<MemoryDisk> disk, std::uint64_t data_offset)
      : disk_(std::move(disk)), data_offset_(data_offset) {}

  std::shared_ptr<MemoryDisk> disk_;
  std::uint64_t data_offset_;
};

}  // namespace vog::testing
