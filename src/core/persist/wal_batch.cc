#include "core/wal_batch.h"

#include "core/persist/coding.h"
#include "core/persist/wal.h"

namespace mevora {

void WalBatch::add(const WalRecord& rec) {
  if (error_.has_value()) return;
  const std::uint64_t size = persist::record_payload_size(rec);
  if (size > persist::kMaxPayloadSize) {
    error_ = PersistError::make(PersistErrorKind::InvalidInput, "WAL record over 4 GiB");
    return;
  }
  persist::put_varint(bytes_, size);
  persist::encode_payload(rec, bytes_);
  ++count_;
}

}  // namespace mevora
