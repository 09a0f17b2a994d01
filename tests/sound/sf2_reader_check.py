#!/usr/bin/env python3
"""Real readers of the soundfont that sf2_fixtures writes with our SoundFont writer.

    sf2_reader_check.py --fixtures P --work DIR fluidsynth --fluidsynth F
    sf2_reader_check.py --fixtures P --work DIR instpatch --dump P
    sf2_reader_check.py --work DIR instpatch --dump P --soundfont F --expected E

fluidsynth: loads the soundfont and plays one note at a time from a MIDI file written
here; it must say nothing on either output, and each rendering must sound at the pitch
that the sample's rate, root key and pitch correction and the zone's generators give,
measured from the rendering's zero crossings. The pitch-wheel cases set a bend range of
32 semitones and bend up by 1/32 of the wheel's travel: one semitone with the default
modulator, two where an instrument's own at twice the amount replaces it, and two where
a preset's own at the same amount adds to it.

instpatch: libinstpatch reads every sample (its points too) and every zone, and what it
lists must be what sf2_fixtures described, line for line. Given a soundfont and a listing
instead (the example's drum kit), it must list that; the software field is left out of
the comparison, because libinstpatch fills it with its own name and version.
"""
import argparse
import array
import math
import os
import re
import struct
import subprocess
import sys
import wave

RATE = 44100
SILENT_PEAK_DBFS = -40.0
TOLERANCE_CENTS = 3.0
BEND_UP_ONE_32ND = 8192 + 8192 // 32


class CheckFailed(Exception):
    pass


def midi_file(events):
    """A format-0 MIDI file, 480 ticks a quarter note at 120 bpm: 960 ticks a second.
    events: (tick, bytes) in order."""
    body, last = bytearray(), 0
    for tick, data in events + [(events[-1][0], b"\xff\x2f\x00")]:
        delta, groups = tick - last, []
        last = tick
        groups.append(delta & 0x7F)
        while delta > 0x7F:
            delta >>= 7
            groups.append(0x80 | (delta & 0x7F))
        body += bytes(reversed(groups)) + data
    return (b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480) +
            b"MTrk" + struct.pack(">I", len(body)) + bytes(body))


def note(channel, program, key, bend_range=None, bend=None):
    """One second of key, after the program, bend range and bend are set. Channel 10
    (9 here) plays bank 128, the others bank 0."""
    ev = [(0, bytes([0xC0 | channel, program]))]
    if bend_range is not None:    # RPN 0: pitch-bend sensitivity in semitones and cents
        ev += [(0, bytes([0xB0 | channel, 101, 0])), (0, bytes([0xB0 | channel, 100, 0])),
               (0, bytes([0xB0 | channel, 6, bend_range])), (0, bytes([0xB0 | channel, 38, 0]))]
    if bend is not None:
        ev.append((0, bytes([0xE0 | channel, bend & 0x7F, bend >> 7])))
    ev += [(0, bytes([0x90 | channel, key, 100])), (960, bytes([0x80 | channel, key, 0]))]
    return midi_file(ev)


def semitones(n, cents=0.0):
    return 440.0 * 2 ** ((n * 100 + cents) / 1200)


# name, MIDI file, expected pitch in Hz
CASES = [
    ("root key", note(0, 0, 69), semitones(0)),
    ("an octave up", note(0, 0, 81), semitones(12)),
    ("62,500 Hz sample", note(0, 1, 69), semitones(0)),
    # overridingRootKey 57 puts key 69 an octave up; the preset's coarseTune adds 7
    ("overridingRootKey and coarseTune", note(0, 2, 69), semitones(19)),
    # fluidsynth scales the bend range over 128 steps, not 127: 12,700 cents x 32/128 x 1/32
    # = 99.2 cents, so these come out a cent or two low
    ("default pitch wheel", note(0, 4, 69, 32, BEND_UP_ONE_32ND), semitones(1)),
    ("pitch wheel at twice the amount", note(0, 3, 69, 32, BEND_UP_ONE_32ND), semitones(2)),
    ("pitch wheel added in the preset", note(0, 5, 69, 32, BEND_UP_ONE_32ND), semitones(2)),
    ("15,625 Hz drum at its root key, -30 cents", note(9, 0, 36), semitones(0, -30)),
    ("drum key 38 on the 44,100 Hz sample", note(9, 0, 38), semitones(-31)),
]


def run(cmd):
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")


def render(fluidsynth, sf2, midi_path, wav_path):
    cmd = [fluidsynth, "-n", "-i", "-q", "-R", "0", "-C", "0", "-r", str(RATE),
           "-T", "wav", "-O", "s16", "-F", wav_path, sf2, midi_path]
    code, out, err = run(cmd)
    said = (out + err).strip()
    if code != 0 or said:
        raise CheckFailed("fluidsynth exited %d and said: %s" % (code, said or "nothing"))
    with wave.open(wav_path, "rb") as w:
        channels = w.getnchannels()
        samples = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder == "big":
        samples.byteswap()
    return [sum(samples[i:i + channels]) for i in range(0, len(samples), channels)]


def pitch(mono, start, end):
    """Hz from the rising zero crossings between two times, each placed by linear
    interpolation; a pure tone's crossings are a period apart."""
    crossings = []
    for i in range(int(start * RATE), int(end * RATE)):
        a, b = mono[i], mono[i + 1]
        if a < 0 <= b:
            crossings.append(i + a / (a - b))
    if len(crossings) < 10:
        raise CheckFailed("no tone: %d rising zero crossings" % len(crossings))
    return (len(crossings) - 1) * RATE / (crossings[-1] - crossings[0])


def check_fluidsynth(args):
    sf2 = os.path.join(args.work, "tones.sf2")
    failures = 0
    for name, midi, expected in CASES:
        midi_path = os.path.join(args.work, "note.mid")
        wav_path = os.path.join(args.work, "note.wav")
        with open(midi_path, "wb") as f:
            f.write(midi)
        try:
            mono = render(args.fluidsynth, sf2, midi_path, wav_path)
            peak = max(abs(x) for x in mono)
            level = 20 * math.log10(peak / 32768) if peak else float("-inf")
            if level < SILENT_PEAK_DBFS:
                raise CheckFailed("silent: peak %.1f dBFS" % level)
            hz = pitch(mono, 0.3, 0.9)
            cents = 1200 * math.log2(hz / expected)
            print("%-42s %8.2f Hz, expected %8.2f (%+.2f cents), peak %.1f dBFS"
                  % (name, hz, expected, cents, level))
            if abs(cents) > TOLERANCE_CENTS:
                raise CheckFailed("pitch off by %+.1f cents" % cents)
        except CheckFailed as e:
            print("FAIL %s: %s" % (name, e))
            failures += 1
    return failures


def without_software(lines):
    return [re.sub(r' software="[^"]*"', "", line) if line.startswith("info ") else line
            for line in lines]


def check_instpatch(args):
    soundfont = args.soundfont or os.path.join(args.work, "tones.sf2")
    code, out, err = run([args.dump, soundfont])
    if code != 0 or err.strip():
        print("FAIL libinstpatch exited %d and said: %s" % (code, err.strip()))
        return 1
    with open(args.expected or os.path.join(args.work, "tones.expected"), encoding="utf-8") as f:
        expected = f.read().splitlines()
    got = out.splitlines()
    if args.soundfont:
        expected, got = without_software(expected), without_software(got)
    print(out, end="")
    failures = 0
    for i in range(max(len(expected), len(got))):
        e = expected[i] if i < len(expected) else "(nothing)"
        g = got[i] if i < len(got) else "(nothing)"
        if e != g:
            print("FAIL line %d\n  expected: %s\n  read:     %s" % (i + 1, e, g))
            failures += 1
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fixtures")
    parser.add_argument("--work", required=True)
    sub = parser.add_subparsers(dest="reader", required=True)
    sub.add_parser("fluidsynth").add_argument("--fluidsynth", required=True)
    instpatch = sub.add_parser("instpatch")
    instpatch.add_argument("--dump", required=True)
    instpatch.add_argument("--soundfont")
    instpatch.add_argument("--expected")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    if not getattr(args, "soundfont", None):
        if not args.fixtures:
            parser.error("--fixtures is needed unless a soundfont is given")
        code, out, err = run([args.fixtures, args.work])
        if code != 0:
            print("FAIL sf2_fixtures exited %d: %s" % (code, (out + err).strip()))
            return 1
    failures = check_fluidsynth(args) if args.reader == "fluidsynth" else check_instpatch(args)
    print("%s: %d failed" % (args.reader, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
