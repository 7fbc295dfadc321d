#pragma once
// IndexMap: numbers distinct keys of N node indices in order of first insertion (0, 1, 2, ...)
// and finds the number of a key again.
//
// Open addressing with linear probing; every slot holds the whole key and its number, so a
// look-up reads one slot run (usually one cache line) and nothing else. Prefetching the slot of
// a key that will be looked up a few iterations later hides most of the cache misses of a pass
// over a large mesh.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/support.hpp"

namespace vantrel {

template <std::size_t N>
class IndexMap {
 public:
  using key_type = std::array<u64, N>;
  using mapped_type = u64;
  using value_type = std::pair<key_type, u64>;

 private:
  struct Slot {
    key_type key;
    u64 id;  // NONE_U64: empty
  };

 public:
  // Walks the occupied slots (in no particular order). Dereferencing yields (key, number); the
  // pair lives in the iterator, so `map.find(k)->second` and range-for loops work as with a
  // std map.
  class iterator {
   public:
    iterator() = default;
    iterator(const IndexMap* m, std::size_t pos) : m_(m), pos_(pos) {}
    const value_type& operator*() const {
      const Slot& s = m_->slots_[pos_];
      kv_ = {s.key, s.id};
      return kv_;
    }
    const value_type* operator->() const { return &**this; }
    iterator& operator++() {
      pos_ = m_->next_occupied(pos_ + 1);
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& o) const { return pos_ == o.pos_; }
    bool operator!=(const iterator& o) const { return pos_ != o.pos_; }

   private:
    const IndexMap* m_ = nullptr;
    std::size_t pos_ = 0;
    mutable value_type kv_{};
  };
  using const_iterator = iterator;

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  iterator begin() const { return iterator(this, next_occupied(0)); }
  iterator end() const { return iterator(this, slots_.size()); }

  void clear() {
    slots_.clear();
    mask_ = 0;
    count_ = 0;
  }

  // Room for n keys without rehashing (load factor at most 2/3).
  void reserve(std::size_t n) {
    const std::size_t want = std::bit_ceil(n + n / 2 + 16);
    if (want > slots_.size()) rehash(want);
  }

  // The number of `key`, inserting it with the next number (the count of keys so far) when it
  // is new. Returns (number, inserted).
  std::pair<u64, bool> insert(const key_type& key) {
    if ((count_ + 1) * 3 > slots_.size() * 2) rehash(slots_.empty() ? 64 : 2 * slots_.size());
    std::size_t pos = static_cast<std::size_t>(hash(key)) & mask_;
    for (;;) {
      Slot& s = slots_[pos];
      if (s.id == NONE_U64) {
        s.key = key;
        s.id = count_++;
        return {s.id, true};
      }
      if (same(s.key, key)) return {s.id, false};
      pos = (pos + 1) & mask_;
    }
  }

  iterator find(const key_type& key) const {
    const std::size_t pos = position(key);
    return pos == NONE_POS ? end() : iterator(this, pos);
  }
  bool contains(const key_type& key) const { return position(key) != NONE_POS; }
  std::size_t count(const key_type& key) const { return contains(key) ? 1 : 0; }
  u64 at(const key_type& key) const {
    const std::size_t pos = position(key);
    if (pos == NONE_POS) throw std::out_of_range("IndexMap::at: key not found");
    return slots_[pos].id;
  }
  // The number of `key`, or NONE_U64.
  u64 lookup(const key_type& key) const {
    const std::size_t pos = position(key);
    return pos == NONE_POS ? NONE_U64 : slots_[pos].id;
  }

  // Hint that `key` will be looked up soon.
  void prefetch(const key_type& key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash(key)) & mask_]);
  }

  static u64 hash(const key_type& key) {
    // Multiply-xorshift over the components, then a murmur3 finaliser so that the low bits (the
    // slot position) depend on every component.
    u64 h = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < N; ++i) {
      h = (h ^ key[i]) * 0xBF58476D1CE4E5B9ull;
      h ^= h >> 29;
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
  }

 private:
  static constexpr std::size_t NONE_POS = static_cast<std::size_t>(-1);

  // Component-wise: std::array's operator== may become a memcmp call.
  static bool same(const key_type& a, const key_type& b) {
    bool eq = true;
    for (std::size_t i = 0; i < N; ++i) eq &= a[i] == b[i];
    return eq;
  }

  std::size_t position(const key_type& key) const {
    if (slots_.empty()) return NONE_POS;
    std::size_t pos = static_cast<std::size_t>(hash(key)) & mask_;
    for (;;) {
      const Slot& s = slots_[pos];
      if (s.id == NONE_U64) return NONE_POS;
      if (same(s.key, key)) return pos;
      pos = (pos + 1) & mask_;
    }
  }

  std::size_t next_occupied(std::size_t pos) const {
    while (pos < slots_.size() && slots_[pos].id == NONE_U64) ++pos;
    return pos;
  }

  void rehash(std::size_t n_slots) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(n_slots, Slot{key_type{}, NONE_U64});
    mask_ = n_slots - 1;
    for (const Slot& s : old) {
      if (s.id == NONE_U64) continue;
      std::size_t pos = static_cast<std::size_t>(hash(s.key)) & mask_;
      while (slots_[pos].id != NONE_U64) pos = (pos + 1) & mask_;
      slots_[pos] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  u64 count_ = 0;
};

}  // namespace vantrel
