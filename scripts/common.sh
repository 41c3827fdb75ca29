# Shared by the build scripts: installs missing Debian packages, configures and builds.
# Sourced, not run.

VOG_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VOG_PACKAGES=(g++ cmake make pkg-config liblz4-dev libargon2-dev libssl-dev libxxhash-dev libgtest-dev
              python3 python3-dev python3-pytest python3-hypothesis
              python3-fsspec python3-pandas python3-dask python3-distributed python3-tqdm python3-zarr
              python3-mypy python3-pip python3-setuptools python3-wheel python3-venv
              clang libclang-rt-14-dev)

# Installs whichever of VOG_PACKAGES is absent; needs root only when one is.
ensure_packages() {
  local missing=() package
  for package in "${VOG_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

# build_tree DIR [CMAKE ARGS...]: configures (once) and builds DIR. With
# VOG_WERROR=1 in the environment (as CI sets it) every warning is an error.
build_tree() {
  local dir=$1
  shift
  local werror=OFF
  [ "${VOG_WERROR:-0}" = 1 ] && werror=ON
  cmake -S "$VOG_ROOT" -B "$dir" -DPython3_EXECUTABLE=/usr/bin/python3 \
    -DCMAKE_COMPILE_WARNING_AS_ERROR="$werror" "$@"
  cmake --build "$dir" --parallel "$(nproc)"
}
