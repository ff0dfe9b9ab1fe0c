#!/usr/bin/env bash
# The wheel on a machine that has nothing but CPython and glibc: a fresh venv
# on the given (oldest) interpreter, the wheel installed without its build
# tools, then check_installed.py run with LD_LIBRARY_PATH empty inside a mount
# namespace where the machine's libcrypto, libssl and libstdc++ are files of
# zero bytes, so the loader cannot use them.
#
# Usage: tests/release/isolated.sh WHEEL PYTHON
# Needs root (a mount namespace); skips with a message otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
wheel=$(realpath "$1")
python=$2

if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1; then
  echo "SKIPPED: the isolation test hides libraries in a mount namespace, which needs root and unshare"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "venv on $("$python" --version) in $work"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-deps --no-index "$wheel"

# Every file the loader's cache knows for these libraries, as the real file.
hide=$(ldconfig -p | awk '/(libcrypto|libssl|libstdc\+\+)\.so/ {print $NF}' | xargs -r realpath -e | sort -u)
echo "hiding:" $hide
: > "$work/empty"
cp -r "$root/examples/models" "$work/models"

cd "$work"
unshare --mount --propagation private -- bash -c '
  set -e
  for lib in $1; do mount --bind "$2/empty" "$lib"; done
  exec env -u LD_PRELOAD LD_LIBRARY_PATH= "$2/venv/bin/python" "$3" "$2/models"
' isolated "$hide" "$work" "$here/check_installed.py"
