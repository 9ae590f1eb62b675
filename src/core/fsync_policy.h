// FsyncPolicy: when appended log frames are flushed to stable storage.
// Fixed for the life of a store; the numeric values are part of the
// configuration interface and never change.
//   Always   every frame is flushed (sync_file) before the append returns;
//   EverySec appends only mark the log dirty; a background thread flushes
//            about once per second;
//   Never    the log is flushed only when a snapshot is saved and at close.
#pragma once

#include <cstdint>

namespace mevora {

enum class FsyncPolicy : std::uint8_t { Always = 0, EverySec = 1, Never = 2 };

}  // namespace mevora
