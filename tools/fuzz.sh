#!/usr/bin/env bash
# A short fuzzing session of the model-file reader and the float text: builds the libFuzzer
# targets (fuzz/build.sh) and runs each for FUZZ_SECONDS (default 60 in total), niced, from
# a scratch copy of fuzz/corpus/. Crash inputs land in build/fuzz/artifacts/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${FUZZ_SECONDS:-60}"
"$root/fuzz/build.sh"
out="$root/build/fuzz"
mkdir -p "$out/artifacts"
reader_time=$(( seconds * 5 / 6 ))
float_time=$(( seconds - reader_time ))
for target in model_reader float_text; do
  work="$out/session_$target"
  rm -rf "$work" && mkdir -p "$work" && cp "$root/fuzz/corpus/$target/"* "$work/"
  time_budget=$reader_time
  extra=(-dict="$root/fuzz/model_reader.dict")
  if [[ $target == float_text ]]; then time_budget=$float_time; extra=(); fi
  nice -n 10 "$out/${target}_fuzz" -max_total_time="$time_budget" -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/" "${extra[@]}" "$work"
done
