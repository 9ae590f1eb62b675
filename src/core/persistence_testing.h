// Log doubles for the tests: a Persistence that accepts everything and does
// nothing, which each test's double extends with only what it observes, and
// one that refuses every transaction batch.
#pragma once

#include <atomic>

#include "core/persistence.h"

namespace mevora::testing_persistence {

class NullPersistence : public Persistence {
 public:
  Result<void, PersistError> append(const WalRecord&) override { return {}; }
  Result<void, PersistError> append_batch(const WalBatch&) override { return {}; }
  Result<void, PersistError> save(Store&) override { return {}; }
  void close(Store&) override {}
  PersistStats stats() override { return {}; }
  std::string directory() const override { return {}; }
  FsyncPolicy fsync_policy() const override { return FsyncPolicy::EverySec; }
};

// Takes single records (counting them into `records` when given) and
// refuses every transaction batch with "disk full".
class RefusingBatches final : public NullPersistence {
 public:
  explicit RefusingBatches(std::atomic<int>* records = nullptr) : records_(records) {}
  Result<void, PersistError> append(const WalRecord&) override {
    if (records_ != nullptr) records_->fetch_add(1);
    return {};
  }
  Result<void, PersistError> append_batch(const WalBatch&) override {
    return make_err(PersistError::make(PersistErrorKind::Other, "disk full"));
  }

 private:
  std::atomic<int>* records_;
};

}  // namespace mevora::testing_persistence
