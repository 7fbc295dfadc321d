#pragma once
// IndexMap: numbers distinct keys of N node indices in order of first insertion (0, 1, 2, ...)
// and finds the number of a key again.
//
// Open addressing with linear probing; every slot holds the whole key and its number, so a
// look-up reads one slot run (usually one cache line) and nothing else. While every key
// component and number fits in 32 bits (any mesh that fits in memory) the slots are stored
// with 32-bit fields, 12 or 16 bytes each; a larger value switches the table to 64-bit slots.
// The table size is not a power of two: a slot position is the high half of hash * size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
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
  template <class T>
  struct Slot {
    std::array<T, N> key;
    T id;  // all ones: empty
  };
  using Narrow = Slot<std::uint32_t>;
  using Wide = Slot<u64>;
  static constexpr std::uint32_t NARROW_EMPTY = 0xFFFFFFFFu;

 public:
  // Walks the occupied slots (in no particular order). Dereferencing yields (key, number); the
  // pair lives in the iterator, so `map.find(k)->second` and range-for loops work as with a
  // std map.
  class iterator {
   public:
    iterator() = default;
    iterator(const IndexMap* m, std::size_t pos) : m_(m), pos_(pos) {}
    const value_type& operator*() const {
      kv_ = m_->entry(pos_);
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
  iterator end() const { return iterator(this, cap_); }

  void clear() {
    narrow_ = {};
    wide_ = {};
    is_wide_ = false;
    cap_ = 0;
    count_ = 0;
  }

  // Room for n keys without rehashing (load factor at most 2/3).
  void reserve(std::size_t n) {
    const std::size_t want = n + n / 2 + 16;
    if (want > cap_) rehash(want, is_wide_);
  }

  // The number of `key`, inserting it with the next number (the count of keys so far) when it
  // is new. Returns (number, inserted).
  std::pair<u64, bool> insert(const key_type& key) {
    if ((count_ + 1) * 3 > cap_ * 2) rehash(cap_ < 32 ? 64 : 2 * cap_, is_wide_);
    if (!is_wide_ && !fits_narrow(key)) rehash(cap_, true);
    return is_wide_ ? insert_in(wide_, key) : insert_in(narrow_, key);
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
    return entry(pos).second;
  }
  // The number of `key`, or NONE_U64.
  u64 lookup(const key_type& key) const {
    const std::size_t pos = position(key);
    return pos == NONE_POS ? NONE_U64 : entry(pos).second;
  }

  // Replaces every key's number i by new_number[i] (numbers handed out by insert are 0 .. size-1).
  void renumber(const std::vector<u64>& new_number) {
    if (!is_wide_) {
      for (const u64 v : new_number) {
        if (v >= NARROW_EMPTY) {
          rehash(cap_, true);
          break;
        }
      }
    }
    if (is_wide_) {
      for (Wide& s : wide_)
        if (!is_empty(s)) s.id = new_number[s.id];
    } else {
      for (Narrow& s : narrow_)
        if (!is_empty(s)) s.id = static_cast<std::uint32_t>(new_number[s.id]);
    }
  }

  // Hint that `key` will be looked up soon.
  void prefetch(const key_type& key) const {
    if (cap_ == 0) return;
    const std::size_t pos = home(key);
    if (is_wide_) {
      __builtin_prefetch(&wide_[pos]);
    } else {
      __builtin_prefetch(&narrow_[pos]);
    }
  }

  static u64 hash(const key_type& key) {
    // Multiply-xorshift over the components, then a murmur3 finaliser so that the high bits
    // (the slot position) depend on every component.
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

  static bool fits_narrow(const key_type& key) {
    u64 big = 0;
    for (std::size_t i = 0; i < N; ++i) big |= key[i];
    return big < NARROW_EMPTY;
  }
  std::size_t home(const key_type& key) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash(key)) * cap_) >> 64);
  }
  std::size_t next(std::size_t pos) const { return pos + 1 == cap_ ? 0 : pos + 1; }

  template <class S>
  static bool is_empty(const S& s) {
    return s.id == static_cast<decltype(s.id)>(-1);
  }
  template <class S>
  static bool same(const S& s, const key_type& key) {
    bool eq = true;
    for (std::size_t i = 0; i < N; ++i) eq &= static_cast<u64>(s.key[i]) == key[i];
    return eq;
  }

  template <class S>
  std::pair<u64, bool> insert_in(std::vector<S>& slots, const key_type& key) {
    using T = decltype(S::id);
    std::size_t pos = home(key);
    for (;;) {
      S& s = slots[pos];
      if (is_empty(s)) {
        if constexpr (!std::is_same_v<T, u64>) {
          if (count_ + 1 >= NARROW_EMPTY) {
            rehash(cap_, true);  // numbers no longer fit in 32 bits
            return insert_in(wide_, key);
          }
        }
        for (std::size_t i = 0; i < N; ++i) s.key[i] = static_cast<T>(key[i]);
        s.id = static_cast<T>(count_);
        return {count_++, true};
      }
      if (same(s, key)) return {static_cast<u64>(s.id), false};
      pos = next(pos);
    }
  }

  template <class S>
  std::size_t position_in(const std::vector<S>& slots, const key_type& key) const {
    std::size_t pos = home(key);
    for (;;) {
      const S& s = slots[pos];
      if (is_empty(s)) return NONE_POS;
      if (same(s, key)) return pos;
      pos = next(pos);
    }
  }
  std::size_t position(const key_type& key) const {
    if (cap_ == 0) return NONE_POS;
    if (is_wide_) return position_in(wide_, key);
    return fits_narrow(key) ? position_in(narrow_, key) : NONE_POS;
  }

  value_type entry(std::size_t pos) const {
    value_type kv;
    if (is_wide_) {
      kv.first = wide_[pos].key;
      kv.second = wide_[pos].id;
    } else {
      for (std::size_t i = 0; i < N; ++i) kv.first[i] = narrow_[pos].key[i];
      kv.second = narrow_[pos].id;
    }
    return kv;
  }
  std::size_t next_occupied(std::size_t pos) const {
    if (is_wide_) {
      while (pos < cap_ && is_empty(wide_[pos])) ++pos;
    } else {
      while (pos < cap_ && is_empty(narrow_[pos])) ++pos;
    }
    return pos;
  }

  template <class S>
  void place(std::vector<S>& slots, const key_type& key, u64 id) {
    using T = decltype(S::id);
    std::size_t pos = home(key);
    while (!is_empty(slots[pos])) pos = next(pos);
    for (std::size_t i = 0; i < N; ++i) slots[pos].key[i] = static_cast<T>(key[i]);
    slots[pos].id = static_cast<T>(id);
  }

  // Moves every key into a table of `n_slots` slots, 64-bit ones when `wide`.
  void rehash(std::size_t n_slots, bool wide) {
    std::vector<value_type> old;
    old.reserve(count_);
    for (std::size_t pos = next_occupied(0); pos < cap_; pos = next_occupied(pos + 1))
      old.push_back(entry(pos));
    narrow_ = {};
    wide_ = {};
    is_wide_ = wide;
    cap_ = n_slots;
    if (wide) {
      wide_.assign(n_slots, Wide{{}, NONE_U64});
      for (const auto& [k, id] : old) place(wide_, k, id);
    } else {
      narrow_.assign(n_slots, Narrow{{}, NARROW_EMPTY});
      for (const auto& [k, id] : old) place(narrow_, k, id);
    }
  }

  std::vector<Narrow> narrow_;
  std::vector<Wide> wide_;
  bool is_wide_ = false;
  std::size_t cap_ = 0;
  u64 count_ = 0;
};

}  // namespace vantrel
