// FileOnDisk: the Vog file header and the advisory lock, on a PlainFile.
//
// Bytes owned on disk: the 12-byte header (magic "vogvogvog", version 1,
// data_offset as u16 LE). create() also zero-fills up to data_offset for the
// block layer.
//
// Invariants:
//  1. A FileOnDisk exists only with its whole-file lock held (exclusive when
//     writable, unless a journaled writer shares it with readers).
//  2. data_offset_ never changes; verify() compares the file against it.
#include "file_on_disk.hpp"

#include <array>
#include <cstring>

#include "format.hpp"

namespace vog {
namespace {

constexpr std::array<char, 9> kMagic = {'v', 'o', 'g', 'v', 'o', 'g', 'v', 'o', 'g'};
constexpr std::uint8_t kFormatVersion = 1;

bool has_magic(std::span<const std::byte> header) {
  return std::memcmp(header.data(), kMagic.data(), kMagic.size()) == 0;
}

std::uint16_t stored_data_offset(std::span<const std::byte> header) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(header[10]) |
                                    std::to_integer<unsigned>(header[11]) << 8);
}


}  // namespace

Result<std::unique_ptr<FileOnDisk>> FileOnDisk::create(FileSystem& fs, const std::string& path,
                                                      std::uint16_t data_offset, OpenHow how,
                                                      LockKind lock) {
  if (data_offset < kFileHeaderSize)
    return std::unexpected(VogError::io(
        format("data_offset {} is smaller than the {}-byte header", data_offset, kFileHeaderSize)));
  VOG_TRY(present, fs.exists(path));
  if (*present) return std::unexpected(VogError::already_exists(path));

  auto file = fs.open(path, how, AccessMode::Writable);
  if (!file) return std::unexpected(with_action("failed to create Vog file: ", file.error()));
  if (auto locked = (*file)->try_lock(lock); !locked)
    return std::unexpected(with_action("Vog file is locked by another process: ", locked.error()));

  std::vector<std::byte> header(data_offset);
  std::memcpy(header.data(), kMagic.data(), kMagic.size());
  header[9] = std::byte{kFormatVersion};
  header[10] = static_cast<std::byte>(data_offset & 0xFF);
  header[11] = static_cast<std::byte>(data_offset >> 8);
  if (auto wrote = (*file)->write(0, header); !wrote)
    return std::unexpected(with_action("failed to write Vog header: ", wrote.error()));

  return std::unique_ptr<FileOnDisk>(new FileOnDisk(std::move(*file), data_offset));
}

Result<std::unique_ptr<FileOnDisk>> FileOnDisk::open(FileSystem& fs, const std::string& path,
                                                    AccessMode mode, std::optional<LockKind> lock,
                                                    Timeout timeout) {
  const LockKind kind =
      lock.value_or(mode == AccessMode::Writable ? LockKind::Exclusive : LockKind::Shared);
  auto file = fs.open(path, OpenHow::OpenExisting, mode);
  if (!file) {
    if (file.error().kind() == ErrorKind::InvalidPath) return std::unexpected(file.error());
    return std::unexpected(with_action("failed to open Vog file: ", file.error()));
  }
  if (auto locked = sharing::flock_within(**file, kind, timeout); !locked)
    return std::unexpected(with_action("Vog file is locked by another process: ", locked.error()));

  std::array<std::byte, kFileHeaderSize> header{};
  std::size_t have = 0;
  while (have < header.size()) {
    auto got = (*file)->read(have, std::span(header).subspan(have));
    if (!got) return std::unexpected(with_action("failed to read Vog header magic: ", got.error()));
    if (*got == 0)
      return std::unexpected(VogError::io("failed to read Vog header magic: unexpected end of file"));
    have += *got;
  }
  if (!has_magic(header)) return std::unexpected(VogError::io("not a Vog file (bad magic)"));
  if (auto version = std::to_integer<unsigned>(header[9]); version != kFormatVersion)
    return std::unexpected(VogError::io(format("unsupported header format version: {}", version)));

  return std::unique_ptr<FileOnDisk>(new FileOnDisk(std::move(*file), stored_data_offset(header)));
}

Result<std::vector<std::string>> FileOnDisk::verify() {
  std::vector<std::string> problems;
  VOG_TRY(size, len());
  if (*size < data_offset_)
    problems.push_back(format("L1: file size ({}) is less than data_offset ({})", *size, data_offset_));

  std::array<std::byte, kFileHeaderSize> header{};
  VOG_CHECK(read(0, header));
  if (!has_magic(header)) problems.emplace_back("L1: file magic 'vogvogvog' is corrupted");
  if (auto version = std::to_integer<unsigned>(header[9]); version != kFormatVersion)
    problems.push_back(
        format("L1: header format version {} does not match expected {}", version, kFormatVersion));
  if (auto stored = stored_data_offset(header); stored != data_offset_)
    problems.push_back(format("L1: data_offset in magic ({}) does not match stored data_offset ({})",
                              stored, data_offset_));
  return problems;
}

}  // namespace vog
