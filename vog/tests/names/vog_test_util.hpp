// Helpers shared by the namespace layer's suites: results, bytes, and a Vog
// standing on the in-memory stream layer.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "directory_stream.hpp"
#include "memory_stream_layer.hpp"
#include "vog.hpp"

namespace vog {

inline void PrintTo(const VogError& error, std::ostream* out) { *out << error.to_string(); }

}  // namespace vog

namespace vog::testing {

// The value of a result that must have succeeded; a failure is recorded and a
// default value returned so the test can go on to report more.
template <class T>
T ok(Result<T> result) {
  if (!result) {
    ADD_FAILURE() << "unexpected error: " << result.error().to_string();
    return T{};
  }
  return std::move(*result);
}

inline void ok(Result<void> result) {
  if (!result) ADD_FAILURE() << "unexpected error: " << result.error().to_string();
}

// The error of a result that must have failed. A success is recorded as a
// failure at once, so that checking only the error's kind cannot pass on it.
template <class T>
VogError error_of(const Result<T>& result) {
  if (result) {
    ADD_FAILURE() << "the operation succeeded";
    return VogError::io("<the operation succeeded>");
  }
  return result.error();
}

inline std::vector<std::byte> bytes_of(std::string_view text) {
  std::vector<std::byte> out(text.size());
  if (!text.empty()) std::memcpy(out.data(), text.data(), text.size());
  return out;
}

inline std::string text_of(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A Vog on a MemoryStreamLayer whose store survives reopening.
class FakeVog {
 public:
  explicit FakeVog(std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>())
      : store_(std::move(store)) {
    auto layer = std::make_unique<MemoryStreamLayer>(store_);
    layer_ = layer.get();
    auto created = Vog::create_on(std::move(layer));
    if (!created) ADD_FAILURE() << created.error().to_string();
    vog_ = std::move(*created);
  }

  // Drops the Vog (closing what it has open) and opens the store again.
  void reopen(OpenMode mode) {
    vog_.reset();
    auto layer = std::make_unique<MemoryStreamLayer>(store_, mode == OpenMode::Write);
    layer_ = layer.get();
    auto opened = Vog::open_on(std::move(layer), mode);
    if (!opened) ADD_FAILURE() << opened.error().to_string();
    vog_ = opened ? std::move(*opened) : nullptr;
  }

  Vog& operator*() const { return *vog_; }
  Vog* operator->() const { return vog_.get(); }
  [[nodiscard]] MemoryStreamLayer& layer() const { return *layer_; }
  [[nodiscard]] const std::shared_ptr<MemoryStore>& store() const { return store_; }
  // The root directory's stream ID, as the header record names it.
  [[nodiscard]] StreamId root_id() const { return *deserialize_header(store_->admin_slot(1)); }
  // The stream ID the root's entry `stored` ("name" or "name/") names.
  [[nodiscard]] StreamId id_in_root(std::string_view stored) const {
    return **find_name_in_buffer(0, *layer_->contents(root_id()), stored);
  }
  void reset() { vog_.reset(); }

 private:
  std::shared_ptr<MemoryStore> store_;
  MemoryStreamLayer* layer_ = nullptr;  // owned by vog_
  std::shared_ptr<Vog> vog_;
};

// Writes `text` to a new stream at `path` and closes it.
inline void put_stream(Vog& vog, std::string_view path, std::string_view text,
                       bool compressed = false) {
  auto handle = vog.create_stream(path, compressed);
  ASSERT_TRUE(handle) << path << ": " << handle.error().to_string();
  auto wrote = vog.write(*handle, bytes_of(text));
  ASSERT_TRUE(wrote) << wrote.error().to_string();
  ASSERT_TRUE(vog.close_stream(*handle));
}

// The whole stream at `path`, read through a fresh read handle.
inline std::string get_stream(Vog& vog, std::string_view path) {
  auto handle = vog.open_stream(path, OpenMode::Read);
  if (!handle) {
    ADD_FAILURE() << path << ": " << handle.error().to_string();
    return {};
  }
  std::string out;
  std::vector<std::byte> buffer(4096);
  while (true) {
    auto got = vog.read(*handle, buffer);
    if (!got) {
      ADD_FAILURE() << got.error().to_string();
      break;
    }
    if (*got == 0) break;
    out += text_of(std::span(buffer).first(*got));
  }
  (void)vog.close_stream(*handle);
  return out;
}

}  // namespace vog::testing
