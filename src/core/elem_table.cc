#include "core/elem_table.h"

#include <cstring>
#include <new>
#include <utility>

namespace mevora {

template class FlatTable<ElemSlots>;

Elem* Elem::create(std::string_view key, std::string_view value) {
  void* mem = std::malloc(sizeof(Elem) + key.size() + value.size());
  if (mem == nullptr) throw std::bad_alloc();
  Elem* e = new (mem) Elem(key.size(), value.size());
  if (!key.empty()) std::memcpy(e->bytes(), key.data(), key.size());
  if (!value.empty()) std::memcpy(e->bytes() + key.size(), value.data(), value.size());
  return e;
}

void ElemTable::insert_new(std::uint64_t hash, std::string_view key, std::string_view value) {
  Elem* e = Elem::create(key, value);
  try {
    t_.insert_new(hash, e);
  } catch (...) {
    Elem::destroy(e);
    throw;
  }
}

std::optional<std::uint64_t> ElemTable::put(std::string_view key, std::string_view value) {
  const std::uint64_t h = t_.traits().hash(key);
  const std::size_t i = t_.find(key, h);
  if (i == Slots::npos) {
    insert_new(h, key, value);
    return std::nullopt;
  }
  Elem*& slot = t_.at(i);
  const std::uint64_t old_len = slot->vlen_;
  if (old_len == value.size()) {
    // Same length: overwrite in place, no allocation.
    if (!value.empty()) std::memcpy(slot->bytes() + slot->klen_, value.data(), value.size());
  } else {
    Elem* fresh = Elem::create(key, value);
    Elem::destroy(std::exchange(slot, fresh));
  }
  return old_len;
}

std::optional<std::uint64_t> ElemTable::put_prepared(Elem* e) {
  const std::uint64_t h = t_.traits().hash(e->key());
  const std::size_t i = t_.find(e->key(), h);
  if (i == Slots::npos) {
    t_.insert_new(h, e);
    return std::nullopt;
  }
  Elem* old = std::exchange(t_.at(i), e);
  const std::uint64_t old_len = old->vlen_;
  Elem::destroy(old);
  return old_len;
}

bool ElemTable::add_prepared(Elem* e) {
  const std::uint64_t h = t_.traits().hash(e->key());
  if (t_.find(e->key(), h) != Slots::npos) {
    Elem::destroy(e);
    return false;
  }
  t_.insert_new(h, e);
  return true;
}

bool ElemTable::add(std::string_view key) {
  const std::uint64_t h = t_.traits().hash(key);
  if (t_.find(key, h) != Slots::npos) return false;
  insert_new(h, key, {});
  return true;
}

std::optional<std::uint64_t> ElemTable::erase(std::string_view key) {
  const std::size_t i = t_.find(key, t_.traits().hash(key));
  if (i == Slots::npos) return std::nullopt;
  Elem* e = t_.erase(i);
  const std::uint64_t len = e->vlen_;
  Elem::destroy(e);
  return len;
}

}  // namespace mevora
