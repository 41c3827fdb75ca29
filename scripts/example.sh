#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the examples: the C++
# tree example, then the Python quick start.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages
build_tree "$VOG_ROOT/build"
"$VOG_ROOT/build/examples/vog_tree_example"
echo
PYTHONPATH="$VOG_ROOT/build/vog_python" /usr/bin/python3 "$VOG_ROOT/examples/quickstart.py"
