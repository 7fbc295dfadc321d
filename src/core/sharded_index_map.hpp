#pragma once
// ShardedIndexMap: a read-mostly map from an ascending node key to its edge or face number,
// split by the low bits of the key's hash into independent IndexMap shards. build_topology
// fills the shards one by one (each small enough to stay in cache, and in parallel) and then
// gives them the global numbers; afterwards the map only answers look-ups.

#include <array>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/index_map.hpp"
#include "core/support.hpp"

namespace vantrel {

template <std::size_t N>
class ShardedIndexMap {
 public:
  using Shard = IndexMap<N>;
  using key_type = typename Shard::key_type;
  using mapped_type = u64;
  using value_type = typename Shard::value_type;

  // Walks every shard in turn; dereferencing yields (key, number) as for IndexMap.
  class iterator {
   public:
    iterator() = default;
    iterator(const ShardedIndexMap* m, std::size_t shard, typename Shard::iterator it)
        : m_(m), shard_(shard), it_(it) {
      skip_empty();
    }
    const value_type& operator*() const { return *it_; }
    const value_type* operator->() const { return &*it_; }
    iterator& operator++() {
      ++it_;
      skip_empty();
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& o) const {
      return shard_ == o.shard_ && (shard_ == m_->shards_.size() || it_ == o.it_);
    }
    bool operator!=(const iterator& o) const { return !(*this == o); }

   private:
    void skip_empty() {
      while (shard_ < m_->shards_.size() && it_ == m_->shards_[shard_].end()) {
        ++shard_;
        if (shard_ < m_->shards_.size()) it_ = m_->shards_[shard_].begin();
      }
    }
    const ShardedIndexMap* m_ = nullptr;
    std::size_t shard_ = 0;
    typename Shard::iterator it_{};
  };
  using const_iterator = iterator;

  ShardedIndexMap() = default;
  // `n_shards` must be a power of two.
  explicit ShardedIndexMap(std::size_t n_shards) : shards_(n_shards) {}

  std::size_t n_shards() const { return shards_.size(); }
  Shard& shard(std::size_t s) { return shards_[s]; }
  // The shard that holds `key`.
  std::size_t shard_of(const key_type& key) const { return shard_of_hash(Shard::hash(key)); }
  std::size_t shard_of_hash(u64 h) const { return static_cast<std::size_t>(h) & (shards_.size() - 1); }

  std::size_t size() const {
    std::size_t n = 0;
    for (const Shard& s : shards_) n += s.size();
    return n;
  }
  bool empty() const { return size() == 0; }
  iterator begin() const {
    if (shards_.empty()) return end();
    return iterator(this, 0, shards_[0].begin());
  }
  iterator end() const { return iterator(this, shards_.size(), {}); }

  iterator find(const key_type& key) const {
    if (shards_.empty()) return end();
    const std::size_t s = shard_of(key);
    const auto it = shards_[s].find(key);
    return it == shards_[s].end() ? end() : iterator(this, s, it);
  }
  u64 lookup(const key_type& key) const {
    return shards_.empty() ? NONE_U64 : shards_[shard_of(key)].lookup(key);
  }
  bool contains(const key_type& key) const { return lookup(key) != NONE_U64; }
  std::size_t count(const key_type& key) const { return contains(key) ? 1 : 0; }
  u64 at(const key_type& key) const {
    const u64 id = lookup(key);
    if (id == NONE_U64) throw std::out_of_range("ShardedIndexMap::at: key not found");
    return id;
  }

 private:
  std::vector<Shard> shards_;
};

}  // namespace vantrel
