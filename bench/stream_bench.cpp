// Sequential throughput of the stream layer on real files: a plain stream, a
// compressed stream and a plain stream in an encrypted file, each written and
// then read in 1 MiB pieces, beside the same bytes moved with pwrite/pread on
// an ordinary file; and the plain stream again with every transfer copied
// straight to and from the caller's buffer (see copy_distance.hpp). Reads
// follow writes, so they come from the page cache; a first, untimed pass
// warms that cache up.
//
// usage: stream_bench [MiB] [DIRECTORY]    (default: 256 MiB in the temporary directory)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "copy_distance.hpp"
#include "streams_from_blocks.hpp"

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;
constexpr std::uint8_t kBlockShift = 12;
constexpr std::uint8_t kCblockShift = 15;

struct Figures {
  double write_mb_s = 0;
  double read_mb_s = 0;
};

// Text-like bytes: compressible, but not trivially so.
std::vector<std::byte> sample_piece() {
  static const char* const kWords[] = {"stream ", "block ", "pyramid ", "leaf ", "index ",
                                       "vog ",    "data ",  "run ",     "tree "};
  std::mt19937 rng(7);
  std::vector<std::byte> out;
  out.reserve(kPiece);
  while (out.size() < kPiece) {
    for (const char* c = kWords[rng() % 9]; *c != '\0' && out.size() < kPiece; ++c)
      out.push_back(static_cast<std::byte>(*c));
    if (rng() % 16 == 0 && out.size() < kPiece) out.push_back(static_cast<std::byte>(rng()));
  }
  return out;
}

// A read buffer where a fresh large allocation lands: 16 bytes into a page.
class ReadBuffer {
 public:
  ReadBuffer() : room_(kPiece + 2 * vog::kCopyPage) {}
  std::span<std::byte> span() { return {vog::page_boundary_from(room_.data()) + 16, kPiece}; }

 private:
  std::vector<std::byte> room_;
};

template <class Body>
double mb_per_s(std::uint64_t bytes, Body body) {
  auto start = std::chrono::steady_clock::now();
  if (!body()) return -1;
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return static_cast<double>(bytes) / 1e6 / took.count();
}

bool report(const vog::VogError& error) {
  std::fprintf(stderr, "error: %s\n", error.to_string().c_str());
  return false;
}

Figures stream_figures(const std::string& path, std::uint64_t total, bool compressed,
                       vog::Password password, vog::FileSystem& fs = vog::os_file_system()) {
  std::filesystem::remove(path);
  const auto piece = sample_piece();
  Figures figures;
  auto layer =
      vog::StreamsFromBlocks::create(path, kBlockShift, kCblockShift, {}, password, fs);
  if (!layer) return report(layer.error()), figures;
  auto id = (*layer)->create_stream(compressed);
  if (!id) return report(id.error()), figures;
  figures.write_mb_s = mb_per_s(total, [&] {
    auto h = (*layer)->open_stream_inner(*id, true, false);
    if (!h) return report(h.error());
    for (std::uint64_t at = 0; at < total; at += kPiece)
      if (auto wrote = (*layer)->write(*h, at, piece); !wrote) return report(wrote.error());
    auto closed = (*layer)->close_stream(*h);
    return closed ? true : report(closed.error());
  });
  ReadBuffer buffer;
  const std::span<std::byte> in = buffer.span();
  figures.read_mb_s = mb_per_s(total, [&] {
    auto h = (*layer)->open_stream_inner(*id, false, false);
    if (!h) return report(h.error());
    for (std::uint64_t at = 0; at < total; at += kPiece)
      if (auto got = (*layer)->read(*h, at, in); !got || *got != kPiece)
        return got ? false : report(got.error());
    auto closed = (*layer)->close_stream(*h);
    return closed ? true : report(closed.error());
  });
  layer->reset();
  std::filesystem::remove(path);
  return figures;
}

Figures posix_figures(const std::string& path, std::uint64_t total) {
  const auto piece = sample_piece();
  ReadBuffer buffer;
  const std::span<std::byte> in = buffer.span();
  Figures figures;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return figures;
  figures.write_mb_s = mb_per_s(total, [&] {
    for (std::uint64_t at = 0; at < total; at += kPiece)
      if (::pwrite(fd, piece.data(), kPiece, static_cast<off_t>(at)) != static_cast<ssize_t>(kPiece))
        return false;
    return true;
  });
  figures.read_mb_s = mb_per_s(total, [&] {
    for (std::uint64_t at = 0; at < total; at += kPiece)
      if (::pread(fd, in.data(), kPiece, static_cast<off_t>(at)) != static_cast<ssize_t>(kPiece))
        return false;
    return true;
  });
  ::close(fd);
  std::filesystem::remove(path);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  if (mib == 0) {
    std::fprintf(stderr, "usage: %s [MiB] [DIRECTORY]\n", argv[0]);
    return 2;
  }
  std::filesystem::path dir = argc > 2 ? std::filesystem::path(argv[2])
                                       : std::filesystem::temp_directory_path();
  std::string base = (dir / ("vog-stream-bench-" + std::to_string(::getpid()))).string();
  const std::uint64_t total = mib << 20;
  const std::string password = "bench password";
  const std::span<const std::byte> key(reinterpret_cast<const std::byte*>(password.data()),
                                       password.size());

  std::printf("sequential 1 MiB pieces, %llu MiB, 4096-byte blocks, 32 KiB compressed blocks\n",
              static_cast<unsigned long long>(mib));
  std::printf("%-22s %12s %12s\n", "", "write MB/s", "read MB/s");
  auto row = [](const char* name, Figures f) {
    std::printf("%-22s %12.1f %12.1f\n", name, f.write_mb_s, f.read_mb_s);
  };
  // The first pass over fresh page-cache memory runs slower whoever makes it; discard it.
  (void)posix_figures(base + ".raw", total);
  row("pwrite/pread", posix_figures(base + ".raw", total));
  row("plain stream", stream_figures(base + ".vog", total, false, std::nullopt));
  row("compressed stream", stream_figures(base + ".vog", total, true, std::nullopt));
  row("encrypted file", stream_figures(base + ".vog", total, false, key));
  // Read into 16 bytes past a page, a plain stream's blocks (at byte 14 of
  // theirs) meet the kernel's slow copy where this processor has it, unless
  // the file layer sends the transfers through its own buffer.
  auto direct = vog::make_os_file_system(vog::CopyRoute::Direct);
  row("plain, direct copies", stream_figures(base + ".vog", total, false, std::nullopt, *direct));
  return 0;
}
