// Creates a Vog file, reopens it read-only and prints its header and the
// findings of its consistency check.
//
// usage: vog_inspect [PATH]   (default: a fresh file in the temporary directory)
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "file_on_disk.hpp"

namespace {

int fail(const vog::VogError& error) {
  std::fprintf(stderr, "error: %s\n", error.to_string().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1]
                              : (std::filesystem::temp_directory_path() /
                                 ("vog-example-" + std::to_string(::getpid()) + ".vog"))
                                    .string();
  {
    auto created = vog::FileOnDisk::create(path, 14);
    if (!created) return fail(created.error());
    std::printf("created %s\n", path.c_str());
  }  // dropping the handle releases the writer's lock

  auto file = vog::FileOnDisk::open(path, vog::AccessMode::ReadOnly);
  if (!file) return fail(file.error());
  std::array<std::byte, vog::kFileHeaderSize> header{};
  auto got = (*file)->read(0, header);
  if (!got) return fail(got.error());
  auto size = (*file)->len();
  if (!size) return fail(size.error());

  std::printf("magic:          %.9s\n", reinterpret_cast<const char*>(header.data()));
  std::printf("format version: %u\n", std::to_integer<unsigned>(header[9]));
  std::printf("data offset:    %llu\n",
              static_cast<unsigned long long>((*file)->data_offset()));
  std::printf("file size:      %llu bytes\n", static_cast<unsigned long long>(*size));

  auto problems = (*file)->verify();
  if (!problems) return fail(problems.error());
  std::printf("verify:         %s\n", problems->empty() ? "no problems" : "");
  for (const auto& line : *problems) std::printf("  %s\n", line.c_str());

  if (argc <= 1) std::filesystem::remove(path);
  return problems->empty() ? 0 : 1;
}
