// What each durability level costs, as ratios to Off measured in one run:
// sequential write, rewrite in place (every page committed, so journaled)
// and read of one plain stream in 1 MiB pieces, and
// creating many small streams (create, write 100 bytes, close) in 10
// directories. Each figure is the best of five passes on fresh files, Off and
// Process taking turns so that a busy machine slows both alike.
// Full syncs to disk at every commit, so it creates fewer streams (the count
// is printed) and its rate is what compares.
//
// usage: durability_bench [MiB] [STREAMS] [DIRECTORY]   (default 256, 10000, temp dir)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vog.hpp"

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

struct Figures {
  double write_s = 0, rewrite_s = 0, read_s = 0, create_s = 0;
  int streams = 0;
};

template <class Body>
double seconds(Body body) {
  auto start = std::chrono::steady_clock::now();
  if (!body()) std::exit(1);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool fail(const vog::VogError& error) {
  std::fprintf(stderr, "error: %s\n", error.to_string().c_str());
  return false;
}

std::shared_ptr<vog::Vog> fresh(const std::string& path, vog::Durability level) {
  std::filesystem::remove(path);
  vog::CreateOptions options;
  options.durability = level;
  auto made = vog::Vog::create(path, options);
  if (!made) fail(made.error()), std::exit(1);
  return *made;
}

Figures measure(const std::string& path, vog::Durability level, std::uint64_t mib, int streams) {
  std::vector<std::byte> piece(kPiece);
  for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<std::byte>(i * 7 + i / 4096);
  Figures f;
  {
    auto vog = fresh(path, level);
    f.write_s = seconds([&] {
      auto h = vog->create_stream("big");
      if (!h) return fail(h.error());
      for (std::uint64_t i = 0; i < mib; ++i)
        if (auto w = vog->write(*h, piece); !w) return fail(w.error());
      auto closed = vog->close_stream(*h);
      return closed ? true : fail(closed.error());
    });
    f.rewrite_s = seconds([&] {
      auto h = vog->open_stream("big", vog::OpenMode::Write);
      if (!h) return fail(h.error());
      for (std::uint64_t i = 0; i < mib; ++i)
        if (auto w = vog->write(*h, piece); !w) return fail(w.error());
      auto closed = vog->close_stream(*h);
      return closed ? true : fail(closed.error());
    });
    std::vector<std::byte> in(kPiece);
    f.read_s = seconds([&] {
      auto h = vog->open_stream("big", vog::OpenMode::Read);
      if (!h) return fail(h.error());
      for (;;) {
        auto got = vog->read(*h, in);
        if (!got) return fail(got.error());
        if (*got == 0) break;
      }
      return vog->close_stream(*h).has_value();
    });
  }
  {
    auto vog = fresh(path, level);
    const std::vector<std::byte> small(100, std::byte{'s'});
    f.streams = streams;
    f.create_s = seconds([&] {
      for (int d = 0; d < 10; ++d)
        if (auto made = vog->mkdir("d" + std::to_string(d)); !made) return fail(made.error());
      for (int i = 0; i < streams; ++i) {
        auto h = vog->create_stream("d" + std::to_string(i % 10) + "/s" + std::to_string(i));
        if (!h) return fail(h.error());
        if (auto w = vog->write(*h, small); !w) return fail(w.error());
        if (auto c = vog->close_stream(*h); !c) return fail(c.error());
      }
      return true;
    });
  }
  std::filesystem::remove(path);
  return f;
}

void keep_best(Figures& best, const Figures& f) {
  best.write_s = std::min(best.write_s, f.write_s);
  best.rewrite_s = std::min(best.rewrite_s, f.rewrite_s);
  best.read_s = std::min(best.read_s, f.read_s);
  best.create_s = std::min(best.create_s, f.create_s);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const int streams = argc > 2 ? std::atoi(argv[2]) : 10000;
  const std::string dir = argc > 3 ? argv[3] : std::filesystem::temp_directory_path().string();
  const std::string path = dir + "/durability_bench.vog";

  Figures off = measure(path, vog::Durability::Off, mib, streams);
  Figures process = measure(path, vog::Durability::Process, mib, streams);
  for (int pass = 1; pass < 5; ++pass) {
    keep_best(off, measure(path, vog::Durability::Off, mib, streams));
    keep_best(process, measure(path, vog::Durability::Process, mib, streams));
  }
  const Figures full = measure(path, vog::Durability::Full, mib, std::max(1, streams / 10));

  const double mb = static_cast<double>(mib * kPiece) / 1e6;
  std::printf("%-8s %10s %12s %10s %16s   time ratios to off: write rewrite read create\n",
              "level", "write MB/s", "rewrite MB/s", "read MB/s", "creates/s");
  for (auto [name, f] : {std::pair{"off", off}, std::pair{"process", process}, std::pair{"full", full}}) {
    const double rate = f.streams / f.create_s;
    std::printf("%-8s %10.0f %12.0f %10.0f %10.0f (%5d)   %.3f %.3f %.3f %.3f\n", name,
                mb / f.write_s, mb / f.rewrite_s, mb / f.read_s, rate, f.streams,
                f.write_s / off.write_s, f.rewrite_s / off.rewrite_s, f.read_s / off.read_s,
                (off.streams / off.create_s) / rate);
  }
  return 0;
}
