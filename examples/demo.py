"""Embeds a manifest store and a remote URI into each sample model, reads
them back, strips them again, and prints what happened."""

import pathlib
import sys

import tarnwick

MODELS = pathlib.Path(__file__).resolve().parent / "models"
STORE = b"\x00example C2PA manifest store bytes\xff"
URI = "https://example.com/manifests/model.c2pa"


def main() -> int:
    for path in sorted(MODELS.iterdir()):
        model = path.read_bytes()
        print(f"{path.name}: {len(model)} bytes, format {tarnwick.detect_format(model)}, "
              f"asset type {tarnwick.model_type(model)}")
        signed = tarnwick.embed_manifest_both(model, URI, STORE)
        assert tarnwick.read_manifest(signed) == STORE
        assert tarnwick.read_manifest_uri(signed) == URI
        print(f"  embedded a {len(STORE)}-byte store and a URI: {len(signed)} bytes; "
              f"read back: store {tarnwick.read_manifest(signed)[:12]!r}..., "
              f"uri {tarnwick.read_manifest_uri(signed)!r}")
        stripped = tarnwick.remove_manifest(signed)
        assert tarnwick.read_manifest_uri(stripped) is None
        print(f"  removed: {len(stripped)} bytes, "
              f"{'identical to' if stripped == tarnwick.remove_manifest(model) else 'DIFFERS from'} "
              f"the stripped original")
    return 0


if __name__ == "__main__":
    sys.exit(main())
