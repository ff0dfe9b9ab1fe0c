#!/usr/bin/env bash
# The wheel on an older glibc than the build machine's: Debian 11's glibc
# 2.31 (before the pthread/dl merge of 2.34, the stat functions of 2.33 and
# __libc_single_threaded of 2.32) with Debian 11's own CPython 3.9, no
# OpenSSL 3 and no libstdc++. Downloads those few packages with apt-get from
# the Debian mirror this machine is set up with (its own lists, in a scratch
# folder; the machine's apt state is not touched), unpacks them, and runs the
# module tests and the command-line tests under that glibc's loader, the
# program through a wrapper that starts it with the same loader, and the
# machine's libcrypto, libssl and libstdc++ hidden as in isolated.sh.
#
# Not part of CI (it needs the mirror to still carry Debian 11): run it by
# hand after changing how the wheel links.
#
# Usage: tests/release/old_glibc.sh WHEEL     (as root)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
wheel=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: needs root (a mount namespace)"; exit 0; }

mirror=$(awk '/^URIs:/ && /debian$/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 ~ /debian$/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
[ -n "$mirror" ] || { echo "SKIPPED: no Debian mirror configured"; exit 0; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # the tests run the program as another user too
mkdir -p "$work"/apt/{lists/partial,cache/archives/partial} "$work/debs" "$work/sys" "$work/site"
echo "deb [trusted=yes] $mirror bullseye main" > "$work/apt/sources.list"
cat > "$work/apt/apt.conf" <<CONF
Dir::Etc::SourceList "$work/apt/sources.list";
Dir::Etc::SourceParts "$work/apt/none";
Dir::State::Lists "$work/apt/lists";
Dir::Cache "$work/apt/cache";
Dir::State::status "$work/apt/status";
Acquire::Languages "none";
CONF
touch "$work/apt/status"
export APT_CONFIG="$work/apt/apt.conf"
apt-get update -qq
(cd "$work/debs" && apt-get download -qq libc6 libgcc-s1 zlib1g libexpat1 libffi7 \
  python3.9-minimal libpython3.9-minimal libpython3.9-stdlib)
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/sys"; done
unset APT_CONFIG

sys=$work/sys
ld=$(ls "$sys"/lib/x86_64-linux-gnu/ld-2.*.so)
libs=$sys/lib/x86_64-linux-gnu:$sys/usr/lib/x86_64-linux-gnu
(cd "$work/site" && python3 -m zipfile -e "$wheel" .)
cli=$(ls "$work"/site/tarnwick-*.data/scripts/tarnwick)
chmod +x "$cli"
printf '#!/bin/sh\nexec %s --library-path %s %s "$@"\n' "$ld" "$libs" "$cli" > "$work/tarnwick"
chmod +x "$work/tarnwick"
# pytest and hypothesis for that interpreter (pure Python), by any pip here.
pip=(python3 -m pip)
if command -v pyenv >/dev/null 2>&1 && p=$(pyenv prefix 3.9 2>/dev/null); then pip=("$p/bin/python" -m pip); fi
"${pip[@]}" install --quiet --target "$work/pydeps" --python-version 3.9 --only-binary=:all: pytest hypothesis

hide=$(ldconfig -p | awk '/(libcrypto|libssl|libstdc\+\+)\.so/ {print $NF}' | xargs -r realpath -e | sort -u)
: > "$work/empty"
echo "glibc $(basename "$ld"), Debian 11's CPython 3.9, hiding:" $hide
cd "$work"
unshare --mount --propagation private -- bash -c '
  set -e
  for lib in $1; do mount --bind "$2/empty" "$lib"; done
  shift 2
  exec "$@"
' old "$hide" "$work" \
  env PYTHONHOME="$sys/usr" PYTHONPATH="$work/site:$work/pydeps" TARNWICK_CLI="$work/tarnwick" LD_LIBRARY_PATH= \
  "$ld" --library-path "$libs" "$sys/usr/bin/python3.9" -m pytest -q -p no:cacheprovider \
  "$root/tests/python" "$root/tests/cli" "$root/tests/file" "$root/tests/core"
