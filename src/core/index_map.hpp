#pragma once
// IndexMap: numbers distinct keys of N node indices in order of first insertion (0, 1, 2, ...)
// and finds the number of a key again.
//
// Open addressing with linear probing over 8-byte slots. A slot holds the key's number + 1 in
// its low 40 bits (0 = empty) and a 24-bit fingerprint of the key's hash in its high bits, so a
// probe compares the fingerprint first and reads the stored key only when the fingerprints
// agree. The keys themselves live once, densely, in insertion order (`keys()`), which is exactly
// the numbering. Eight slots share a cache line, so a look-up costs about one cache miss.

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

  // Walks the keys in numbering order. Dereferencing yields (key, number); the pair lives in
  // the iterator, so `map.find(k)->second` and range-for loops work as with a std map.
  class iterator {
   public:
    iterator() = default;
    iterator(const IndexMap* m, u64 id) : m_(m), id_(id) {}
    const value_type& operator*() const {
      kv_ = {m_->keys_[id_], id_};
      return kv_;
    }
    const value_type* operator->() const { return &**this; }
    iterator& operator++() {
      ++id_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++id_;
      return old;
    }
    bool operator==(const iterator& o) const { return id_ == o.id_; }
    bool operator!=(const iterator& o) const { return id_ != o.id_; }

   private:
    const IndexMap* m_ = nullptr;
    u64 id_ = 0;
    mutable value_type kv_{};
  };
  using const_iterator = iterator;

  IndexMap() = default;

  std::size_t size() const { return keys_.size(); }
  bool empty() const { return keys_.empty(); }
  const std::vector<key_type>& keys() const { return keys_; }
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, keys_.size()); }

  void clear() {
    keys_.clear();
    slots_.clear();
    mask_ = 0;
  }

  // Room for n keys without rehashing.
  void reserve(std::size_t n) {
    keys_.reserve(n);
    const std::size_t want = std::bit_ceil(n + n / 2 + 16);  // load factor at most 2/3
    if (want > slots_.size()) rehash(want);
  }

  // The number of `key`, inserting it with the next number when it is new.
  // Returns (number, inserted).
  std::pair<u64, bool> insert(const key_type& key) {
    if ((keys_.size() + 1) * 3 > slots_.size() * 2) grow();
    const u64 h = hash(key);
    const u64 fp = h & FP_MASK;
    std::size_t pos = static_cast<std::size_t>(h) & mask_;
    for (;;) {
      const u64 s = slots_[pos];
      if (s == 0) break;
      if ((s & FP_MASK) == fp) {
        const u64 id = (s & ID_MASK) - 1;
        if (keys_[id] == key) return {id, false};
      }
      pos = (pos + 1) & mask_;
    }
    const u64 id = keys_.size();
    if (id + 1 >= ID_MASK) panic("IndexMap: more than 2^40 keys");
    slots_[pos] = fp | (id + 1);
    keys_.push_back(key);
    return {id, true};
  }

  iterator find(const key_type& key) const {
    const u64 id = lookup(key);
    return id == NONE_U64 ? end() : iterator(this, id);
  }
  bool contains(const key_type& key) const { return lookup(key) != NONE_U64; }
  std::size_t count(const key_type& key) const { return contains(key) ? 1 : 0; }
  u64 at(const key_type& key) const {
    const u64 id = lookup(key);
    if (id == NONE_U64) throw std::out_of_range("IndexMap::at: key not found");
    return id;
  }

  // Hint that `key` will be looked up soon.
  void prefetch(const key_type& key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[static_cast<std::size_t>(hash(key)) & mask_]);
  }

  // The number of `key`, or NONE_U64.
  u64 lookup(const key_type& key) const {
    if (slots_.empty()) return NONE_U64;
    const u64 h = hash(key);
    const u64 fp = h & FP_MASK;
    std::size_t pos = static_cast<std::size_t>(h) & mask_;
    for (;;) {
      const u64 s = slots_[pos];
      if (s == 0) return NONE_U64;
      if ((s & FP_MASK) == fp) {
        const u64 id = (s & ID_MASK) - 1;
        if (keys_[id] == key) return id;
      }
      pos = (pos + 1) & mask_;
    }
  }

  static u64 hash(const key_type& key) {
    // Multiply-xorshift over the components, then a murmur3 finaliser so that both the low bits
    // (slot position) and the high bits (fingerprint) depend on every component.
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
  static constexpr u64 ID_MASK = (u64{1} << 40) - 1;
  static constexpr u64 FP_MASK = ~ID_MASK;

  void grow() { rehash(slots_.empty() ? 64 : slots_.size() * 2); }

  void rehash(std::size_t n_slots) {
    slots_.assign(n_slots, 0);
    mask_ = n_slots - 1;
    for (u64 id = 0; id < keys_.size(); ++id) {
      const u64 h = hash(keys_[id]);
      std::size_t pos = static_cast<std::size_t>(h) & mask_;
      while (slots_[pos] != 0) pos = (pos + 1) & mask_;
      slots_[pos] = (h & FP_MASK) | (id + 1);
    }
  }

  std::vector<key_type> keys_;
  std::vector<u64> slots_;
  std::size_t mask_ = 0;
};

}  // namespace vantrel
