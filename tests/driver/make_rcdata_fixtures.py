#!/usr/bin/env python3
"""Writes the RT_RCDATA 1 forms the configuration tests wrap into installers."""
import os
import sys

FORMS = {
    "empty": b"",
    "odd": "1.2".encode("utf-16-le") + b"\0",          # 7 bytes
    "no_final_zero": "1\0x".encode("utf-16-le"),       # a zero inside, none at the end
    "inner_zero": "1.2\0x\0".encode("utf-16-le"),      # text before the first zero counts
    "single_zero": b"\0\0",                            # an empty version, not none
}

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for name, data in FORMS.items():
    with open(os.path.join(out, name + ".bin"), "wb") as f:
        f.write(data)
