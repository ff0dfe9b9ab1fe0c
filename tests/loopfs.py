"""Small file systems on loop devices, and where a file's blocks lie.

mounted(kind, size) makes a sparse image in a temporary folder, formats it,
attaches it to a loop device and mounts it; the mount point is yielded and
the file system is unmounted, the device detached and the image removed on
every exit. Unavailable (with the reason) when this is not root or the tools
or loop devices are missing. extents(path) reads FS_IOC_FIEMAP.
"""

from __future__ import annotations

import bisect
import contextlib
import fcntl
import os
import shutil
import struct
import subprocess
import tempfile
import time

# Formatting commands; xfs and btrfs share blocks between files (reflink),
# ext4 does not and is the control.
MKFS = {
    "xfs": ["mkfs.xfs", "-q", "-f", "-m", "reflink=1"],
    "btrfs": ["mkfs.btrfs", "-q", "-f"],
    "ext4": ["mkfs.ext4", "-q", "-F", "-b", "4096"],
}
SHARES = {"xfs": True, "btrfs": True, "ext4": False}
# mkfs.xfs refuses less than 300 MiB.
MIN_SIZE = 320 << 20


class Unavailable(Exception):
    """Why no such file system can be mounted here."""


def _tool(name):
    # The system folders hold these, and need not be on a caller's PATH.
    return shutil.which(name, path=os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"]))


def _run(args):
    return subprocess.run([_tool(args[0]) or args[0], *args[1:]], capture_output=True, text=True, timeout=120)


def unavailable(kind: str) -> str | None:
    """Why `kind` cannot be mounted here, or None."""
    if os.geteuid() != 0:
        return "loop mounts need root"
    for tool in (MKFS[kind][0], "losetup", "mount", "umount"):
        if _tool(tool) is None:
            return f"{tool} is not installed"
    if not os.path.exists("/dev/loop-control") and not os.path.exists("/dev/loop0"):
        return "no loop devices"
    return None


@contextlib.contextmanager
def mounted(kind: str, size: int = MIN_SIZE, parent: str | None = None, mkfs=(), options=None):
    """`mkfs`: more formatting arguments; `options`: mount options."""
    reason = unavailable(kind)
    if reason:
        raise Unavailable(f"{kind}: {reason}")
    folder = tempfile.mkdtemp(prefix=f"tarnwick-{kind}-", dir=parent)
    try:
        image = os.path.join(folder, "image")
        with open(image, "wb") as f:
            f.truncate(max(size, MIN_SIZE))
        made = _run([*MKFS[kind], *mkfs, image])
        if made.returncode != 0:
            raise Unavailable(f"{kind}: {MKFS[kind][0]} failed: {made.stderr.strip()}")
        attached = _run(["losetup", "--find", "--show", image])
        if attached.returncode != 0:
            raise Unavailable(f"{kind}: losetup failed: {attached.stderr.strip()}")
        device = attached.stdout.strip()
        try:
            point = os.path.join(folder, "mnt")
            os.mkdir(point)
            mount = _run(["mount", "-t", kind, *(["-o", options] if options else []), device, point])
            if mount.returncode != 0:
                raise Unavailable(f"{kind}: mount failed: {mount.stderr.strip()}")
            try:
                yield point
            finally:
                _umount(point)
        finally:
            _run(["losetup", "-d", device])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _umount(point: str) -> None:
    # A file a test left open keeps the file system busy: retry, then
    # detach it lazily rather than leave it mounted.
    for _ in range(10):
        if _run(["umount", point]).returncode == 0:
            return
        time.sleep(0.2)
    _run(["umount", "-l", point])


# ----------------------------------------------------------------------------
# FIEMAP

FS_IOC_FIEMAP = 0xC020660B
FIEMAP_FLAG_SYNC = 0x1
FIEMAP_EXTENT_LAST = 0x1
FIEMAP_EXTENT_SHARED = 0x2000
_HEAD = struct.Struct("=QQIIII")          # struct fiemap
_EXTENT = struct.Struct("=QQQ2QI3I")      # struct fiemap_extent
_BATCH = 256


def extents(path) -> list[tuple[int, int, int, int]]:
    """The file's extents as (logical, physical, length, flags), in order,
    after syncing it."""
    out = []
    start = 0
    fd = os.open(path, os.O_RDONLY)
    try:
        while True:
            request = bytearray(_HEAD.size + _BATCH * _EXTENT.size)
            _HEAD.pack_into(request, 0, start, (1 << 64) - 1 - start, FIEMAP_FLAG_SYNC, 0, _BATCH, 0)
            fcntl.ioctl(fd, FS_IOC_FIEMAP, request, True)
            mapped = _HEAD.unpack_from(request)[3]
            if mapped == 0:
                return out
            for i in range(mapped):
                logical, physical, length, _, _, flags, *_ = _EXTENT.unpack_from(
                    request, _HEAD.size + i * _EXTENT.size)
                out.append((logical, physical, length, flags))
                if flags & FIEMAP_EXTENT_LAST:
                    return out
            start = out[-1][0] + out[-1][2]
    finally:
        os.close(fd)


def _physical(mapping, starts, at):
    """The physical address of byte `at`, and its extent's flags."""
    i = bisect.bisect_right(starts, at) - 1
    if i >= 0:
        logical, physical, length, flags = mapping[i]
        if at < logical + length:
            return physical + at - logical, flags
    return None, 0


def shared_blocks(source, old, output, new, length, block=4096) -> tuple[int, int]:
    """Of the whole blocks of `output` within [new, new + length), how many
    are marked shared and lie where the same bytes of `source` (at `old`)
    lie; and how many there are."""
    src, dst = extents(source), extents(output)
    src_starts, dst_starts = [e[0] for e in src], [e[0] for e in dst]
    first = -(-new // block) * block
    end = (new + length) // block * block
    total = shared = 0
    for at in range(first, end, block):
        total += 1
        here, flags = _physical(dst, dst_starts, at)
        there, _ = _physical(src, src_starts, old + at - new)
        if here is not None and here == there and flags & FIEMAP_EXTENT_SHARED:
            shared += 1
    return shared, total
