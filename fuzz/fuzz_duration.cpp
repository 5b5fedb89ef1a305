// write_duration for any (seconds, nanos < 10^9): the text reads back as exactly that duration,
// in the one canonical form, appended after whatever the buffer held.
#include <cstring>

#include "common.hpp"
#include "school/report.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;
  std::memcpy(&seconds, data, size < 8 ? size : 8);
  if (size > 8) std::memcpy(&nanos, data + 8, size - 8 < 4 ? size - 8 : 4);
  nanos %= 1'000'000'000u;
  // Small values are where the unit boundaries lie; the 13th byte, when there, shrinks seconds.
  if (size > 12) seconds >>= data[12] % 64;

  std::string out = "prefix:";
  school::write_duration(out, seconds, nanos);
  FUZZ_CHECK(out.compare(0, 7, "prefix:") == 0);
  auto back = fuzz::parse_duration(std::string_view(out).substr(7));
  FUZZ_CHECK(back.has_value());
  FUZZ_CHECK(back->seconds == seconds && back->nanos == nanos);
  return 0;
}
