// Random operations on a new file, each checked against a model of the tree.
// The input is the program: one byte picks the operation, the next ones its
// paths, handles and data. Every result must be the one the model predicts
// (the error kind where it fails, the bytes where it reads); a reopen must find
// the same tree; verify must find nothing while no stream is open.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"

namespace vog::fuzz {
namespace {

constexpr std::size_t kMaxOperations = 400;

// Reads the input as a stream of small numbers; zeros once it runs out.
class Program {
 public:
  explicit Program(std::span<const std::byte> bytes) : bytes_(bytes) {}
  [[nodiscard]] bool done() const { return at_ >= bytes_.size(); }
  std::uint8_t byte() { return done() ? 0 : std::to_integer<std::uint8_t>(bytes_[at_++]); }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : byte() % n; }

 private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

// A stream's bytes and who holds it open; shared by its path and its handles,
// so that a directory moved over an open stream keeps them together.
struct Content {
  std::string bytes;
  int readers = 0;
  bool writer = false;
};

struct Node {
  bool dir = false;
  std::shared_ptr<Content> content;  // streams only
};

struct OpenHandle {
  std::shared_ptr<Content> content;
  std::uint64_t position = 0;
  bool writable = false;
};

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string leaf_of(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

template <class T>
std::string describe(const Result<T>& got) {
  return got ? std::string("success") : got.error().to_string();
}

class Run {
 public:
  Run(std::shared_ptr<std::vector<std::byte>> file, std::shared_ptr<Vog> vog, Program& program)
      : file_(std::move(file)), vog_(std::move(vog)), program_(program) {}

  void step() {
    switch (program_.below(17)) {
      case 0: mkdir(); break;
      case 1: rmdir(); break;
      case 2: rename_dir(); break;
      case 3: case 4: create_stream(); break;
      case 5: open_stream(); break;
      case 6: close_stream(); break;
      case 7: case 8: write(); break;
      case 9: read(); break;
      case 10: seek(); break;
      case 11: truncate(); break;
      case 12: reserve(); break;
      case 13: delete_stream(); break;
      case 14: rename_stream(); break;
      case 15: list(); break;
      default: program_.below(4) == 0 ? verify() : reopen(); break;
    }
  }

  void reopen() {
    handles_.clear();
    for (auto& [path, node] : nodes_)
      if (node.content) node.content->readers = 0, node.content->writer = false;
    vog_.reset();  // closes every open stream
    auto opened = open_vog(file_, OpenMode::Write);
    FUZZ_CHECK(bool(opened), "reopen: " + describe(opened));
    vog_ = std::move(*opened);
    check_whole_tree();
  }

  void verify() {
    auto report = vog_->verify();
    FUZZ_CHECK(bool(report), "verify: " + describe(report));
    if (handles_.empty())
      FUZZ_CHECK(report->empty(), "verify of a sound file: " + report->front());
  }

 private:
  // --- what the model predicts --------------------------------------------

  [[nodiscard]] bool is_dir(const std::string& p) const {
    if (p.empty()) return true;
    auto it = nodes_.find(p);
    return it != nodes_.end() && it->second.dir;
  }
  [[nodiscard]] bool is_stream(const std::string& p) const {
    auto it = nodes_.find(p);
    return it != nodes_.end() && !it->second.dir;
  }
  [[nodiscard]] bool exists(const std::string& p) const { return nodes_.contains(p); }
  [[nodiscard]] bool has_children(const std::string& p) const {
    auto it = nodes_.upper_bound(p + "/");
    return it != nodes_.end() && it->first.starts_with(p + "/");
  }
  [[nodiscard]] bool is_open(const std::string& p) const {
    const auto& c = nodes_.at(p).content;
    return c->readers > 0 || c->writer;
  }
  [[nodiscard]] std::vector<DirEntry> listing(const std::string& dir) const {
    std::vector<DirEntry> out;
    for (const auto& [path, node] : nodes_)
      if (parent_of(path) == dir)
        out.push_back({leaf_of(path), node.dir ? EntryType::Directory : EntryType::Stream});
    std::sort(out.begin(), out.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return out;
  }
  void move(const std::string& from, const std::string& to) {
    std::map<std::string, Node> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->first == from || it->first.starts_with(from + "/")) {
        moved[to + it->first.substr(from.size())] = std::move(it->second);
        it = nodes_.erase(it);
      } else {
        ++it;
      }
    }
    nodes_.merge(moved);
  }

  // --- drawing arguments from the program ---------------------------------

  std::string component() {
    static const char* const kNames[] = {"a", "b", "c", "a b", "\xC3\xA9", "B", "ab", "."};
    return kNames[program_.below(std::size(kNames))];
  }
  // Mostly existing paths or their neighbours, so that operations meet.
  std::string path() {
    std::string base;
    const std::size_t choice = program_.below(4);
    if (choice != 0 && !nodes_.empty()) {
      auto it = std::next(nodes_.begin(), static_cast<std::ptrdiff_t>(program_.below(nodes_.size())));
      base = it->first;
      if (choice == 1) return base;
      if (choice == 2) base = parent_of(base);
    }
    return base.empty() ? component() : base + "/" + component();
  }
  std::string data() {
    std::size_t length = program_.byte();
    if (length >= 240) length = (length - 239) * 1500;  // now and then across many blocks
    const std::uint8_t seed = program_.byte();
    std::string out(length, '\0');
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>('a' + (seed + i / 7) % 26);
    return out;
  }
  // A handle: usually an open one, sometimes one never issued or already closed.
  StreamHandle handle() {
    if (!handles_.empty() && program_.below(8) != 0)
      return std::next(handles_.begin(), static_cast<std::ptrdiff_t>(program_.below(handles_.size())))->first;
    return program_.byte();
  }

  // --- checks ---------------------------------------------------------------

  // A valid path of the model's alphabet; "." stands for a component the
  // path rules refuse.
  static bool valid(const std::string& p) {
    return p.empty() || !(p == "." || p.starts_with("./") || p.ends_with("/.") ||
                          p.find("/./") != std::string::npos);
  }

  template <class T>
  void expect(const Result<T>& got, std::optional<ErrorKind> want, const std::string& what) {
    if (want)
      FUZZ_CHECK(!got && got.error().kind() == *want, what + ": " + describe(got));
    else
      FUZZ_CHECK(bool(got), what + ": " + describe(got));
  }

  void check_stream(const std::string& path, const std::string& want) {
    auto handle = vog_->open_stream(path, OpenMode::Read);
    FUZZ_CHECK(bool(handle), "open " + path + ": " + describe(handle));
    std::string got(want.size() + 1, '\0');
    auto n = vog_->read(*handle, std::as_writable_bytes(std::span(got)));
    FUZZ_CHECK(n && *n == want.size() && got.substr(0, *n) == want, "contents of " + path);
    FUZZ_CHECK(bool(vog_->close_stream(*handle)), "close " + path);
  }

  void check_whole_tree() {
    std::vector<std::string> dirs{""};
    for (const auto& [path, node] : nodes_) {
      if (node.dir) dirs.push_back(path);
      else check_stream(path, node.content->bytes);
    }
    for (const std::string& dir : dirs) {
      auto got = vog_->list(dir);
      FUZZ_CHECK(got && *got == listing(dir), "listing of '" + dir + "' after reopening");
    }
  }

  // --- operations -------------------------------------------------------------

  // The error every by-path operation gives before it looks at the leaf.
  std::optional<ErrorKind> path_error(const std::string& p) const {
    if (!valid(p)) return ErrorKind::InvalidPath;
    if (!is_dir(parent_of(p))) return ErrorKind::NotFound;
    return std::nullopt;
  }
  // The same for a rename: both paths are validated before either parent is resolved.
  std::optional<ErrorKind> pair_error(const std::string& from, const std::string& to) const {
    if (!valid(from) || !valid(to)) return ErrorKind::InvalidPath;
    if (!is_dir(parent_of(from)) || !is_dir(parent_of(to))) return ErrorKind::NotFound;
    return std::nullopt;
  }

  void mkdir() {
    std::string p = path();
    std::optional<ErrorKind> want = path_error(p);
    if (!want && exists(p)) want = ErrorKind::AlreadyExists;
    expect(vog_->mkdir(p), want, "mkdir " + p);
    if (!want) nodes_[p] = Node{true, nullptr};
  }

  void rmdir() {
    std::string p = path();
    std::optional<ErrorKind> want = path_error(p);
    if (!want && !is_dir(p)) want = ErrorKind::NotFound;
    if (!want && has_children(p)) want = ErrorKind::NotEmpty;
    expect(vog_->rmdir(p), want, "rmdir " + p);
    if (!want) nodes_.erase(p);
  }

  void rename_dir() {
    std::string from = path(), to = path();
    std::optional<ErrorKind> want = pair_error(from, to);
    if (!want && to.starts_with(from + "/")) want = ErrorKind::InvalidPath;
    if (!want && !is_dir(from)) want = ErrorKind::NotFound;
    if (!want && from != to && exists(to)) want = ErrorKind::AlreadyExists;
    expect(vog_->rename_dir(from, to), want, "rename_dir " + from + " -> " + to);
    if (!want) move(from, to);
  }

  void create_stream() {
    std::string p = path();
    const bool compressed = program_.below(2) == 0;
    std::optional<ErrorKind> want = path_error(p);
    if (!want && exists(p)) want = ErrorKind::AlreadyExists;
    auto got = vog_->create_stream(p, compressed);
    expect(got, want, "create_stream " + p);
    if (want) return;
    auto content = std::make_shared<Content>();
    content->writer = true;
    nodes_[p] = Node{false, content};
    handles_[*got] = OpenHandle{content, 0, true};
  }

  void open_stream() {
    std::string p = path();
    const bool for_write = program_.below(2) == 0;
    std::optional<ErrorKind> want = path_error(p);
    if (!want && !is_stream(p)) want = ErrorKind::NotFound;
    if (!want) {
      const Content& c = *nodes_.at(p).content;
      if (c.writer || (for_write && c.readers > 0)) want = ErrorKind::LockConflict;
    }
    auto got = vog_->open_stream(p, for_write ? OpenMode::Write : OpenMode::Read);
    expect(got, want, std::string("open_stream ") + (for_write ? "w " : "r ") + p);
    if (want) return;
    auto content = nodes_.at(p).content;
    if (for_write)
      content->writer = true;
    else
      ++content->readers;
    handles_[*got] = OpenHandle{content, 0, for_write};
  }

  void close_stream() {
    StreamHandle h = handle();
    auto it = handles_.find(h);
    expect(vog_->close_stream(h), it == handles_.end() ? std::optional(ErrorKind::NotFound) : std::nullopt,
           "close_stream");
    if (it == handles_.end()) return;
    if (it->second.writable)
      it->second.content->writer = false;
    else
      --it->second.content->readers;
    handles_.erase(it);
  }

  // The handle's entry, after checking that an unknown one is refused.
  template <class T>
  OpenHandle* known(StreamHandle h, const Result<T>& got, const std::string& what) {
    auto it = handles_.find(h);
    if (it != handles_.end()) return &it->second;
    expect(got, ErrorKind::NotFound, what + " on an unknown handle");
    return nullptr;
  }

  void write() {
    StreamHandle h = handle();
    std::string text = data();
    auto got = vog_->write(h, bytes_of(text));
    OpenHandle* open = known(h, got, "write");
    if (!open) return;
    if (!open->writable) return expect(got, ErrorKind::LockConflict, "write to a read handle");
    FUZZ_CHECK(got && *got == text.size(), "write: " + describe(got));
    std::string& bytes = open->content->bytes;
    if (bytes.size() < open->position + text.size()) bytes.resize(open->position + text.size());
    bytes.replace(open->position, text.size(), text);
    open->position += text.size();
  }

  void read() {
    StreamHandle h = handle();
    std::string buffer(program_.byte() * 40u, '\0');
    auto got = vog_->read(h, std::as_writable_bytes(std::span(buffer)));
    OpenHandle* open = known(h, got, "read");
    if (!open) return;
    const std::string& bytes = open->content->bytes;
    std::string want = open->position < bytes.size() ? bytes.substr(open->position, buffer.size()) : "";
    FUZZ_CHECK(got && *got == want.size() && buffer.substr(0, *got) == want, "read: " + describe(got));
    open->position += want.size();
  }

  void seek() {
    StreamHandle h = handle();
    auto it = handles_.find(h);
    std::uint64_t length = it == handles_.end() ? 0 : it->second.content->bytes.size();
    std::uint64_t pos = program_.below(4) == 0 ? length + 1 : program_.below(length + 1);
    auto got = vog_->seek(h, pos);
    OpenHandle* open = known(h, got, "seek");
    if (!open) return;
    expect(got, pos > length ? std::optional(ErrorKind::SeekOutOfBounds) : std::nullopt, "seek");
    if (pos <= length) open->position = pos;
    auto told = vog_->tell(h);
    FUZZ_CHECK(told && *told == open->position, "tell after seek");
  }

  void truncate() {
    StreamHandle h = handle();
    auto it = handles_.find(h);
    std::uint64_t length = it == handles_.end() ? 0 : it->second.content->bytes.size();
    std::uint64_t new_length = program_.below(length + 1);
    auto got = vog_->truncate(h, new_length);
    OpenHandle* open = known(h, got, "truncate");
    if (!open) return;
    if (!open->writable) return expect(got, ErrorKind::LockConflict, "truncate of a read handle");
    expect(got, std::nullopt, "truncate");
    open->content->bytes.resize(new_length);
    open->position = std::min(open->position, new_length);
    auto measured = vog_->stream_length(h);
    FUZZ_CHECK(measured && *measured == new_length, "length after truncate");
  }

  void reserve() {
    StreamHandle h = handle();
    std::uint64_t bytes = program_.byte() * 211u;
    auto got = vog_->reserve(h, bytes);
    OpenHandle* open = known(h, got, "reserve");
    if (!open) return;
    if (!open->writable) return expect(got, ErrorKind::LockConflict, "reserve on a read handle");
    if (bytes < open->content->bytes.size()) return expect(got, ErrorKind::IoError, "reserve below the length");
    expect(got, std::nullopt, "reserve");
    auto reserved = vog_->stream_reserved(h);
    FUZZ_CHECK(reserved && *reserved >= bytes, "reserved below what was asked for");
    auto length = vog_->stream_length(h);
    FUZZ_CHECK(length && *length == open->content->bytes.size(), "reserve changed the length");
  }

  void delete_stream() {
    std::string p = path();
    std::optional<ErrorKind> want = path_error(p);
    if (!want && !is_stream(p)) want = ErrorKind::NotFound;
    if (!want && is_open(p)) want = ErrorKind::LockConflict;
    expect(vog_->delete_stream(p), want, "delete_stream " + p);
    if (!want) nodes_.erase(p);
  }

  void rename_stream() {
    std::string from = path(), to = path();
    std::optional<ErrorKind> want = pair_error(from, to);
    if (!want && !is_stream(from)) want = ErrorKind::NotFound;
    if (!want && is_open(from)) want = ErrorKind::LockConflict;
    if (!want && from != to && exists(to)) want = ErrorKind::AlreadyExists;
    expect(vog_->rename_stream(from, to), want, "rename_stream " + from + " -> " + to);
    if (!want) move(from, to);
  }

  void list() {
    std::string p = program_.below(4) == 0 ? std::string() : path();
    auto got = vog_->list(p);
    if (!valid(p)) return expect(got, ErrorKind::InvalidPath, "list " + p);
    if (!is_dir(p)) return expect(got, ErrorKind::NotFound, "list " + p);
    FUZZ_CHECK(got && *got == listing(p), "list '" + p + "': " + describe(got));
  }

  std::shared_ptr<std::vector<std::byte>> file_;
  std::shared_ptr<Vog> vog_;
  Program& program_;
  std::map<std::string, Node> nodes_;  // the root is implicit
  std::map<StreamHandle, OpenHandle> handles_;
};

// A new encrypted file, made once: creating one derives a key at full cost.
const std::vector<std::byte>& empty_encrypted_file() {
  static const std::vector<std::byte> bytes = [] {
    auto file = std::make_shared<std::vector<std::byte>>();
    FUZZ_CHECK(bool(create_vog(file, {.encrypted = true})), "cannot make an encrypted file");
    return *file;
  }();
  return bytes;
}

}  // namespace
}  // namespace vog::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vog;
  using namespace vog::fuzz;
  Program program(std::as_bytes(std::span(data, size)));
  auto file = std::make_shared<std::vector<std::byte>>();
  Result<std::shared_ptr<Vog>> vog = std::unexpected(VogError::io("no file kind"));
  switch (program.below(3)) {
    case 0: vog = create_vog(file, {}); break;
    case 1: vog = create_vog(file, {.block_size_shift = 12, .compressed_block_size_shift = 13}); break;
    default:
      *file = empty_encrypted_file();
      vog = open_vog(file, OpenMode::Write);
      break;
  }
  FUZZ_CHECK(bool(vog), "cannot make a new file: " + describe(vog));
  Run run(file, std::move(*vog), program);
  for (std::size_t i = 0; i < kMaxOperations && !program.done(); ++i) run.step();
  run.reopen();
  run.verify();
  return 0;
}
