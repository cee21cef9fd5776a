#!/usr/bin/env python3
"""Writes the bundled example song (patches/song.mid) and the MIDI files the
render tests play (tests/midi/), as Standard MIDI Files, byte-for-byte
reproducible.

Channels 1, 2 and 3 play the synth's voices 0, 1 and 2; MIDI note n plays
note-table index n - 11, so the six notes of a key row (A4 B4 C5 D5 E5 F5) are
MIDI 69 71 72 74 76 77.

The test performance is timed so that every event falls on a whole frame at
44100 Hz: 480 pulses per quarter note at 120 bpm make 96 pulses 0.1 s (4410
frames); after the tempo change to 240 bpm, 96 pulses are 2205 frames.
tests/midi/performance.keys is the same performance as tev-render key events.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
PPQN = 480


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def track(events):
    """events: (pulse, bytes) in any order; stable by pulse. Ends the track."""
    data, now = b"", 0
    for pulse, msg in sorted(events, key=lambda e: e[0]):
        data += vlq(pulse - now) + msg
        now = pulse
    data += vlq(0) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(data)) + data


def smf(fmt, tracks):
    return b"MThd" + struct.pack(">IHHH", 6, fmt, len(tracks), PPQN) + b"".join(tracks)


def tempo(pulse, us_per_quarter):
    return (pulse, b"\xff\x51\x03" + us_per_quarter.to_bytes(3, "big"))


def on(pulse, ch, note, vel=100):
    return (pulse, bytes([0x90 | (ch - 1), note, vel]))


def off(pulse, ch, note):
    return (pulse, bytes([0x80 | (ch - 1), note, 64]))


def cc(pulse, ch, number, value):
    return (pulse, bytes([0xB0 | (ch - 1), number, value]))


def write(rel, data):
    path = os.path.join(ROOT, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


# ---- Test performance: voice 0's six notes, then a chord over the three voices.
CHORD = 1152  # pulse of the tempo change and the chord
conductor = [tempo(0, 500000), tempo(CHORD, 250000)]
voice0 = [
    on(0, 1, 69, 127), off(96, 1, 69),                   # z
    on(192, 1, 71, 1), on(288, 1, 72),                   # x, then c legato
    off(320, 1, 71),                                     # not the note playing: nothing
    off(384, 1, 72),                                     # c released
    on(480, 1, 74), cc(528, 1, 64, 127), off(576, 1, 74),  # pedal holds v
    cc(672, 1, 64, 0),                                   # ... released here
    on(768, 1, 76), on(864, 1, 76, 0),                   # b, note-on 0 releases
    on(960, 1, 77), off(1056, 1, 77),                    # n
    on(CHORD, 1, 69),                                    # chord: z
    on(CHORD + 48, 1, 5), off(CHORD + 72, 1, 5),         # outside the note table: nothing
    off(CHORD + 288, 1, 69),
]
voice1 = [on(CHORD, 2, 69), cc(CHORD + 192, 2, 123, 0)]  # a; All Notes Off
voice2 = [on(CHORD, 3, 69), cc(CHORD + 288, 3, 120, 0),  # q; All Sound Off
          on(CHORD + 96, 4, 69), off(CHORD + 144, 4, 69)]  # channel 4 plays nothing
write("tests/midi/performance1.mid",
      smf(1, [track(conductor), track(voice0), track(voice1), track(voice2)]))
write("tests/midi/performance0.mid", smf(0, [track(conductor + voice0 + voice1 + voice2)]))

# ---- Damaged and foreign files.
good = smf(1, [track(conductor), track(voice0)])
write("tests/midi/bad/truncated.mid", good[: len(good) - 40])
write("tests/midi/bad/wrong_header.mid", b"MThd" + struct.pack(">IHHH", 6, 7, 1, PPQN) +
      good[14:])
# A track that stops without its End of Track event (libsmf would read on).
no_end = track(voice0)[:-4]
write("tests/midi/bad/no_end_of_track.mid",
      smf(1, [track(conductor), no_end[:4] + struct.pack(">I", len(no_end) - 8) + no_end[8:]]))
write("tests/midi/bad/format2.mid", b"MThd" + struct.pack(">IHHH", 6, 2, 2, PPQN) + good[14:])
write("tests/midi/bad/not_midi.mid", b"KEY1;\nVCO1;KEY1:NOTE;*NOTE=0;\n")
write("tests/midi/bad/empty.mid", b"")

# ---- The example song: a short tune on voice 0 over a bass on voice 1 and a
# sustained line on voice 2, with a ritardando (tempo changes) at the end.
Q = PPQN
song_tempo = [tempo(0, 600000), tempo(14 * Q, 700000), tempo(15 * Q, 850000)]
melody = [69, 72, 76, 74, 72, 71, 72, 74, 76, 77, 76, 74, 72, 71, 69, 69]
lead = []
for i, n in enumerate(melody):
    length = Q * 2 if i == len(melody) - 1 else Q - Q // 8
    lead += [on(i * Q, 1, n), off(i * Q + length, 1, n)]
bass = []
for bar, n in enumerate([57, 53, 55, 57]):
    bass += [on(bar * 4 * Q, 2, n), off(bar * 4 * Q + 3 * Q, 2, n)]
pad = [cc(0, 3, 64, 127)]
for bar, n in enumerate([64, 65, 67, 64]):
    pad += [on(bar * 4 * Q, 3, n), off(bar * 4 * Q + Q, 3, n)]
pad += [cc(17 * Q, 3, 64, 0)]
write("patches/song.mid", smf(1, [track(song_tempo), track(lead), track(bass), track(pad)]))

# ---- Files other players read past, each with one kind of damage around the same
# C-major scale (channel 1, running status, velocity-0 note-offs): each renders
# exactly as the clean one.
SCALE = [60, 62, 64, 65, 67, 69, 71, 72]


def scale_events(inserts=None):
    """The scale's track events; inserts[i] goes in before note i's note-on (its
    data bytes then lean on running status)."""
    data = b"\x00\xff\x51\x03" + (500000).to_bytes(3, "big")
    for i, n in enumerate(SCALE):
        data += (inserts or {}).get(i, b"")
        data += (b"\x00" if i else b"\x00\x90") + bytes([n, 100]) + vlq(96) + bytes([n, 0])
    return data


def scale_track(inserts=None, end=b"\x00\xff\x2f\x00"):
    data = scale_events(inserts) + end
    return b"MTrk" + struct.pack(">I", len(data)) + data


clean = smf(0, [scale_track()])
write("tests/midi/tolerant/scale.mid", clean)
write("tests/midi/tolerant/unknown_chunk.mid",
      clean[:14] + b"XFIH" + struct.pack(">I", 6) + b"\x00\x01\x02\x03\x04\x05" + clean[14:])
write("tests/midi/tolerant/running_after_meta.mid",
      smf(0, [scale_track({3: b"\x00\xff\x01\x04text", 6: b"\x00\xff\x06\x00"})]))
write("tests/midi/tolerant/running_after_sysex.mid",
      smf(0, [scale_track({2: b"\x00\xf0\x05\x7e\x7f\x09\x01\xf7", 5: b"\x00\xf7\x01\xf8"})]))
write("tests/midi/tolerant/trailing_byte.mid", clean + b"\x00")
write("tests/midi/tolerant/missing_last_byte.mid", clean[:-1])
# F1 with its data byte, F2 with two, F3 with one, F4 to F6 and F8 to FE alone.
system = b"\x00\xf1\x01\x00\xf2\x01\x02\x00\xf3\x01" + b"".join(
    b"\x00" + bytes([s]) for s in [0xF4, 0xF5, 0xF6] + list(range(0xF8, 0xFF)))
write("tests/midi/tolerant/system_status.mid", smf(0, [scale_track({1: system, 4: b"\x00\xf6"})]))

# ---- The pedal's edges: down at exactly 64 (63 is up), and All Notes Off / All
# Sound Off releasing a note the pedal holds; a pedal up after them releases
# nothing more. tests/cases/midi/pedal_edges_as_keys.keys is the same as keys.
pedal_edges = [
    on(0, 1, 69), cc(96, 1, 64, 64), off(192, 1, 69), cc(384, 1, 64, 63),
    cc(0, 2, 64, 127), on(0, 2, 69), off(96, 2, 69), cc(288, 2, 123, 0), cc(576, 2, 64, 0),
    cc(0, 3, 64, 127), on(0, 3, 69), off(96, 3, 69), cc(480, 3, 120, 0), cc(576, 3, 64, 0),
]
write("tests/midi/pedal_edges.mid", smf(0, [track([tempo(0, 500000)] + pedal_edges)]))
