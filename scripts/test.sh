#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh              the ordinary build, in build/
#   scripts/test.sh --asan       a Debug build (assertions and invariant checks on)
#                                with AddressSanitizer + UBSan, in build-asan/
#   scripts/test.sh --tsan       ThreadSanitizer, in build-tsan/
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

dir=$VOG_ROOT/build
cmake_args=()
case "${1:-}" in
  "") ;;
  --asan) dir=$VOG_ROOT/build-asan; cmake_args=(-DVOG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
  --tsan) dir=$VOG_ROOT/build-tsan; cmake_args=(-DVOG_TSAN=ON) ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac

ensure_packages
build_tree "$dir" "${cmake_args[@]}"
ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)"
