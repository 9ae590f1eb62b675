#include "core/value.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "util/platform.h"

namespace mevora {

// ---- StrEntry ---------------------------------------------------------------

StrEntry* StrEntry::allocate(std::uint32_t key_len, std::uint64_t vlen, std::uint64_t vcap) {
  const bool wide = needs_wide(vlen, vcap);
  const std::size_t bytes = sizeof(StrEntry) + (wide ? 16 : 0) + key_len + vcap;
  void* mem = std::malloc(bytes);
  if (mem == nullptr) throw std::bad_alloc();
  auto* e = new (mem) StrEntry();
  e->head.key_len = key_len;
  if (wide) {
    e->vlen_ = kWide;
    e->vcap_ = kWide;
    e->wide()[0] = vlen;
    e->wide()[1] = vcap;
  } else {
    e->vlen_ = static_cast<std::uint32_t>(vlen);
    e->vcap_ = static_cast<std::uint32_t>(vcap);
  }
  return e;
}

StrEntry* StrEntry::create(std::string_view key, std::string_view value, std::uint64_t deadline,
                           std::uint32_t stamp) {
  StrEntry* e = allocate(static_cast<std::uint32_t>(key.size()), value.size(), value.size());
  e->head.deadline_ms = deadline;
  e->head.stamp(stamp);
  if (!key.empty()) std::memcpy(e->data(), key.data(), key.size());
  if (!value.empty()) std::memcpy(e->data() + key.size(), value.data(), value.size());
  return e;
}

void StrEntry::destroy(StrEntry* e) {
  e->~StrEntry();
  std::free(e);
}

StrEntry* StrEntry::with_room(StrEntry* e, std::uint64_t extra) {
  const std::uint64_t klen = e->head.key_len;
  const std::uint64_t old_vlen = e->value_len();
  if (extra <= e->value_cap() - old_vlen) return e;
  // Grow the whole buffer (key + value) to max(2 * capacity, length, 8).
  const std::uint64_t old_cap = e->buffer_cap();
  std::uint64_t cap = 2 * old_cap;
  if (cap < klen + old_vlen + extra) cap = klen + old_vlen + extra;
  if (cap < 8) cap = 8;
  StrEntry* n = allocate(static_cast<std::uint32_t>(klen), old_vlen, cap - klen);
  n->head.deadline_ms = e->head.deadline_ms;
  n->head.stamp(e->head.lru_stamp.load(std::memory_order_relaxed));
  std::memcpy(n->data(), e->data(), klen + old_vlen);
  return n;
}

void StrEntry::set_value_len(std::uint64_t len) {
  // len <= value capacity, and a capacity of 4 GiB or more always uses
  // the wide header, so the compact length field cannot overflow.
  if (vcap_ == kWide) {
    wide()[0] = len;
  } else {
    vlen_ = static_cast<std::uint32_t>(len);
  }
}

void StrEntry::append_in_place(std::string_view bytes) {
  const std::uint64_t old_vlen = value_len();
  if (!bytes.empty()) std::memcpy(data() + head.key_len + old_vlen, bytes.data(), bytes.size());
  set_value_len(old_vlen + bytes.size());
}

StrEntry* StrEntry::append(StrEntry* e, std::string_view bytes) {
  StrEntry* n = with_room(e, bytes.size());
  if (n != e) destroy(e);
  n->append_in_place(bytes);
  return n;
}

// ---- collections ------------------------------------------------------------

std::uint64_t new_collection_seed() {
  // A per-thread generator seeded once from the OS: one syscall per thread,
  // not per collection.
  thread_local std::uint64_t state = [] {
    std::uint64_t s = 0;
    platform::fill_random(&s, sizeof s);
    return s;
  }();
  state += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

void ByteDeque::grow() {
  std::size_t cap = buf_.empty() ? 4 : buf_.size() * 2;
  std::vector<std::string> next(cap);
  for (std::size_t i = 0; i < len_; ++i) next[i] = std::move(buf_[(head_ + i) & (buf_.size() - 1)]);
  buf_ = std::move(next);
  head_ = 0;
}

void ByteDeque::reserve(std::size_t extra) {
  while (buf_.size() - len_ < extra) grow();
}

void ByteDeque::push_front(std::string s) {
  if (len_ == buf_.size()) grow();
  head_ = (head_ + buf_.size() - 1) & (buf_.size() - 1);
  buf_[head_] = std::move(s);
  ++len_;
}

void ByteDeque::push_back(std::string s) {
  if (len_ == buf_.size()) grow();
  buf_[(head_ + len_) & (buf_.size() - 1)] = std::move(s);
  ++len_;
}

std::string ByteDeque::pop_front() {
  std::string out = std::move(buf_[head_]);
  buf_[head_] = std::string();
  head_ = (head_ + 1) & (buf_.size() - 1);
  --len_;
  return out;
}

std::string ByteDeque::replace(std::size_t i, std::string s) {
  return std::exchange(slot(i), std::move(s));
}

void ByteDeque::insert(std::size_t i, std::string s) {
  push_back(std::move(s));
  for (std::size_t j = len_ - 1; j > i; --j) std::swap(slot(j), slot(j - 1));
}

void ByteDeque::erase_positions(std::span<const std::size_t> positions) {
  if (positions.empty()) return;
  std::size_t kept = positions.front();
  std::size_t next = 0;
  for (std::size_t r = positions.front(); r < len_; ++r) {
    if (next < positions.size() && positions[next] == r) {
      ++next;
      continue;
    }
    std::swap(slot(kept++), slot(r));
  }
  while (len_ > kept) (void)pop_back();
}

std::string ByteDeque::pop_back() {
  std::size_t i = (head_ + len_ - 1) & (buf_.size() - 1);
  std::string out = std::move(buf_[i]);
  buf_[i] = std::string();
  --len_;
  return out;
}

CollEntry::CollEntry(CollectionKind k, std::string_view key) : kind(k), key_(key) {
  switch (k) {
    case CollectionKind::List:
      new (&u_.list) ByteDeque();
      break;
    case CollectionKind::Hash:
    case CollectionKind::Set:
      new (&u_.elems) ElemTable(new_collection_seed());
      break;
  }
}

CollEntry::~CollEntry() {
  switch (kind) {
    case CollectionKind::List:
      u_.list.~ByteDeque();
      break;
    case CollectionKind::Hash:
    case CollectionKind::Set:
      u_.elems.~ElemTable();
      break;
  }
}

CollEntry* CollEntry::create(CollectionKind kind, std::string_view key, std::uint64_t deadline,
                             std::uint32_t stamp) {
  auto* e = new CollEntry(kind, key);
  e->head.key_len = static_cast<std::uint32_t>(key.size());
  e->head.deadline_ms = deadline;
  e->head.stamp(stamp);
  return e;
}

void CollEntry::destroy(CollEntry* e) { delete e; }

std::size_t CollEntry::count() const {
  switch (kind) {
    case CollectionKind::List:
      return u_.list.size();
    case CollectionKind::Hash:
    case CollectionKind::Set:
      return u_.elems.size();
  }
  return 0;
}

// ---- EntryRef ---------------------------------------------------------------

std::uint64_t EntryRef::accounted_size() const {
  if (is_string()) return align16(str()->buffer_cap());
  const CollEntry* c = coll();
  return kCollectionOverhead + align16(c->head.key_len) + c->value_size;
}

void EntryRef::destroy() const {
  if (is_string()) {
    StrEntry::destroy(str());
  } else {
    CollEntry::destroy(coll());
  }
}

}  // namespace mevora
