// Store::scan: one page of a cursor iteration over the keyspace (see
// scan.h for the cursor and its guarantee).
//
// A call visits about `count` home positions: those left in the cursor's
// shard, then the next shards', holding one shard's shared lock at a time
// and never more than one. Like keys, it neither stamps nor removes
// entries; a due entry is skipped and left to lazy expiry or the sweeper.
#include "core/glob.h"
#include "core/store.h"

namespace mevora {

ScanPage Store::scan(std::uint64_t cursor, const ScanFilter& filter) {
  using namespace scan_cursor;
  ScanPage page;
  std::uint64_t shard = shard_of(cursor);
  std::uint64_t home = home_of(cursor);
  if (shard >= shards_.size()) return page;  // not a cursor of this store: the iteration ends
  const std::optional<GlobPattern> glob =
      filter.match ? std::optional<GlobPattern>(std::in_place, *filter.match) : std::nullopt;
  const std::uint64_t budget = filter.count == 0 ? 1 : filter.count;
  const std::uint64_t now = clock_->now_ms();
  while (true) {
    Shard& s = *shards_[shard];
    {
      ReadGuard g(s.lock);
      const Table& table = s.table;
      const std::uint64_t slots = table.slot_count();
      const std::uint64_t mask = slots == 0 ? 0 : slots - 1;
      do {
        page.groups_read += table.for_each_at_home(home & mask, [&](std::size_t slot) {
          const EntryRef e = table.at(slot);
          if (e.head().due(now)) return;
          if (filter.kind && kind_of(e) != *filter.kind) return;
          const std::string_view key = e.key();
          if (glob && !glob->matches(key)) return;
          page.keys.emplace_back(key);
        });
        ++page.homes_visited;
        home = next_home(home, mask);
      } while (home != 0 && page.homes_visited < budget);
    }
    if (home == 0 && ++shard == shards_.size()) return page;  // cursor 0: complete
    if (page.homes_visited >= budget) {
      page.cursor = make(shard, home);
      return page;
    }
  }
}

}  // namespace mevora
