#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the example.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages
build_tree "$VOG_ROOT/build"
"$VOG_ROOT/build/examples/vog_inspect"
