"""Builders for SafeTensors files held in memory."""

import struct


def st_file(header, tensors=b"", pad=0):
    """A file: 8-byte little-endian length, the header text (str or bytes)
    followed by `pad` spaces, then the tensor bytes."""
    if isinstance(header, str):
        header = header.encode()
    header += b" " * pad
    return struct.pack("<Q", len(header)) + header + tensors


def with_length(n, body=b""):
    """Raw bytes whose length field says `n`, whatever follows."""
    return struct.pack("<Q", n) + body


def header_of(model):
    (n,) = struct.unpack_from("<Q", model)
    return model[8 : 8 + n]


def tensors_of(model):
    (n,) = struct.unpack_from("<Q", model)
    return model[8 + n :]


def written_header(model):
    """The header text of a file this module wrote, without the trailing
    spaces that align the tensor data to 8 bytes (checked here)."""
    header = header_of(model)
    text = header.rstrip(b" ")
    assert (8 + len(header)) % 8 == 0 and len(header) - len(text) < 8, header
    return text
