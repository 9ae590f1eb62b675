// Store::start_background_save and join_background_saves: saves run on
// "mevora-bgsave" threads owned by the store (OneShotThreads).
#include <system_error>
#include <utility>

#include "core/store.h"

namespace mevora {
namespace {

// Calls the caller's completion however the save ends.
class CallOnExit {
 public:
  explicit CallOnExit(const std::function<void()>& f) : f_(f) {}
  ~CallOnExit() { f_(); }
  CallOnExit(const CallOnExit&) = delete;
  CallOnExit& operator=(const CallOnExit&) = delete;

 private:
  const std::function<void()>& f_;
};

}  // namespace

Result<void, PersistError> Store::start_background_save(std::function<void()> done) {
  auto started = background_saves_.start("mevora-bgsave", [self = shared_from_this(), done = std::move(done)] {
    CallOnExit call_done(done);
    (void)self->save();
  });
  if (!started.ok()) return make_err(PersistError::from_errno(started.error().value()));
  return {};
}

void Store::join_background_saves() { background_saves_.join_all(); }

}  // namespace mevora
