#!/usr/bin/env python3
"""Synthesizes the drum samples the bundled patches play, into patches/.

The files are canonical 16-bit mono PCM WAV files at 44100 Hz with the plain
44-byte header: the sampler copies the bytes after offset 44 as they are, so no
other chunk may come before "data".

A sampler that is retriggered while it still plays keeps playing and misses the
hit, and it plays twice its length (the data, then as much silence), so a hit
must last less than half a sequencer step: kick.wav fits a step of 1/4 s,
hat.wav a step of 1/8 s.

Output is byte-for-byte reproducible: the noise comes from a fixed integer
generator, not from the random module.
"""
import math
import os
import struct
import wave

RATE = 44100
PEAK = 26000  # leaves headroom: a full-scale hit through a one-input mixer is +-10000


def write_wav(path, values):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", v) for v in values))


def to_int16(signal):
    top = max(abs(x) for x in signal) or 1.0
    return [int(round(x / top * PEAK)) for x in signal]


def kick(seconds=0.1):
    """A sine whose pitch falls from 160 Hz to 45 Hz, with a fast exponential decay."""
    n = int(RATE * seconds)
    out = []
    phase = 0.0
    for i in range(n):
        t = i / RATE
        freq = 45.0 + 115.0 * math.exp(-t * 35.0)
        amp = math.exp(-t * 30.0)
        # The last 5 ms fade to zero so the cut at the end does not click.
        fade = min(1.0, (n - i) / (0.005 * RATE))
        out.append(math.sin(2.0 * math.pi * phase) * amp * fade)
        phase += freq / RATE
    return to_int16(out)


def hat(seconds=0.05):
    """White noise through a first-order high-pass, with a very fast decay."""
    n = int(RATE * seconds)
    state = 12345
    out = []
    prev_in = 0.0
    prev_out = 0.0
    for i in range(n):
        # 32-bit linear congruential generator: same bytes on every machine.
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        x = state / 2147483648.0 - 1.0
        y = 0.85 * (prev_out + x - prev_in)
        prev_in, prev_out = x, y
        t = i / RATE
        fade = min(1.0, (n - i) / (0.003 * RATE))
        out.append(y * math.exp(-t * 90.0) * fade)
    out[0] = 0.0  # the sampler plays index 0 on the evaluation that ends a run
    return to_int16(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    dest = os.path.join(here, "..", "patches")
    os.makedirs(dest, exist_ok=True)
    write_wav(os.path.join(dest, "kick.wav"), kick())
    write_wav(os.path.join(dest, "hat.wav"), hat())


if __name__ == "__main__":
    main()
