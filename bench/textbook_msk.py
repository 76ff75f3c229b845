#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A beacon's audio written from the textbook definition of MSK (continuous-phase FSK with modulation
index 1/2), sharing nothing with the project's own modulator: the bits of a real RTCM capture from a
random place, repeated; white Gaussian noise at the Eb/N0 asked (N0 = 2 sigma^2 / fs for real
samples); 60 s, 48 kHz, 16-bit mono WAV. A check on the receiver's figures that our generator could
not fool.

    bench/textbook_msk.py RATE EBN0_DB SEED OUT.wav [--tone HZ] [--capture FILE]
"""
import argparse
import math
import random
import struct
import wave

parser = argparse.ArgumentParser()
parser.add_argument("rate", type=float)
parser.add_argument("ebn0", type=float)
parser.add_argument("seed", type=int)
parser.add_argument("out")
parser.add_argument("--tone", type=float, default=1100.0)
parser.add_argument("--capture", default="tests/data/rtcm2/naujoks-rtcm2.log")
args = parser.parse_args()

sample_rate, seconds, amplitude = 48000, 60.0, 0.25
rng = random.Random(args.seed)
# 6-of-8 bytes carry six bits each, least significant first.
stream = [b for b in open(args.capture, "rb").read() if 0x40 <= b <= 0x7F]
bits = [(b >> i) & 1 for b in stream for i in range(6)]
position = rng.randrange(len(bits))
# Eb = A^2 Tb / 2 and N0 = 2 sigma^2 / fs.
sigma = amplitude * math.sqrt(sample_rate / args.rate / (4.0 * 10 ** (args.ebn0 / 10.0)))
samples_per_bit = sample_rate / args.rate
next_bit_at = samples_per_bit
phase = 0.0
out = bytearray()
for k in range(int(seconds * sample_rate)):
    if k >= next_bit_at:
        position = (position + 1) % len(bits)
        next_bit_at += samples_per_bit
    x = amplitude * math.cos(phase) + rng.gauss(0.0, sigma)
    deviation = 0.25 * args.rate if bits[position] else -0.25 * args.rate
    phase = math.fmod(phase + 2.0 * math.pi * (args.tone + deviation) / sample_rate, 2.0 * math.pi)
    out += struct.pack("<h", max(-32768, min(32767, round(x * 32767))))
with wave.open(args.out, "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(sample_rate)
    w.writeframes(bytes(out))
