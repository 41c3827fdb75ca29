// A FileSystem in memory that can crash: it remembers every write and length
// change since each file's last sync and, when told, forgets some of them the
// way a killed process or a power loss would.
//
// crash_after(n) lets n more changes through; the next one and everything
// after it fail with "simulated crash" (reads too: the process is gone).
// restart(level) then builds what the next process finds: at Process
// everything written survives; at Full each file keeps what it had at its last
// sync plus a random subset of the later changes, in order, each write torn
// into 512-byte sectors of which a random subset lands. Handles opened before
// the restart stay dead. Creating, naming, renaming and removing files is
// durable at once; a file never named is gone after a restart.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "durability.hpp"
#include "file_system.hpp"

namespace vog::testing {

class CrashFileSystem final : public FileSystem {
 public:
  static constexpr std::uint64_t kSectorSize = 512;

  // Lets `changes` more writes or length changes through, then crashes.
  void crash_after(std::uint64_t changes) {
    std::lock_guard lock(mu_);
    crash_at_ = changes_ + changes;
  }
  // Refuses, as a full disk would, every write or length change that would
  // leave a file longer than `bytes`; 0 lifts the limit. Not a crash.
  void limit_length(std::uint64_t bytes) {
    std::lock_guard lock(mu_);
    length_limit_ = bytes;
  }
  [[nodiscard]] bool crashed() {
    std::lock_guard lock(mu_);
    return crashed_;
  }
  // The bytes a file holds now; empty for a missing file.
  [[nodiscard]] std::vector<std::byte> contents(const std::string& path) {
    std::lock_guard lock(mu_);
    auto found = files_.find(path);
    return found == files_.end() ? std::vector<std::byte>{} : found->second->current;
  }
  void put(const std::string& path, std::vector<std::byte> bytes) {
    std::lock_guard lock(mu_);
    auto& data = files_[path];
    if (!data) data = std::make_shared<Data>();
    data->current = data->durable = std::move(bytes);
    data->unsynced.clear();
  }

  void restart(Durability level, std::mt19937& rng) {
    std::lock_guard lock(mu_);
    ++epoch_;
    crashed_ = false;
    crash_at_ = 0;
    for (auto& [path, data] : files_) {
      if (level == Durability::Full) {
        std::vector<std::byte> bytes = data->durable;
        for (const Change& change : data->unsynced) {
          if (rng() % 2 == 0) continue;
          if (change.truncate) {
            bytes.resize(change.offset);
            continue;
          }
          for (std::uint64_t at = change.offset; at < change.offset + change.bytes.size();) {
            std::uint64_t end = std::min<std::uint64_t>((at / kSectorSize + 1) * kSectorSize,
                                                         change.offset + change.bytes.size());
            if (rng() % 4 != 0) {
              if (bytes.size() < end) bytes.resize(end);
              std::memcpy(bytes.data() + at, change.bytes.data() + (at - change.offset), end - at);
            }
            at = end;
          }
        }
        data->current = std::move(bytes);
      }
      data->durable = data->current;
      data->unsynced.clear();
    }
  }

  Result<std::unique_ptr<PlainFile>> open(const std::string& path, OpenHow how,
                                          AccessMode mode) override {
    VOG_CHECK(check_os_path(path));
    std::lock_guard lock(mu_);
    if (crashed_) return std::unexpected(crash_error());
    if (how == OpenHow::CreateUnnamed)  // a crash forgets it, as it has no name
      return std::unique_ptr<PlainFile>(new File(*this, std::make_shared<Data>(), epoch_, true));
    auto found = files_.find(path);
    if (how == OpenHow::CreateNew && found != files_.end())
      return std::unexpected(VogError::io("File exists"));
    if (how == OpenHow::OpenExisting && found == files_.end())
      return std::unexpected(VogError::io("No such file or directory"));
    if (found == files_.end()) found = files_.emplace(path, std::make_shared<Data>()).first;
    return std::unique_ptr<PlainFile>(
        new File(*this, found->second, epoch_, mode == AccessMode::Writable));
  }
  Result<bool> exists(const std::string& path) override {
    VOG_CHECK(check_os_path(path));
    std::lock_guard lock(mu_);
    return files_.contains(path);
  }
  Result<std::uint64_t> file_size(const std::string& path) override {
    std::lock_guard lock(mu_);
    auto found = files_.find(path);
    if (found == files_.end()) return std::unexpected(VogError::io("No such file or directory"));
    return found->second->current.size();
  }
  Result<void> remove(const std::string& path) override {
    std::lock_guard lock(mu_);
    if (crashed_) return std::unexpected(crash_error());
    files_.erase(path);
    return {};
  }
  Result<void> replace(const std::string& from, const std::string& to) override {
    std::lock_guard lock(mu_);
    if (crashed_) return std::unexpected(crash_error());
    auto found = files_.find(from);
    if (found == files_.end()) return std::unexpected(VogError::io("No such file or directory"));
    files_[to] = found->second;
    files_.erase(found);
    return {};
  }
  Result<void> sync_directory_of(const std::string&) override { return {}; }

 private:
  struct Change {
    std::uint64_t offset = 0;
    std::vector<std::byte> bytes;
    bool truncate = false;
  };
  struct Data {
    std::vector<std::byte> current;
    std::vector<std::byte> durable;
    std::vector<Change> unsynced;
  };

  static VogError crash_error() { return VogError::io("simulated crash"); }
  static VogError full_error() { return VogError::io("File too large"); }
  // REQUIRES: mu_ held.
  bool too_long(std::uint64_t length) const { return length_limit_ != 0 && length > length_limit_; }

  // REQUIRES: mu_ held. False once the process has crashed for this handle.
  bool alive(std::uint64_t epoch) const { return !crashed_ && epoch == epoch_; }
  // REQUIRES: mu_ held. Counts a change; false when it is the one that crashes.
  bool admit_change() {
    if (crash_at_ != 0 && changes_ >= crash_at_) {
      crashed_ = true;
      return false;
    }
    ++changes_;
    return true;
  }

  class File final : public PlainFile {
   public:
    File(CrashFileSystem& fs, std::shared_ptr<Data> data, std::uint64_t epoch, bool writable)
        : fs_(fs), data_(std::move(data)), epoch_(epoch), writable_(writable) {}

    Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
      std::lock_guard lock(fs_.mu_);
      if (!fs_.alive(epoch_)) return std::unexpected(crash_error());
      const auto& bytes = data_->current;
      if (offset >= bytes.size()) return 0;
      std::size_t n = std::min<std::size_t>(out.size(), bytes.size() - offset);
      std::memcpy(out.data(), bytes.data() + offset, n);
      return n;
    }
    Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
      std::lock_guard lock(fs_.mu_);
      if (!writable_) return std::unexpected(VogError::io("Bad file descriptor"));
      if (fs_.too_long(std::max<std::uint64_t>(data_->current.size(), offset + data.size())))
        return std::unexpected(full_error());
      if (!fs_.alive(epoch_) || !fs_.admit_change()) return std::unexpected(crash_error());
      auto& bytes = data_->current;
      if (bytes.size() < offset + data.size()) bytes.resize(offset + data.size());
      if (!data.empty()) std::memcpy(bytes.data() + offset, data.data(), data.size());
      data_->unsynced.push_back({offset, {data.begin(), data.end()}, false});
      return {};
    }
    Result<std::uint64_t> len() override {
      std::lock_guard lock(fs_.mu_);
      if (!fs_.alive(epoch_)) return std::unexpected(crash_error());
      return data_->current.size();
    }
    Result<void> set_len(std::uint64_t length) override {
      std::lock_guard lock(fs_.mu_);
      if (!writable_) return std::unexpected(VogError::io("Bad file descriptor"));
      if (fs_.too_long(std::max<std::uint64_t>(data_->current.size(), length)) &&
          length > data_->current.size())
        return std::unexpected(full_error());
      if (!fs_.alive(epoch_) || !fs_.admit_change()) return std::unexpected(crash_error());
      data_->current.resize(length);
      data_->unsynced.push_back({length, {}, true});
      return {};
    }
    Result<void> sync() override {
      std::lock_guard lock(fs_.mu_);
      if (!fs_.alive(epoch_)) return std::unexpected(crash_error());
      data_->durable = data_->current;
      data_->unsynced.clear();
      return {};
    }
    // One process, one opener: every lock is granted.
    Result<void> try_lock(LockKind) override { return {}; }
    Result<bool> try_lock_byte(std::uint64_t, LockKind) override { return true; }
    void unlock_byte(std::uint64_t) override {}
    void mark_holder(std::uint64_t) override {}
    std::optional<std::int64_t> holder_of(std::uint64_t) override { return std::nullopt; }
    Result<bool> link(const std::string& path) override {
      std::lock_guard lock(fs_.mu_);
      if (!fs_.alive(epoch_)) return std::unexpected(crash_error());
      return fs_.files_.emplace(path, data_).second;
    }

   private:
    CrashFileSystem& fs_;
    std::shared_ptr<Data> data_;
    const std::uint64_t epoch_;
    const bool writable_;
  };

  std::mutex mu_;
  std::map<std::string, std::shared_ptr<Data>> files_;  // guarded by mu_
  std::uint64_t epoch_ = 0;                             // guarded by mu_
  std::uint64_t changes_ = 0;                           // guarded by mu_
  std::uint64_t crash_at_ = 0;                          // guarded by mu_; 0: never
  std::uint64_t length_limit_ = 0;                      // guarded by mu_; 0: none
  bool crashed_ = false;                                // guarded by mu_
};

}  // namespace vog::testing
