#!/usr/bin/env bash
# Kills a writer with SIGKILL many times at random moments and checks the file
# after each kill (vog_python/tests/test_crash.py); prints the counts.
#   scripts/crash_kills.sh [KILLS]     default 1000; needs libvog built in build/
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VOG_CRASH_KILLS=${1:-1000} PYTHONPATH=$VOG_ROOT/build/vog_python PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -s -p no:cacheprovider "$VOG_ROOT/vog_python/tests/test_crash.py"
