#!/bin/sh
# Builds the libFuzzer harnesses into fuzz/out/, installing clang, its fuzzer runtime and ICU
# from Debian when they are missing. Clang 16 is the first Debian clang whose C++20 mode
# accepts libstdc++ 12's <source_location>, which the library uses. ICU serves only the
# harnesses, as an independent oracle for the library's own Unicode tables.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
CXX=${CXX:-clang++-16}
runtime=/usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-x86_64.a

if ! command -v "$CXX" >/dev/null 2>&1 || [ ! -e "$runtime" ] || [ ! -e /usr/include/unicode/uchar.h ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-16 libclang-rt-16-dev libicu-dev >/dev/null
fi

out="$here/out"
mkdir -p "$out/obj"
common="-std=c++20 -g -O1 -fno-sanitize-recover=undefined -I$root/src"

# The library is instrumented for coverage and the sanitizers but gets its main from the harness.
pids=""
for src in "$root"/src/school/*.cpp; do
  $CXX $common -fsanitize=fuzzer-no-link,address,undefined -c "$src" -o "$out/obj/$(basename "$src" .cpp).o" &
  pids="$pids $!"
done
for pid in $pids; do wait "$pid"; done

for harness in "$here"/fuzz_*.cpp; do
  name=$(basename "$harness" .cpp)
  $CXX $common -fsanitize=fuzzer,address,undefined "$harness" "$out"/obj/*.o -licuuc -o "$out/$name"
  echo "built fuzz/out/$name"
done
