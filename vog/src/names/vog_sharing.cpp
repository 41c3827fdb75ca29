// Reads of a read-only Vog beside another open's writer: the read section
// that keeps this Vog's caches of the commit the file shows.
// Locking: view_mu before the layers' own (vog_state.hpp).
#include <utility>
#include <vector>

#include "path.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {

// Marks gone every open stream whose path no longer names its stream: the
// writer deleted it, or replaced it with another that got its number.
void ReadSection::find_open_streams(Vog& vog, VogState& state) {
  std::vector<std::pair<StreamHandle, OpenStreamInfo>> open;
  {
    std::lock_guard lock(state.mu);
    for (const auto& [handle, info] : state.open_streams)
      if (!info.gone) open.emplace_back(handle, info);
  }
  for (const auto& [handle, info] : open) {
    auto [parent, leaf] = split_parent_leaf(info.path);
    // Captured by copy: clang before 16 cannot capture a structured binding.
    auto found = [&, parent = parent, leaf = leaf]() -> Result<std::optional<StreamId>> {
      VOG_TRY(dir, vog.resolve_dir_stream_id(parent));
      return vog.find_in_dir(*dir, leaf);
    }();
    if (found && *found == info.stream_id) continue;
    std::lock_guard lock(state.mu);
    if (auto it = state.open_streams.find(handle); it != state.open_streams.end())
      it->second.gone = true;
  }
}

Result<ReadSection> ReadSection::enter(Vog& vog, StreamLayer& streams, VogState& state) {
  std::shared_lock view(state.view_mu);
  if (vog.is_writable()) return ReadSection(nullptr, std::move(view));
  VOG_TRY(generation, streams.begin_read());
  // This section's hold of the file keeps the generation where it is: a
  // refresh under view_mu alone sees the same one.
  if (*generation != state.seen_generation.load(std::memory_order_acquire)) {
    view.unlock();
    {
      std::unique_lock refreshing(state.view_mu);
      if (*generation != state.seen_generation.load(std::memory_order_acquire)) {
        if (auto refreshed = streams.refresh(); !refreshed) {
          streams.end_read();
          return std::unexpected(std::move(refreshed).error());
        }
        {
          std::lock_guard lock(state.mu);
          state.dir_cache.clear();
        }
        find_open_streams(vog, state);
        state.seen_generation.store(*generation, std::memory_order_release);
      }
    }
    view.lock();
  }
  return ReadSection(&streams, std::move(view));
}

}  // namespace vog
