#!/usr/bin/env bash
# Installs what building and testing zef needs on Debian, when it is missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libssl-dev nettle-dev libgtest-dev
          g++-mingw-w64-x86-64-posix wine wine64 fdisk e2fsprogs util-linux time
          fuse3 libfuse3-dev libxxhash-dev xxhash rhash)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
