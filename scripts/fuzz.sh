#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build-fuzz/ and
# runs them one after another on their corpora. A crash, leak, timeout or
# sanitizer report fails the run; the report and the input (base64) are printed.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   seconds per target (600 by default),
#                                           every target when none is named
# Inputs that reach new code collect in build-fuzz/fuzz/corpus/<target>/, so a
# later run goes on from there; the seeds are written anew every time.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_open_file fuzz_directory fuzz_headers fuzz_operations)

ensure_packages
dir=$VOG_ROOT/build-fuzz
build_tree "$dir" -DVOG_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
"$dir/fuzz/make_seeds" "$dir/fuzz/seeds"

failed=()
for target in "${targets[@]}"; do
  corpus=$dir/fuzz/corpus/$target
  artifacts=$dir/fuzz/artifacts/$target
  log=$dir/fuzz/$target.log
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  echo "== $target for $seconds s (log: $log)"
  if ! nice "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
         -artifact_prefix="$artifacts/" "$corpus" "$dir/fuzz/seeds/$target" >"$log" 2>&1; then
    failed+=("$target")
    tail -n 150 "$log"
    for input in "$artifacts"/*; do
      [ -e "$input" ] || continue
      echo "input $(basename "$input"), base64:"
      base64 -w 0 "$input"
      echo
    done
  fi
  echo "$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") executions," \
       "corpus of $(find "$corpus" -type f | wc -l) inputs"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
