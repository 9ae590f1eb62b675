// WalBatch: the log records of one transaction, collected while it runs
// and appended to the log as ONE frame when it ends (Persistence::
// append_batch), so that recovery applies all of them or none.
//
// Each record is encoded when it is added, because a WalRecord only views
// bytes that live as long as the operation's lock hold. The bytes are the
// body of the transaction record (kind 13 of the log format): every added
// record as a byte string field holding its ordinary payload. add() is
// defined with that format, in core/persist/wal_batch.cc; the store's side
// sees only this container.
//
// A record that cannot be encoded (a payload over 4 GiB) poisons the batch:
// error() is then set and the batch must not be appended.
//
// Not thread-safe: owned by the transaction's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/persist_error.h"
#include "core/wal_record.h"

namespace mevora {

class WalBatch {
 public:
  void add(const WalRecord& rec);

  bool empty() const { return count_ == 0; }
  std::uint64_t count() const { return count_; }
  // The encoded records: per record a varint length, then its payload.
  std::string_view bytes() const { return bytes_; }
  const std::optional<PersistError>& error() const { return error_; }

 private:
  std::string bytes_;
  std::uint64_t count_ = 0;
  std::optional<PersistError> error_;
};

}  // namespace mevora
