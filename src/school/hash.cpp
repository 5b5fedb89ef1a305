// SipHash-1-3 with a per-process random key.
#include "school/hash.hpp"

#include <sys/random.h>

#include <chrono>
#include <cstring>

namespace school {
namespace {

struct ProcessKey {
  std::uint64_t k0, k1, mix;
};

ProcessKey draw_key() noexcept {
  std::uint64_t words[3] = {};
  std::size_t got = 0;
  while (got < sizeof words) {
    ssize_t n = getrandom(reinterpret_cast<char*>(words) + got, sizeof words - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof words) {
    // No system entropy: still differ between processes and runs.
    auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    words[0] ^= t * 0x9E3779B97F4A7C15ull;
    words[1] ^= reinterpret_cast<std::uintptr_t>(&words) * 0xC2B2AE3D27D4EB4Full;
    words[2] ^= t ^ words[1];
  }
  return {words[0], words[1], words[2] | 1};
}

const ProcessKey& process_key() noexcept {
  static const ProcessKey key = draw_key();
  return key;
}

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept {
  return (x << b) | (x >> (64 - b));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
};

}  // namespace

std::uint64_t keyed_hash(std::string_view bytes) noexcept {
  const ProcessKey& key = process_key();
  return siphash13(key.k0, key.k1, bytes);
}

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view bytes) noexcept {
  SipState s{k0 ^ 0x736f6d6570736575ull, k1 ^ 0x646f72616e646f6dull, k0 ^ 0x6c7967656e657261ull,
             k1 ^ 0x7465646279746573ull};
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  for (; left >= 8; left -= 8, p += 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(bytes.size()) << 56;
  for (std::size_t i = 0; i < left; ++i)
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t keyed_mix(std::uint64_t value) noexcept {
  const ProcessKey& key = process_key();
  std::uint64_t x = (value ^ key.k0) * key.mix;
  return x ^ (x >> 29);
}

}  // namespace school
