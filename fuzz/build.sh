#!/usr/bin/env bash
# Builds the libFuzzer targets with address and undefined-behaviour sanitizers into
# build/fuzz/ (clang-16 and libclang-rt-16-dev from the distribution's packages).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out"
cxx="${CXX_FUZZ:-clang++-16}"
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -ffp-contract=off
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$root/src" -I"$root/tests/cpp")
sources=("$root"/src/model_file/*.cpp "$root/src/uplift_tree/records.cpp"
         "$root/src/common/panic.cpp")
for target in model_reader float_text; do
  "$cxx" "${flags[@]}" "$root/fuzz/${target}_fuzz.cpp" "${sources[@]}" -o "$out/${target}_fuzz"
done
echo "built: $out/model_reader_fuzz $out/float_text_fuzz"
