// Clock: the store's only time source.
//
// now_ms() is wall-clock milliseconds since the Unix epoch (0 before the
// epoch). Tests and recovery substitute their own clocks; every store
// operation reads the clock at most once and uses that value throughout.
#pragma once

#include <atomic>
#include <cstdint>

#include "util/platform.h"

namespace mevora {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t now_ms() const = 0;
};

class WallClock final : public Clock {
 public:
  std::uint64_t now_ms() const override { return platform::wall_clock_ms(); }
};

// A clock that reads whatever a test (or recovery, with 0) sets.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::uint64_t start = 0) : now_(start) {}
  std::uint64_t now_ms() const override { return now_.load(std::memory_order_relaxed); }
  void set(std::uint64_t ms) { now_.store(ms, std::memory_order_relaxed); }
  void advance(std::uint64_t ms) { now_.fetch_add(ms, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> now_;
};

}  // namespace mevora
