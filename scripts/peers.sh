#!/usr/bin/env bash
# Installs what is missing (the peers too: HDF5 through h5py, the LZ4 codec),
# builds everything and runs the peer comparison; arguments go to
# bench/peers/run.py (--quick for a minute or two).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VOG_PACKAGES+=(python3-h5py python3-lz4)
ensure_packages
build_tree "$VOG_ROOT/build"
PYTHONPATH="$VOG_ROOT/build/vog_python" /usr/bin/python3 "$VOG_ROOT/bench/peers/run.py" "$@"
