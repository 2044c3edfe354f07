#!/usr/bin/env python3
"""Inputs for the packer's tests: icon files built image by image, and a throwaway signing
certificate with its key, made with openssl. Nothing here is committed: keys are made afresh.

Usage: packer_fixtures.py OUTDIR   writes product.ico, signer.crt and signer.key there
"""
import os
import struct
import subprocess
import sys
import zlib

# (pixels, bits per pixel, "bmp" or "png") of the product icon the build-time installer carries.
PRODUCT_ICON = ((16, 32, "bmp"), (32, 32, "bmp"), (48, 8, "bmp"), (256, 32, "png"))


def _png_chunk(kind, payload):
    return struct.pack(">I", len(payload)) + kind + payload + \
        struct.pack(">I", zlib.crc32(kind + payload))


def png_image(pixels, colour=(40, 120, 200, 255)):
    rows = b"".join(b"\0" + bytes(colour) * pixels for _ in range(pixels))
    return (b"\x89PNG\r\n\x1a\n" +
            _png_chunk(b"IHDR", struct.pack(">IIBBBBB", pixels, pixels, 8, 6, 0, 0, 0)) +
            _png_chunk(b"IDAT", zlib.compress(rows)) + _png_chunk(b"IEND", b""))


def bitmap_image(pixels, bits):
    """A DIB as icons store it: the header with twice the height, a palette below 16 bits, the
    colour rows, then the one-bit mask rows, each row padded to four bytes."""
    palette_entries = 1 << bits if bits <= 8 else 0
    header = struct.pack("<IiiHHIIiiII", 40, pixels, 2 * pixels, 1, bits, 0, 0, 0, 0,
                         palette_entries, 0)
    palette = b"".join(struct.pack("<BBBB", i % 256, 64, 255 - i % 256, 0)
                       for i in range(palette_entries))
    colour_row = ((pixels * bits + 31) // 32) * 4
    mask_row = ((pixels + 31) // 32) * 4
    return header + palette + b"\x5a" * colour_row * pixels + b"\0" * mask_row * pixels


def icon_file(images, directory_bits=True):
    """An .ico file of (pixels, bits, kind[, listed]) images, the directory giving `listed`
    pixels (the image's own by default); directory_bits=False leaves the plane and bit counts of
    the directory zero, as some icon editors write them."""
    data = [png_image(p) if kind == "png" else bitmap_image(p, b) for p, b, kind, *_ in images]
    offset = 6 + 16 * len(images)
    out = struct.pack("<HHH", 0, 1, len(images))
    for (pixels, bits, _, *listed), image in zip(images, data):
        planes, count = (1, bits) if directory_bits else (0, 0)
        side = (listed or [pixels])[0] % 256
        out += struct.pack("<BBBBHHII", side, side, 16 if bits == 4 else 0, 0,
                           planes, count, len(image), offset)
        offset += len(image)
    return out + b"".join(data)


def make_signer(folder, name="signer", subject="/CN=Kestrel Test Signer"):
    """A self-signed code-signing certificate and its unencrypted RSA key: (cert, key) paths."""
    cert, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                    "-subj", subject, "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", key, "-out", cert],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return cert, key


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "product.ico"), "wb") as f:
        f.write(icon_file(PRODUCT_ICON))
    make_signer(out)


if __name__ == "__main__":
    main()
