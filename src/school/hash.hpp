// Keyed hashing for every table indexed by text that comes from callers.
#pragma once

#include <cstdint>
#include <string_view>

namespace school {

// SipHash-1-3 under a key drawn once per process from the operating system, so that
// names chosen to collide in one process do not collide in another.
std::uint64_t keyed_hash(std::string_view bytes) noexcept;

// SipHash-1-3 of `bytes` under the key (k0, k1): keyed_hash with the process's key.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view bytes) noexcept;

// A keyed mix for small integers such as period numbers.
std::uint64_t keyed_mix(std::uint64_t value) noexcept;

}  // namespace school
