#!/usr/bin/env python3
"""Renderings drawn as frequency over time, one above the other, as a small PNG.

    sound_picture.py OUT.png LABEL=A.wav [LABEL=B.wav ...]

Each WAV file (16-bit PCM) becomes a strip: time to the right (the first 20 seconds),
frequency upwards on a logarithmic scale from 50 Hz to 11 kHz, level in grey from
-80 dB (black) to the loudest (white), in 16 shades. The label is drawn above its
strip. Needs python3-numpy; the PNG is written with zlib alone."""
import struct
import sys
import wave
import zlib

import numpy as np

WIDTH, HEIGHT, SECONDS, RATE = 560, 120, 20.0, 22050
LOW, HIGH, RANGE_DB = 50.0, 11000.0, 80.0
# A 3x5 pixel font for the labels: each glyph is five rows of three bits.
GLYPHS = {
    "A": "010101111101101", "B": "110101110101110", "C": "011100100100011", "D": "110101101101110",
    "E": "111100110100111", "F": "111100110100100", "G": "011100101101011", "H": "101101111101101",
    "I": "111010010010111", "K": "101101110101101", "L": "100100100100111", "M": "101111111101101",
    "N": "110101101101101", "O": "010101101101010", "P": "110101110100100", "R": "110101110101101",
    "S": "011100010001110", "T": "111010010010010", "U": "101101101101111", "V": "101101101101010",
    "W": "101101111111101", "X": "101101010101101", "Y": "101101010010010", "0": "111101101101111",
    "1": "010110010010111", "2": "110001010100111", "6": "011100111101111", "9": "111101111001110",
    ".": "000000000000010", "-": "000000111000000", " ": "000000000000000", ":": "000010000010000",
}


def load(path):
    with wave.open(path, "rb") as w:
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
        data = data.reshape(-1, w.getnchannels()).mean(axis=1)
        rate = w.getframerate()
    # To RATE by linear interpolation: enough for a picture.
    t = np.arange(0, min(len(data) / rate, SECONDS), 1.0 / RATE)
    return np.interp(t * rate, np.arange(len(data)), data)


def strip(samples):
    """HEIGHT x WIDTH levels from 0 to 1."""
    hop = int(SECONDS * RATE / WIDTH)
    window = np.hanning(2048)
    padded = np.concatenate([samples, np.zeros(int(SECONDS * RATE) + 2048 - len(samples))])
    frames = np.stack([padded[i * hop:i * hop + 2048] * window for i in range(WIDTH)])
    power = np.abs(np.fft.rfft(frames, axis=1)) ** 2
    freqs = np.fft.rfftfreq(2048, 1.0 / RATE)
    rows = np.geomspace(HIGH, LOW, HEIGHT)   # top row highest
    db = 10 * np.log10(np.stack([np.interp(rows, freqs, p) for p in power], axis=1) + 1e-12)
    return np.clip((db - (db.max() - RANGE_DB)) / RANGE_DB, 0.0, 1.0)


def label(text, width):
    """A 14-pixel-high row of white text on black, two pixels per font dot."""
    out = np.zeros((14, width))
    x = 2
    for ch in text.upper():
        glyph = GLYPHS.get(ch, GLYPHS[" "])
        for r in range(5):
            for c in range(3):
                if glyph[r * 3 + c] == "1":
                    out[2 + 2 * r:4 + 2 * r, x + 2 * c:x + 2 * c + 2] = 1.0
        x += 8
    return out


def png(path, image):
    """A greyscale PNG of 16 shades, two pixels a byte."""
    shades = np.rint(image * 15).astype(np.uint8)
    if shades.shape[1] % 2:
        shades = np.pad(shades, ((0, 0), (0, 1)))
    packed = (shades[:, 0::2] << 4) | shades[:, 1::2]
    raw = b"".join(b"\x00" + row.tobytes() for row in packed)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    head = struct.pack(">IIBBBBB", image.shape[1], image.shape[0], 4, 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(raw, 9))
                + chunk(b"IEND", b""))


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    parts = []
    for arg in sys.argv[2:]:
        name, _, path = arg.partition("=")
        parts += [label(name, WIDTH), strip(load(path))]
    png(sys.argv[1], np.concatenate(parts))


if __name__ == "__main__":
    main()
