#!/usr/bin/env python3
"""Writes demo.mdx: nine bars in A minor for eight FM tracks and a sample drum part,
composed for this project, with a voice area of six voices; and demo.pdx, the PCM
sample file that the song's head names, holding the drum part's three samples (a
kick, a snare and a closed hi-hat) synthesised here and ADPCM-encoded.

    python3 examples/make_demo.py [OUTPUT]      (default: demo.mdx beside this script)

demo.pdx is written beside OUTPUT, under the name the head gives it.

Form: bars 1-3 (Am F C), first ending (G), bars 1-3 again, second ending (F G),
and a closing Am bar, written as a repeat of two passes whose escape skips the
first ending on the second pass. Tracks: 0 melody, 1 counter-melody (detuned),
2 bass, 3-5 held chords, 6 a gliding synth line, 7 drums on the noise channel,
8 the PCM track: kick, snare and hi-hat samples, numbered as the General MIDI
drum keys, which are also their numbers in demo.pdx. Every track loops: its end
command jumps back to where its nine bars begin, so the loop of every track is
9 x 192 = 1728 ticks long.
"""
import math
import pathlib
import struct
import sys

TICKS = {"w": 192, "h": 96, "q": 48, "e": 24, "s": 12}   # 48 ticks per quarter note
STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def midi_key(name):
    """'A4' is 69, 'C#5' is 73; the MDX note byte is the key plus 125."""
    key = STEPS[name[0]] + 12 * (int(name[-1]) + 1)
    return key + {"#": 1, "b": -1}.get(name[1], 0) if len(name) == 3 else key


class Track:
    def __init__(self):
        self.data = bytearray()
        self.open = []    # per open repeat: [start of its body, position of its escape's operand]
        self.loop = None  # where the loop starts again

    def loop_point(self):
        self.loop = len(self.data)

    def end(self):
        """F1, then the jump back to the loop point (be16, counted from behind it),
        or 00 for a track that does not loop."""
        self.cmd(0xF1)
        if self.loop is None:
            self.cmd(0x00, 0x00)
        else:
            self.data += be16(self.loop - (len(self.data) + 2))

    def cmd(self, *b):
        self.data += bytes(b)

    def play(self, text):
        """Notes 'A4:q', dotted 'E5:q.', ticks 'C2:6', rests 'R:h', '~' ties the note
        into the next one, '^N' glides over the note's length: N semitones in the MIDI
        file, whose bends are half the song's, and 2N in the song itself."""
        for tok in text.replace("|", " ").split():
            name, length = tok.split(":")
            tie, length = length.endswith("~"), length.rstrip("~")
            length, _, glide = length.partition("^")
            if length.isdigit():
                ticks = int(length)
            else:   # a dot adds half the length
                ticks = TICKS[length[0]] * (3 if length.endswith(".") else 2) // 2
            if name == "R":
                while ticks > 0:
                    self.cmd(min(ticks, 128) - 1)
                    ticks -= 128
                continue
            assert 1 <= ticks <= 256 and 3 <= midi_key(name) <= 98, tok
            if glide:
                # The step per tick, in 1/16384 semitone: the MIDI file bends by it / 128
                # per tick, 256 units a semitone over its range of 32 semitones.
                self.cmd(0xF2, *be16(int(glide) * 256 * 128 // ticks))
            if tie:
                self.cmd(0xF7)
            self.cmd(midi_key(name) + 125, ticks - 1)

    def repeat(self, count):
        self.cmd(0xF6, count, 0x00)
        self.open.append([len(self.data), None])

    def escape(self):
        self.cmd(0xF4, 0, 0)
        self.open[-1][1] = len(self.data) - 2

    def end_repeat(self):
        start, escape = self.open.pop()
        self.cmd(0xF5, 0, 0)
        here = len(self.data)
        self.data[here - 2:here] = be16(start - here)   # back to the body
        if escape is not None:
            # The escape counts to the repeat end's operand and lands just behind it.
            self.data[escape:escape + 2] = be16(here - 2 - (escape + 2))


def be16(v):
    return bytes([(v >> 8) & 0xFF, v & 0xFF])


def in_form(t, body, first, second, coda):
    t.repeat(2)
    body(t)
    t.escape()
    first(t)
    t.end_repeat()
    second(t)
    coda(t)


def phrase(text):
    return lambda t: t.play(text)


def melody():
    t = Track()
    t.cmd(0xFD, 1, 0xFB, 14, 0xFC, 3)         # lead voice, volume step 14, centre
    t.cmd(0xEA, 0x02, 0xC0, 0x30, 0x00, 0x30)  # triangle LFO, vibrato depth 0x30, PMS 3
    t.loop_point()
    t.cmd(0xFF, 210)                          # tempo: 46 x 256 us per tick, again on every pass
    in_form(t, phrase("A4:q C5:q E5:q. D5:e | C5:h~ C5:q R:q | E5:q G5:q E5:q C5:q"),
            phrase("D5:q. B4:e G4:q~ A4:q"),
            phrase("F5:q E5:q D5:q B4:q"),
            lambda t: (t.cmd(0xFF, 200), t.play("A4:w")))   # broaden the last bar
    return t


def counter_melody():
    t = Track()
    t.cmd(0xFD, 2, 0xFB, 11, 0xFC, 1)         # string voice, volume step 11, left
    t.cmd(0xF3, 0x00, 0x08)                   # detune against the melody
    t.cmd(0xEA, 0x00, 0xA0, 0x00, 0x10, 0x01)  # saw LFO, tremolo depth 0x10, AMS 1
    t.loop_point()
    in_form(t, phrase("E4:h C4:h | A3:h C4:h | G3:h E4:h"), phrase("D4:h B3:h"),
            phrase("C4:h D4:h"), phrase("E4:w"))
    return t


def bass():
    def half(root, octave):
        return "%s:20 R:4 %s:20 R:4 %s:20 R:4 %s:20 R:4" % (root, root, octave, root)

    def bar(root, octave):
        def play(t):
            t.repeat(2)
            t.play(half(root, octave))
            t.end_repeat()
        return play

    t = Track()
    t.cmd(0xFD, 3, 0xFB, 0x86, 0xFC, 3)       # bass voice, attenuation 6, centre
    t.loop_point()
    in_form(t, lambda t: (bar("A2", "A3")(t), bar("F2", "F3")(t), bar("C3", "C4")(t)),
            bar("G2", "G3"), phrase(half("F2", "F3") + " " + half("G2", "G3")), phrase("A2:w"))
    return t


def chord_tone(pan, volume, body, first, second, coda):
    t = Track()
    t.cmd(0xFD, 4, 0xFB, volume, 0xFC, pan)   # organ pad
    t.loop_point()
    in_form(t, phrase(body), phrase(first), phrase(second), phrase(coda))
    return t


def glide_line():
    t = Track()
    t.cmd(0xFD, 5, 0xFB, 12, 0xFC, 3)         # synth lead, volume step 12, centre
    t.loop_point()
    in_form(t, phrase("R:w | E5:q^5 A5:q R:h | R:w"), phrase("D5:q^-3 B4:q R:h"),
            phrase("R:h G4:q^2 A4:q~"), phrase("A4:w"))
    return t


def drums():
    kick, hat, snare = "K", "H", "S"
    hits = {kick: (0x00, "C2:6 R:18"),      # noise off: the tone alone
            hat: (0x9C, "C5:3 R:21"),       # noise on, high noise frequency
            snare: (0x94, "D4:10 R:14")}    # noise on, lower frequency

    def bar(pattern):
        def play(t):
            for hit in pattern.split():
                noise, notes = hits[hit]
                t.cmd(0xED, noise)
                t.play(notes)
        return play

    def beat(t):
        t.repeat(3)
        bar("K H S H K K S H")(t)
        t.end_repeat()

    t = Track()
    t.cmd(0xFD, 16, 0xFB, 13, 0xFC, 3)        # noise drum voice, volume step 13, centre
    t.loop_point()
    in_form(t, beat, bar("K H S H K K S H"), bar("K H S H S S S S"),
            lambda t: (bar("K")(t), t.cmd(0xED, 0x88), t.play("C3:h R:q.")))   # low crash
    return t


def samples():
    """The PCM track: a sample number is a note, kept under the General MIDI drum
    key of its sound (C2 kick, D2 snare, F#2 closed hi-hat). A note byte b plays
    sample b - 0x80, so these play samples 33, 35 and 39 of demo.pdx. Short sounds
    only, so that the last one has died away when the song ends."""
    kick, snare, hat, close = "C2:12 R:12", "D2:12 R:12", "F#2:6 R:18", "C2:12 R:36"

    def bar(pattern):
        return lambda t: t.play(" ".join(pattern.split()))

    one = " ".join([kick, hat, snare, hat] * 2)
    fill = " ".join([kick, hat, snare, hat, kick, snare, snare, snare])

    def beat(t):
        t.repeat(3)
        bar(one)(t)
        t.end_repeat()

    t = Track()
    t.cmd(0xFD, 0, 0xFB, 10, 0xFC, 3)         # a voice select, which a sample part ignores
    t.loop_point()
    in_form(t, beat, bar(one), bar(fill), bar(" ".join([kick, snare, kick, snare, close, close])))
    return t


# Operators in MDX order M1, M2, C1, C2; columns AR D1R D2R RR D1L TL KS MUL DT1 DT2 AMS-EN.
VOICES = [
    (1, 6, 4, [(31, 8, 0, 7, 2, 30, 0, 1, 0, 0, 0), (31, 10, 0, 7, 2, 38, 0, 2, 3, 0, 0),
               (28, 6, 2, 7, 1, 4, 1, 1, 0, 0, 0), (28, 6, 2, 7, 1, 6, 1, 1, 7, 0, 0)]),
    (2, 3, 4, [(14, 4, 0, 5, 1, 34, 0, 1, 3, 0, 0), (14, 4, 0, 5, 1, 36, 0, 1, 7, 0, 0),
               (12, 2, 1, 6, 1, 8, 0, 1, 0, 0, 1), (12, 2, 1, 6, 1, 8, 0, 1, 4, 0, 1)]),
    (3, 5, 0, [(31, 12, 0, 8, 4, 28, 0, 0, 0, 0, 0), (31, 14, 0, 8, 5, 40, 0, 1, 0, 0, 0),
               (31, 10, 2, 8, 3, 30, 0, 1, 0, 0, 0), (31, 8, 3, 9, 2, 2, 1, 1, 0, 0, 0)]),
    (4, 0, 7, [(20, 0, 0, 6, 0, 22, 0, 1, 0, 0, 0), (20, 0, 0, 6, 0, 28, 0, 2, 0, 0, 0),
               (20, 0, 0, 6, 0, 30, 0, 4, 0, 0, 0), (20, 0, 0, 6, 0, 34, 0, 8, 0, 0, 0)]),
    (5, 7, 3, [(31, 6, 0, 6, 2, 26, 0, 2, 1, 1, 0), (31, 8, 0, 6, 2, 44, 0, 3, 0, 0, 0),
               (31, 7, 0, 6, 3, 30, 0, 1, 5, 0, 0), (30, 4, 1, 7, 1, 3, 0, 1, 0, 0, 0)]),
    (16, 0, 7, [(31, 18, 0, 15, 15, 127, 0, 0, 0, 0, 0), (31, 18, 0, 15, 15, 127, 0, 0, 0, 0, 0),
                (31, 16, 0, 12, 15, 20, 0, 1, 0, 0, 0), (31, 12, 8, 10, 8, 0, 2, 1, 0, 0, 0)]),
]


def voice_record(number, fl, con, ops):
    """27 bytes: number, FL/CON, slot mask, then one group of four bytes per field pair."""
    rec = bytearray([number, fl << 3 | con, 0x0F])
    groups = [lambda o: o[8] << 4 | o[7],            # DT1, MUL
              lambda o: o[5],                        # TL
              lambda o: o[6] << 6 | o[0],            # KS, AR
              lambda o: o[10] << 7 | o[1],           # AMS-EN, D1R
              lambda o: o[9] << 6 | o[2],            # DT2, D2R
              lambda o: o[4] << 4 | o[3]]            # D1L, RR
    for pack in groups:
        rec += bytes(pack(op) for op in ops)
    return bytes(rec)


def mdx(title, pdx_name, tracks, voices):
    """Title, 0D 0A 1A, the sample file's name, 00, then the data area: voice offset,
    track offsets, the tracks, the voices."""
    table = 2 + 2 * len(tracks)
    offsets, body = [], bytearray()
    for t in tracks:
        offsets.append(table + len(body))
        body += t.data
    head = be16(table + len(body)) + b"".join(be16(o) for o in offsets)
    return (title.encode("ascii") + b"\r\n\x1a" + pdx_name.encode("ascii") + b"\x00"
            + head + bytes(body) + voices)


# ----- demo.pdx: the drum part's samples -----

PDX_NAME = "demo.pdx"
RATE = 15625                  # samples per second: the ADPCM chip's 8 MHz clock / 512
PEAK = 0.5                    # each sound is scaled to peak at half of full scale
KICK, SNARE, CLOSED_HAT = 33, 35, 39   # the General MIDI drum keys, as sample numbers

# The ADPCM chip's decoder, which the encoder follows step by step: a 12-bit signal
# and an index into 49 step sizes, STEP[i] = floor(16 * 1.1^i) (in whole numbers
# here, so exactly), both starting at 0 for every sample.
STEP = [16 * 11 ** i // 10 ** i for i in range(49)]
INDEX_ADJUST = [-1, -1, -1, -1, 2, 4, 6, 8]


def adpcm_decode_step(signal, index, nibble):
    """One nibble through the decoder: bit 3 the sign, bits 2, 1, 0 add step, step/2,
    step/4 to step/8. Returns the new signal and index."""
    step = STEP[index]
    diff = step // 8
    if nibble & 4:
        diff += step
    if nibble & 2:
        diff += step // 2
    if nibble & 1:
        diff += step // 4
    signal = max(-2048, min(2047, signal - diff if nibble & 8 else signal + diff))
    return signal, max(0, min(48, index + INDEX_ADJUST[nibble & 7]))


def adpcm_encode(sound):
    """A sound (floats, full scale 1.0) to ADPCM bytes, two nibbles a byte, low nibble
    first. At each sample the encoder runs the decoder from its current state and
    keeps the nibble that lands nearest the target."""
    if len(sound) % 2:
        sound = sound + [0.0]
    signal, index, nibbles = 0, 0, []
    for x in sound:
        target = round(x * 2048)
        nibble = min(range(16), key=lambda n: abs(adpcm_decode_step(signal, index, n)[0] - target))
        signal, index = adpcm_decode_step(signal, index, nibble)
        nibbles.append(nibble)
    return bytes(lo | hi << 4 for lo, hi in zip(nibbles[0::2], nibbles[1::2]))


def noise(seed):
    """White noise in -1..1 from a 32-bit xorshift, the same on every machine."""
    state = seed
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state / 2 ** 31 - 1.0


def scaled(sound):
    """The sound scaled to peak at PEAK."""
    top = max(abs(x) for x in sound)
    return [x * PEAK / top for x in sound]


def kick(seconds=0.25):
    """A sine whose pitch falls from 150 Hz towards 45 Hz (most of the way in the
    first 50 ms), under a 1 ms attack and a fade with a time constant of 70 ms."""
    out, phase = [], 0.0
    for n in range(int(seconds * RATE)):
        t = n / RATE
        phase += 2 * math.pi * (45 + 105 * math.exp(-t / 0.025)) / RATE
        out.append(math.sin(phase) * math.exp(-t / 0.07) * min(1.0, t / 0.001))
    return scaled(out)


def snare(seconds=0.2):
    """Noise over a tone body of 185 Hz and 330 Hz, fading with time constants of
    60 ms (the noise) and 30 ms (the body)."""
    white, out = noise(0x2545F491), []
    for n in range(int(seconds * RATE)):
        t = n / RATE
        body = 0.6 * math.sin(2 * math.pi * 185 * t) + 0.3 * math.sin(2 * math.pi * 330 * t)
        out.append(next(white) * 0.7 * math.exp(-t / 0.06) + body * math.exp(-t / 0.03))
    return scaled(out)


def closed_hat(seconds=0.06):
    """Noise through a first difference, which keeps its highs, fading with a time
    constant of 15 ms."""
    white, out, last = noise(0x1F123BB5), [], 0.0
    for n in range(int(seconds * RATE)):
        x = next(white)
        out.append((x - last) * math.exp(-n / RATE / 0.015))
        last = x
    return scaled(out)


def pdx(samples):
    """The sample file: one block of 96 records, each the be32 offset of its sample
    from the start of the file and its be32 length (0 and 0 for no sample), then
    the samples' bytes."""
    table, data = bytearray(96 * 8), bytearray()
    for number, adpcm in sorted(samples.items()):
        struct.pack_into(">II", table, number * 8, len(table) + len(data), len(adpcm))
        data += adpcm
    return bytes(table + data)


def main():
    tracks = [melody(), counter_melody(), bass(),
              chord_tone(2, 9, "A3:w~ | A3:w | G3:w~", "G3:w", "A3:h G3:h", "A3:w"),
              chord_tone(3, 0x90, "C4:w~ | C4:w~ | C4:w", "B3:w", "C4:h B3:h", "C4:w"),
              chord_tone(1, 9, "E4:w~ | F4:w | E4:w", "D4:w", "F4:h D4:h", "E4:w"),
              glide_line(), drums(), samples()]
    for t in tracks:
        t.end()
    voices = b"".join(voice_record(*v) for v in VOICES)
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("demo.mdx")
    out.write_bytes(mdx("KARVO demo: nine bars in A minor", PDX_NAME, tracks, voices))
    kit = {KICK: kick(), SNARE: snare(), CLOSED_HAT: closed_hat()}
    out.with_name(PDX_NAME).write_bytes(pdx({k: adpcm_encode(v) for k, v in kit.items()}))


if __name__ == "__main__":
    main()
