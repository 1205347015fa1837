#!/usr/bin/env python3
"""Writes the seed corpus of audiofile_fuzzer: tiny WAV files of the formats the channels play
(8 and 16 bit, mono and stereo) and of the ones the reader must report truthfully (24 bit in the
extensible header, float), a few dozen frames each. The files are committed; run this only to
make them anew:  Lib/dsmix/fuzz/make_seeds.py"""

import math
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus" / "audiofile_fuzzer"

PCM, FLOAT, EXTENSIBLE = 1, 3, 0xFFFE
# The sub-format GUID of integer PCM behind the extensible header.
PCM_GUID = struct.pack("<IHH", 1, 0, 0x10) + bytes([0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71])


def chunk(tag, body):
    pad = b"\0" if len(body) % 2 else b""
    return tag + struct.pack("<I", len(body)) + body + pad


def samples(frames, channels, rate):
    for f in range(frames):
        for c in range(channels):
            yield 0.6 * math.sin(2 * math.pi * 440 * (c + 1) * f / rate)


def encode(values, bits, kind):
    if kind == FLOAT:
        return b"".join(struct.pack("<f", v) for v in values)
    if bits == 8:
        return bytes(int(round(128 + 127 * v)) for v in values)
    scale = (1 << (bits - 1)) - 1
    width = bits // 8
    return b"".join(int(round(scale * v)).to_bytes(width, "little", signed=True) for v in values)


def wav(rate, channels, bits, frames, kind=PCM, extra=b"", fact=False):
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", kind, channels, rate, rate * block, block, bits)
    if kind == EXTENSIBLE:
        fmt += struct.pack("<HHI", 22, bits, (1 << channels) - 1) + PCM_GUID
    elif kind != PCM:
        fmt += struct.pack("<H", 0)
    data = encode(samples(frames, channels, rate), bits, FLOAT if kind == FLOAT else PCM)
    body = b"WAVE" + chunk(b"fmt ", fmt)
    if fact:
        body += chunk(b"fact", struct.pack("<I", frames))
    body += extra + chunk(b"data", data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


SEEDS = {
    "mono8.wav": wav(8000, 1, 8, 40),
    "stereo8.wav": wav(11025, 2, 8, 30),
    "mono16.wav": wav(22050, 1, 16, 40),
    "stereo16.wav": wav(44100, 2, 16, 32),
    # A chunk of odd length before the data: the reader must skip it with its pad byte.
    "stereo16-list.wav": wav(22050, 2, 16, 24, extra=chunk(b"LIST", b"INFOINAM\x05\0\0\0Klang")),
    "mono24-extensible.wav": wav(16000, 1, 24, 20, kind=EXTENSIBLE),
    "mono-float.wav": wav(8000, 1, 32, 20, kind=FLOAT, fact=True),
}


if __name__ == "__main__":
    CORPUS.mkdir(parents=True, exist_ok=True)
    for name, content in SEEDS.items():
        (CORPUS / name).write_bytes(content)
