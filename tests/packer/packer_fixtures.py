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


def program(body=b"", machine=0x8664, characteristics=0x0022, magic=None, pe_offset=0x80):
    """A stand-in for a Windows program: an MZ header pointing at `pe_offset`, a PE header for
    `machine` (x64 by default; 0x14C is x86) with the optional header magic that machine needs
    (or `magic`) and `characteristics` (executable and large-address aware; 0x2000 adds DLL),
    padded to 512 bytes, then `body`. Its headers are what the checks of a setup program read;
    it is never run."""
    magic = magic if magic is not None else 0x20B if machine == 0x8664 else 0x10B
    optional = 0xF0 if magic == 0x20B else 0xE0
    head = bytearray(max(512, pe_offset + 26))
    head[0:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, pe_offset)
    head[pe_offset:pe_offset + 26] = b"PE\0\0" + struct.pack("<HHIIIHHH", machine, 0, 0, 0, 0,
                                                              optional, characteristics, magic)
    return bytes(head) + body


def make_signer(folder, name="signer", subject="/CN=Kestrel Test Signer", usage="codeSigning",
                key=("rsa:2048",)):
    """A self-signed certificate for `usage` (code signing) and its unencrypted key (RSA, or
    the `openssl req -newkey` arguments given): (cert, key) paths."""
    cert, key_path = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", *key, "-nodes", "-days", "3650",
                    "-subj", subject, "-addext", "extendedKeyUsage=" + usage,
                    "-keyout", key_path, "-out", cert],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return cert, key_path


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "product.ico"), "wb") as f:
        f.write(icon_file(PRODUCT_ICON))
    make_signer(out)


if __name__ == "__main__":
    main()


class TimeStampServer:
    """An RFC 3161 time-stamping server on the loopback address, over HTTP or HTTPS, answering
    with `openssl ts -reply`; /refuse answers 500. Use as a context manager: .url is its address,
    .tsa_cert the certificate its stamps chain to, .tls_cert the HTTPS server's own."""

    def __init__(self, folder, tls=False):
        import http.server
        import ssl
        import threading
        self.folder = folder
        self.tsa_cert, tsa_key = os.path.join(folder, "tsa.crt"), os.path.join(folder, "tsa.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Loopback TSA", "-addext",
                        "extendedKeyUsage=critical,timeStamping", "-keyout", tsa_key,
                        "-out", self.tsa_cert], check=True, stderr=subprocess.DEVNULL)
        config = os.path.join(folder, "tsa.cnf")
        with open(os.path.join(folder, "tsa.serial"), "w") as f:
            f.write("01\n")
        with open(config, "w") as f:
            f.write(f"[tsa]\ndefault_tsa = this\n[this]\nserial = {folder}/tsa.serial\n"
                    f"signer_cert = {self.tsa_cert}\ncerts = {self.tsa_cert}\n"
                    f"signer_key = {tsa_key}\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                    "digests = sha256\naccuracy = secs:1\ness_cert_id_alg = sha256\n")

        class Answer(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                if self.path == "/refuse":
                    self.send_error(500)
                    return
                done = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                       "-queryfile", "/dev/stdin", "-out", "/dev/stdout"],
                                      input=query, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(done.stdout)))
                self.end_headers()
                self.wfile.write(done.stdout)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Answer)
        self.tls_cert = None
        if tls:
            self.tls_cert, tls_key = os.path.join(folder, "tls.crt"), os.path.join(folder, "tls.key")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                            "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", tls_key, "-out", self.tls_cert], check=True,
                           stderr=subprocess.DEVNULL)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.tls_cert, tls_key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        scheme = "https" if tls else "http"
        self.url = f"{scheme}://127.0.0.1:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
