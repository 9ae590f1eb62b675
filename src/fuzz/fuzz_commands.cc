// Fuzz target: sequences of server commands run against one in-memory store.
//
// Input: the first byte picks the store (no memory limit, or a small one
// under noeviction or allkeys-lru); the rest is one command per line. A
// line's first byte picks the command from the server's table (or, from
// 0xF0 up, takes the line's first word as the name, so unknown names and
// odd spellings are reached too), its second byte moves the fake clock
// forward by that many 100 ms steps (keys with deadlines expire), and the
// rest are the arguments, split at spaces.
//
// Every command goes through dispatch as a connection would send it.
// Invariants, checked after each one:
//   - its reply encodes in both RESP2 and RESP3;
//   - the store's memory counter equals the sum recomputed from the tables
//     (every entry's accounted size plus each table's overhead);
//   - no hash, list or set is stored empty.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/store.h"
#include "core/used_memory_testing.h"
#include "fuzz/fuzz_support.h"
#include "server/command_handlers.h"
#include "server/commands.h"

namespace {

using mevora::server::Request;

constexpr std::size_t kMaxCommands = 64;

mevora::StoreConfig config_for(std::uint8_t selector) {
  mevora::StoreConfig config;
  config.shards = 4;
  config.sweep_interval_ms = 0;  // expiry happens on access only: runs stay deterministic
  switch (selector % 3) {
    case 0:
      break;
    case 1:
      config.max_memory = 16 * 1024;
      config.policy = mevora::EvictionPolicy::NoEviction;
      break;
    default:
      config.max_memory = 16 * 1024;
      config.policy = mevora::EvictionPolicy::AllKeysLru;
      break;
  }
  return config;
}

Request split_args(std::string_view name, std::string_view rest) {
  Request args;
  args.emplace_back(name);
  while (!rest.empty()) {
    const std::size_t sp = rest.find(' ');
    args.emplace_back(rest.substr(0, sp));
    if (sp == std::string_view::npos) break;
    rest.remove_prefix(sp + 1);
  }
  return args;
}

// The command a line encodes, or an empty request for a line too short.
Request command_of(std::string_view line) {
  if (line.size() < 2) return {};
  const auto pick = static_cast<std::uint8_t>(line[0]);
  std::string_view rest = line.substr(2);
  if (pick >= 0xF0) {
    const std::size_t sp = rest.find(' ');
    const std::string_view name = rest.substr(0, sp);
    if (name.empty()) return {};
    return split_args(name, sp == std::string_view::npos ? std::string_view() : rest.substr(sp + 1));
  }
  const auto table = mevora::server::command_table();
  return split_args(table[pick % table.size()].name, rest);
}

void check_store(mevora::Store& store) {
  MEVORA_FUZZ_CHECK(store.used_memory() == mevora::testing_store::recomputed_used(store),
                    "the memory counter differs from the recomputed sum");
  for (std::size_t i = 0; i < store.shard_count(); ++i) {
    mevora::Shard& s = store.shard_at(i);
    mevora::ReadGuard g(s.lock);
    s.table.for_each([&](mevora::EntryRef e) {
      MEVORA_FUZZ_CHECK(e.is_string() || e.coll()->count() != 0, "an empty collection is stored");
    });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto clock = std::make_shared<mevora::FakeClock>(1'700'000'000'000);
  std::shared_ptr<mevora::Store> store = mevora::Store::create(config_for(data[0]), clock);
  auto ctx = mevora::server::ServerContext::create(std::nullopt, store);
  auto conn = mevora::server::ConnectionState::initial(*ctx);

  for (std::size_t n = 0; n < kMaxCommands && !in.empty(); ++n) {
    const std::size_t nl = in.find('\n');
    const std::string_view line = in.substr(0, nl);
    in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
    Request args = command_of(line);
    if (args.empty()) continue;
    clock->advance(100 * static_cast<std::uint8_t>(line[1]));

    mevora::server::DispatchResult r = mevora::server::dispatch(args, conn, *ctx);
    std::string wire;
    r.reply.append_to(wire, mevora::server::Protocol::Resp2);
    r.reply.append_to(wire, mevora::server::Protocol::Resp3);
    MEVORA_FUZZ_CHECK(!wire.empty(), "a reply encoded to nothing");
    check_store(*store);
  }
  return 0;
}
