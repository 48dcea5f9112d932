"""QR symbols checked by programs that share no code with the encoder.

Each text is drawn as SVG by qr_svg_tool (the encoder and SVG writer of the server), rendered
to PNG by rsvg-convert and read back by zbarimg; the bytes must come back exactly. The mask
choice is compared with Debian's python3-qrcode, which scores the same candidate (format,
dark-module and version areas light) with the same four rules.

QR_SVG_TOOL names the tool (set by ctest).
"""
import concurrent.futures
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = os.environ.get("QR_SVG_TOOL", "")
MAX_BYTES = 213
# Longest text per version (level M, byte mode).
CAPACITY = [14, 26, 42, 62, 84, 106, 122, 152, 180, 213]


def expected_version(length):
    return next(v for v, cap in enumerate(CAPACITY, 1) if length <= cap)


def ascii_text(rng, length):
    return bytes(rng.randrange(0x20, 0x7F) for _ in range(length))


def chinese_text(rng, length):
    """Three-byte CJK characters, topped up with ASCII to the exact length."""
    chars = [chr(rng.randrange(0x4E00, 0x9FA6)) for _ in range(length // 3)]
    chars += ["x"] * (length % 3)
    rng.shuffle(chars)
    return "".join(chars).encode("utf-8")


def random_utf8(rng, length):
    """Random code points of every encoded length (no surrogates, no NUL), exact byte length."""
    out = bytearray()
    while len(out) < length:
        room = length - len(out)
        width = rng.choice([n for n in (1, 2, 3, 4) if n <= room])
        low, high = {1: (0x01, 0x7F), 2: (0x80, 0x7FF), 3: (0x800, 0xFFFF),
                     4: (0x10000, 0x10FFFF)}[width]
        cp = rng.randrange(low, high + 1)
        if 0xD800 <= cp <= 0xDFFF:
            continue
        out += chr(cp).encode("utf-8")
    return bytes(out)


def all_texts():
    rng = random.Random(20240611)
    texts = []
    for length in range(MAX_BYTES + 1):
        for make in (ascii_text, chinese_text, random_utf8):
            texts.append(make(rng, length))
    return texts


def run_tool(text, *args):
    return subprocess.run([TOOL, *args], input=text, capture_output=True, timeout=30)


def info(text):
    """(version, size, mask, scores, matrix rows) as the encoder reports them."""
    lines = run_tool(text, "--info").stdout.decode().split("\n")
    head = [int(x) for x in lines[0].split()]
    rows = [[int(c) for c in line] for line in lines[1:1 + head[1]]]
    return head[0], head[1], head[2], head[3:11], rows


def load_reference_encoder():
    try:
        import qrcode  # noqa: F401
    except ImportError:
        # Debian's python3-qrcode is pure Python; reach it from any interpreter.
        sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import qrcode
        import qrcode.util
        return qrcode
    except ImportError:
        return None


@unittest.skipUnless(TOOL and os.path.exists(TOOL), "QR_SVG_TOOL not set")
class QrReadBackTest(unittest.TestCase):
    def setUp(self):
        for program in ("rsvg-convert", "zbarimg"):
            if not shutil.which(program):
                self.skipTest(program + " missing (Debian librsvg2-bin, zbar-tools)")

    def check_one(self, folder, index, text):
        """Returns a failure description, or None."""
        done = run_tool(text)
        if done.returncode != 0:
            return "length %d: tool failed" % len(text)
        svg = done.stdout.decode("ascii")
        width = 8 * (4 * expected_version(len(text)) + 17) + 64
        size_attrs = 'width="%d" height="%d" viewBox="0 0 %d %d"' % ((width,) * 4)
        if size_attrs not in svg.split(">", 1)[0]:
            return "length %d: expected %s in %r" % (len(text), size_attrs, svg[:200])
        svg_path = os.path.join(folder, "%d.svg" % index)
        png_path = os.path.join(folder, "%d.png" % index)
        with open(svg_path, "w", encoding="ascii") as f:
            f.write(svg)
        subprocess.run(["rsvg-convert", svg_path, "-o", png_path], check=True, timeout=30)
        # -Sbinary: the payload's bytes as they are, no charset guess, no newline added.
        read = subprocess.run(["zbarimg", "--raw", "-q", "-Sbinary", png_path],
                              capture_output=True, timeout=30)
        if read.returncode != 0 or read.stdout != text:
            return "length %d: read back %r instead of %r" % (len(text), read.stdout, text)
        return None

    def test_every_length_reads_back_exactly(self):
        texts = all_texts()
        with tempfile.TemporaryDirectory() as folder:
            with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
                failures = [f for f in pool.map(lambda it: self.check_one(folder, *it),
                                                enumerate(texts)) if f]
        self.assertEqual(failures[:5], [], "%d of %d texts failed" % (len(failures), len(texts)))

    def test_texts_too_long_for_version_10_give_no_image(self):
        self.assertNotEqual(run_tool(b"x" * (MAX_BYTES + 1)).returncode, 0)
        self.assertEqual(run_tool("二".encode() * 71).returncode, 0)  # 213 bytes


@unittest.skipUnless(TOOL and os.path.exists(TOOL), "QR_SVG_TOOL not set")
class QrMaskChoiceTest(unittest.TestCase):
    """python3-qrcode scores candidates built exactly like ours (makeImpl with test=True
    leaves format, dark module and version modules light), so with the version forced to
    ours its eight scores, its chosen mask and its finished symbol must all equal ours."""

    def setUp(self):
        self.qrcode = load_reference_encoder()
        if self.qrcode is None:
            self.skipTest("python3-qrcode missing")

    def reference(self, text, version):
        qrcode = self.qrcode
        code = qrcode.QRCode(version=version, error_correction=qrcode.constants.ERROR_CORRECT_M)
        code.add_data(qrcode.util.QRData(text, mode=qrcode.util.MODE_8BIT_BYTE))
        scores = []
        for mask in range(8):
            code.makeImpl(True, mask)
            scores.append(qrcode.util.lost_point(code.modules))
        best = code.best_mask_pattern()
        code.makeImpl(False, best)
        rows = [[1 if m else 0 for m in row] for row in code.modules]
        return best, scores, rows

    def test_scores_masks_and_symbols_equal_the_reference(self):
        rng = random.Random(7)
        texts = all_texts()[::3] + [rng.choice(all_texts()) for _ in range(60)]
        texts += [b"http://192.168.1.5:8620", b"18-aaa", b""]
        mismatches = []
        for text in texts:
            version, _, mask, scores, rows = info(text)
            best, ref_scores, ref_rows = self.reference(text, version)
            if (best, ref_scores) != (mask, scores) or ref_rows != rows:
                mismatches.append((text, mask, scores, best, ref_scores, ref_rows == rows))
        self.assertEqual(mismatches[:3], [], "%d of %d differ" % (len(mismatches), len(texts)))


if __name__ == "__main__":
    unittest.main()
