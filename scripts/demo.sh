#!/usr/bin/env bash
# Builds zef and runs its main job on a generated sample: hash it, compare it
# with a copy, copy it (also verified), beside the tools one would use otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target zef
zef=build/linux-release/zef
dir=$(mktemp -d /var/tmp/zef-demo.XXXXXX)
trap 'rm -rf "$dir"' EXIT
size_mb=${SIZE_MB:-256}
echo ":: generating a ${size_mb} MiB sample in $dir"
head -c $((size_mb << 20)) /dev/urandom > "$dir/sample.img"
echo ":: zef sample.img (SHA1, the default)"
(cd "$dir" && "$OLDPWD/$zef" sample.img)
echo ":: sha1sum for reference"
(cd "$dir" && sha1sum sample.img)
echo ":: copy with a SHA256 of the source in the same pass"
(cd "$dir" && "$OLDPWD/$zef" sample.img copy.img -Write -sha256 -q)
(cd "$dir" && sha256sum sample.img)
echo ":: several digests in one pass, checked by cksum -c"
(cd "$dir" && "$OLDPWD/$zef" sample.img -hash=md5,sha1,sha256 > sample.sums && cat sample.sums && cksum -c sample.sums)
echo ":: a verified copy: every written byte read back from the target and compared"
(cd "$dir" && "$OLDPWD/$zef" sample.img verified.img -Write -verify -q)
echo ":: compare the copy with the sample"
(cd "$dir" && "$OLDPWD/$zef" sample.img copy.img -q && echo "identical (exit status 0)")
