// An open-addressing index of small integers whose keys live elsewhere (in a vector beside it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "school/growth.hpp"

namespace school {

// Each slot holds 0 (empty) or a caller's nonzero value, usually a position + 1 in the
// caller's own vector. The caller supplies hashes and equality, so the index itself never
// copies keys, and a copy of the owner stays valid because it stores positions, not pointers.
class FlatIndex {
 public:
  // Finds a value for which `same(value)` holds, or 0.
  template <class Same>
  std::uint32_t find(std::uint64_t hash, Same same) const noexcept {
    if (slots_.empty()) return 0;
    for (std::size_t i = home(hash);; i = (i + 1) & (slots_.size() - 1)) {
      std::uint32_t v = slots_[i];
      if (v == 0) return 0;
      if (same(v)) return v;
    }
  }

  // Makes room for one more value; `rehash(v)` gives the hash of a stored value when the table
  // grows. This is the only step that allocates, so a caller can prepare every index it will
  // touch before changing anything.
  template <class Rehash>
  void reserve_one(Rehash rehash) {
    if ((count_ + 1) * 2 > slots_.size()) grow(rehash);
  }

  // Stores `value`, which must not be present yet, after reserve_one().
  void insert(std::uint64_t hash, std::uint32_t value) noexcept {
    place(hash, value);
    ++count_;
  }

  std::size_t size() const noexcept { return count_; }
  void clear() noexcept {
    if (count_ == 0) return;
    for (auto& s : slots_) s = 0;
    count_ = 0;
  }

 private:
  std::size_t home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void place(std::uint64_t hash, std::uint32_t value) noexcept {
    std::size_t i = home(hash);
    while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = value;
  }
  template <class Rehash>
  void grow(Rehash rehash) {
    std::size_t capacity = slots_.empty() ? 8 : slots_.size() * 2;
    std::vector<std::uint32_t> old(capacity, 0);
    old.swap(slots_);
    int bits = 0;
    while ((std::size_t{1} << bits) < capacity) ++bits;
    shift_ = 64 - bits;
    for (std::uint32_t v : old)
      if (v != 0) place(rehash(v), v);
  }

  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
  int shift_ = 64;
};

// A set of small keys, kept in a vector in insertion order and indexed by a FlatIndex.
// `Hash` is a stateless functor giving a key's (keyed) hash.
template <class Key, class Hash>
class FlatSet {
 public:
  // Adds the key unless it is there; true when added. A failed allocation changes nothing.
  bool insert(const Key& key) {
    const std::uint64_t hash = Hash{}(key);
    if (index_.find(hash, [&](std::uint32_t v) { return keys_[v - 1] == key; }) != 0) return false;
    reserve_more(keys_, 1);
    index_.reserve_one([this](std::uint32_t v) { return Hash{}(keys_[v - 1]); });
    index_.insert(hash, static_cast<std::uint32_t>(keys_.size() + 1));
    keys_.push_back(key);
    return true;
  }
  bool contains(const Key& key) const noexcept {
    return index_.find(Hash{}(key), [&](std::uint32_t v) { return keys_[v - 1] == key; }) != 0;
  }
  void clear() noexcept {
    keys_.clear();
    index_.clear();
  }

 private:
  std::vector<Key> keys_;
  FlatIndex index_;
};

}  // namespace school
