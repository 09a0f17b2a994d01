#!/usr/bin/env python3
"""Plays converted songs through a real software synthesiser: fluidsynth renders
each MIDI file to a WAV file with a General MIDI soundfont, and the rendering must

  - succeed: exit status 0, nothing on fluidsynth's error output (it exits 0 on
    many broken files and only says so there), a readable WAV file;
  - sound: not silent;
  - last as long as the song: the sounding part of the rendering ends within one
    second of the song's end, worked out here from the MIDI file's own tempo events
    and last event tick.

    render_check.py --karvo2 P --karvo P --fluidsynth F --soundfont SF2
                    --example MDX --work DIR CASE

CASE is a song: "demo" (the example), "demo_kit" (the example's drums through the
SoundFont made of its own sample file: every drum note must start a hit), "demo_options" (the example with -pcm,
-loop 2 and -title: the sample drums on MIDI channel 10 must sound on their own,
and every track must be longer by exactly its loop, as the example is written: 9
bars of 192 ticks), or a hostile input generated here that still converts: "repeat_bomb" (cut off at the element limit), "glide_bomb" (cut off at
the chunk limit), "jump_loop" (a repeat end that jumps back to its own start).
Both programs convert it and must write the same MIDI file. CASE "self_test" breaks
copies of the example's MIDI file and requires every check to catch its fault.

Nothing here uses the converter's code: the MIDI file is read by the strict reader
below, written from the Standard MIDI File rules.
"""
import argparse
import array
import math
import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import wave

DEFAULT_TEMPO = 500000          # microseconds per quarter note until a tempo event
LENGTH_TOLERANCE = 1.0          # seconds
QUIET_DB = -60.0                # below this, relative to the peak, counts as silence
SILENT_PEAK_DBFS = -40.0        # a rendering whose peak stays below this is silent
TRACK_AUDIBLE_DBFS = -60.0      # one quiet track of a song, alone, still peaks above this
BEND_RANGE = 32                 # semitones, as the converted files declare it
SAMPLE_RATE = 44100


class CheckFailed(Exception):
    """One check's finding; the message says which check and why."""


# ---------------------------------------------------------------- the MIDI reader

def read_vlq(data, pos, end):
    value = 0
    for i in range(4):
        if pos >= end:
            raise CheckFailed("midi: variable-length quantity runs past the chunk")
        b = data[pos]
        pos += 1
        value = (value << 7) | (b & 0x7F)
        if not b & 0x80:
            return value, pos
        if i == 0 and b == 0x80:
            raise CheckFailed("midi: variable-length quantity with a leading zero group")
    raise CheckFailed("midi: variable-length quantity longer than four bytes")


DATA_BYTES = {0x80: 2, 0x90: 2, 0xA0: 2, 0xB0: 2, 0xC0: 1, 0xD0: 1, 0xE0: 2}


def read_track(data, pos, end):
    """Events of one MTrk chunk as (absolute tick, event bytes with their status)."""
    events, tick, status = [], 0, None
    while pos < end:
        delta, pos = read_vlq(data, pos, end)
        tick += delta
        if pos >= end:
            raise CheckFailed("midi: event missing after its delta time")
        first = data[pos]
        if first == 0xFF:
            if pos + 2 > end:
                raise CheckFailed("midi: meta event cut short")
            length, body = read_vlq(data, pos + 2, end)
            if body + length > end:
                raise CheckFailed("midi: meta event runs past the chunk")
            event, pos = bytes(data[pos:body + length]), body + length
            status = None
        elif first in (0xF0, 0xF7):
            length, body = read_vlq(data, pos + 1, end)
            if body + length > end:
                raise CheckFailed("midi: system exclusive event runs past the chunk")
            event, pos = bytes(data[pos:body + length]), body + length
            status = None
        else:
            if first & 0x80:
                if first >= 0xF0:
                    raise CheckFailed("midi: system message 0x%02X inside a track" % first)
                status, pos = first, pos + 1
            elif status is None:
                raise CheckFailed("midi: data byte without a running status")
            n = DATA_BYTES[status & 0xF0]
            if pos + n > end or any(b & 0x80 for b in data[pos:pos + n]):
                raise CheckFailed("midi: channel message with bad or missing data bytes")
            event, pos = bytes([status]) + bytes(data[pos:pos + n]), pos + n
        events.append((tick, event))
        if event[:2] == b"\xff\x2f":
            if event != b"\xff\x2f\x00" or pos != end:
                raise CheckFailed("midi: end of track is not the chunk's last event")
            return events
    raise CheckFailed("midi: track without an end-of-track event")


def read_midi(data):
    """(ticks per quarter note, tracks): every track a list of (tick, event bytes)."""
    if len(data) < 14 or data[:4] != b"MThd" or struct.unpack(">I", data[4:8])[0] != 6:
        raise CheckFailed("midi: no MThd chunk of 6 bytes")
    fmt, ntracks, division = struct.unpack(">HHH", data[8:14])
    if fmt not in (0, 1) or ntracks == 0 or (fmt == 0 and ntracks != 1):
        raise CheckFailed("midi: format %d with %d tracks" % (fmt, ntracks))
    if division & 0x8000 or division == 0:
        raise CheckFailed("midi: division is not in ticks per quarter note")
    pos, tracks = 14, []
    for _ in range(ntracks):
        if pos + 8 > len(data) or data[pos:pos + 4] != b"MTrk":
            raise CheckFailed("midi: MTrk chunk %d missing" % len(tracks))
        length = struct.unpack(">I", data[pos + 4:pos + 8])[0]
        if pos + 8 + length > len(data):
            raise CheckFailed("midi: MTrk chunk %d runs past the file" % len(tracks))
        tracks.append(read_track(data, pos + 8, pos + 8 + length))
        pos += 8 + length
    if pos != len(data):
        raise CheckFailed("midi: %d bytes after the last chunk" % (len(data) - pos))
    return division, tracks


def write_midi(division, tracks):
    """The inverse of read_midi, without running status; for the broken copies."""
    out = bytearray(b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), division))
    for events in tracks:
        chunk, last = bytearray(), 0
        for tick, event in events:
            delta, groups = tick - last, []
            last = tick
            while True:
                groups.append(delta & 0x7F)
                delta >>= 7
                if not delta:
                    break
            chunk += bytes(g | (0x80 if i else 0) for i, g in reversed(list(enumerate(groups))))
            chunk += event
        out += b"MTrk" + struct.pack(">I", len(chunk)) + chunk
    return bytes(out)


def tempo_events(tracks):
    """(tick, microseconds per quarter note), in order. In a format 1 file a tempo
    event in any track sets the tempo for all."""
    return sorted((tick, int.from_bytes(event[3:6], "big"))
                  for events in tracks for tick, event in events
                  if event[:2] == b"\xff\x51" and len(event) == 6)


def song_seconds(division, tracks):
    """Seconds from the first tick to the last event, through every tempo change."""
    end = max(events[-1][0] for events in tracks)
    tempos = tempo_events(tracks)
    seconds, tick, tempo = 0.0, 0, DEFAULT_TEMPO
    for at, value in tempos:
        if at >= end:
            break
        seconds += (at - tick) * tempo / division / 1e6
        tick, tempo = at, value
    return seconds + (end - tick) * tempo / division / 1e6


def seconds_at(division, tracks, tick):
    """The time of tick, through every tempo change before it."""
    seconds, at_tick, tempo = 0.0, 0, DEFAULT_TEMPO
    for at, value in tempo_events(tracks):
        if at >= tick:
            break
        seconds += (at - at_tick) * tempo / division / 1e6
        at_tick, tempo = at, value
    return seconds + (tick - at_tick) * tempo / division / 1e6


def sounding_notes(tracks):
    return sum(1 for events in tracks for _, e in events if e[0] & 0xF0 == 0x90 and e[2] > 0)


# ------------------------------------------------------------ fluidsynth and audio

def render(args, midi_path, wav_path, song):
    """Renders with fluidsynth; raises when it fails or complains. A player that
    never finds the end of a song renders on for ever: the render has a time limit,
    and no file it writes may grow far past what a song of `song` seconds and a
    minute more needs. (The limit leaves room for the 64 MiB shared memory file
    that the sound server's client library sets up, even for a render to a file.)"""
    if os.path.exists(wav_path):
        os.remove(wav_path)
    limit = int((song + 60) * SAMPLE_RATE * 4) + (256 << 20)

    def limit_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    # Reverb and chorus are off: their tails are not part of the song.
    cmd = [args.fluidsynth, "-n", "-i", "-q", "-R", "0", "-C", "0", "-r", str(SAMPLE_RATE),
           "-T", "wav", "-O", "s16", "-F", wav_path, args.soundfont, midi_path]
    with tempfile.TemporaryFile() as err:
        try:
            proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                  preexec_fn=limit_files, timeout=120)
        except subprocess.TimeoutExpired as e:
            raise CheckFailed("render: fluidsynth still running after 120 s") from e
        err.seek(0)
        complaints = err.read(4096).decode("latin-1").strip()
    if proc.returncode == -signal.SIGXFSZ:
        raise CheckFailed("render: fluidsynth wrote more than %d bytes and was stopped" % limit)
    if proc.returncode != 0:
        raise CheckFailed("render: fluidsynth exited %d: %s" % (proc.returncode, complaints))
    if complaints:
        raise CheckFailed("render: fluidsynth reported: %s" % complaints)
    try:
        with wave.open(wav_path, "rb") as w:
            if w.getsampwidth() != 2 or w.getframerate() != SAMPLE_RATE:
                raise CheckFailed("render: unexpected WAV format")
            channels = w.getnchannels()
            samples = array.array("h", w.readframes(w.getnframes()))
    except (OSError, EOFError, wave.Error) as e:
        raise CheckFailed("render: no readable WAV file: %s" % e) from e
    finally:
        if os.path.exists(wav_path):
            os.remove(wav_path)
    if sys.byteorder == "big":
        samples.byteswap()
    return samples, channels


def measure(samples, channels):
    """(whole length, peak in dBFS, RMS in dBFS, end of the sounding part) in seconds.
    fluidsynth renders on until every voice has died away and a grace period more,
    so the file itself is longer than the song: what counts is where the sound
    ends, the last sample above QUIET_DB relative to the peak."""
    frames = len(samples) // channels
    length = frames / SAMPLE_RATE
    if not samples:
        return length, float("-inf"), float("-inf"), 0.0
    peak = max(max(samples), -min(samples))
    if peak == 0:
        return length, float("-inf"), float("-inf"), 0.0
    rms = (sum(s * s for s in samples) / len(samples)) ** 0.5
    threshold = peak * 10 ** (QUIET_DB / 20)
    last = len(samples) - 1
    while abs(samples[last]) <= threshold:
        last -= 1
    return length, dbfs(peak), dbfs(rms), (last // channels + 1) / SAMPLE_RATE


def dbfs(value):
    return 20 * math.log10(value / 32768) if value > 0 else float("-inf")


def check_midi_file(args, midi_path, label):
    """Every check on one MIDI file, after a line with the numbers they judge."""
    with open(midi_path, "rb") as f:
        division, tracks = read_midi(f.read())
    song = song_seconds(division, tracks)
    samples, channels = render(args, midi_path, midi_path + ".wav", song)
    length, peak_db, rms_db, sound_end = measure(samples, channels)
    print("%-13s notes %6d  song %7.3f s  rendering %7.3f s, sound ends %7.3f s, "
          "peak %6.1f dBFS, RMS %6.1f dBFS" % (label, sounding_notes(tracks), song, length,
                                               sound_end, peak_db, rms_db))
    if peak_db < SILENT_PEAK_DBFS:
        raise CheckFailed("silence: peak %.1f dBFS is below %.1f dBFS" % (peak_db, SILENT_PEAK_DBFS))
    if abs(sound_end - song) > LENGTH_TOLERANCE:
        raise CheckFailed("length: the sound ends at %.3f s, the song at %.3f s" % (sound_end, song))


# ---------------------------------------------------------------- the songs

HEAD = b"players\r\n\x1a\x00"


def mdx(tracks):
    """Data area: voice offset, track offsets, tracks; no voice records."""
    table = 2 + 2 * len(tracks)
    offsets, pos = [], table
    for t in tracks:
        offsets.append(pos)
        pos += len(t)
    return HEAD + b"".join(v.to_bytes(2, "big") for v in [pos] + offsets) + b"".join(tracks)


def note(key, ticks):
    return bytes([key + 125, ticks - 1])


def back(length):
    """Repeat-end operand: a jump back over `length` bytes counted from behind it."""
    return ((-length) & 0xFFFF).to_bytes(2, "big")


def nest(body, levels):
    """body inside `levels` repeats of 255 passes: 255^levels passes."""
    for _ in range(levels):
        body = b"\xf6\xff\x00" + body + b"\xf5" + back(len(body) + 3)
    return body


ARPEGGIO = note(60, 12) + note(64, 12) + note(67, 12) + note(72, 12)
TEMPO_240 = b"\xff\xf0"        # (256 - 240) * 256 us = 4.096 ms per tick
VOICE_1 = b"\xfd\x01\xfb\x0f\xfc\x03"   # voice 1, loudest volume step, centre


def repeat_bomb():
    # The arpeggio with 16,000 commands that do nothing, repeated 255^7 times: the
    # track is cut at a million elements, some 62 passes (12 s) in.
    return mdx([TEMPO_240 + VOICE_1 + nest(ARPEGGIO + b"\xe0" * 16000, 7) + b"\xf1"])


def glide_bomb():
    # Two notes gliding up and down a major third, with a pitch bend on each of
    # their ticks, repeated 255^7 times at the fastest tempo (0.256 ms per tick):
    # the track is cut at 1 MiB of MIDI data, some 510 passes (67 s) in.
    up, down = (4 * 128).to_bytes(2, "big"), ((-4 * 128) & 0xFFFF).to_bytes(2, "big")
    glides = b"\xf2" + up + note(60, 256) + b"\xf2" + down + note(64, 256)
    return mdx([b"\xff\xff" + VOICE_1 + nest(glides, 7) + b"\xf1"])


def jump_loop():
    # A repeat of 255 whose end jumps back to the repeat start instead of behind it:
    # every pass opens one more level, until an eighth does not fit and ends the
    # track after seven passes. Track 1 then plays a plain melody.
    loop = b"\xf6\xff\x00" + ARPEGGIO
    loop += b"\xf5" + back(len(loop) + 3)
    melody = b"".join(note(k, 48) for k in (69, 72, 76, 74, 72, 71, 69, 64))
    return mdx([TEMPO_240 + VOICE_1 + loop + b"\xf1", b"\xfd\x02\xfb\x0c" + melody + b"\xf1"])


HOSTILE = {
    "repeat_bomb": (repeat_bomb, "KARVO:track 0 runs away; converted up to that point."),
    "glide_bomb": (glide_bomb, "KARVO:track 0 runs away; converted up to that point."),
    "jump_loop": (jump_loop, None),
}


def convert(args, name, mdx_path, expect_message, options=()):
    """Converts with both programs; returns the MIDI file's path."""
    outputs = []
    for prog in (args.karvo2, args.karvo):
        midi = os.path.join(args.work, "%s.%s.mid" % (name, os.path.basename(prog)))
        voices = os.path.join(args.work, "%s.%s.voices" % (name, os.path.basename(prog)))
        proc = subprocess.run([prog, mdx_path, *options, "-midi", midi, "-o", voices],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        if proc.returncode != 0:
            raise CheckFailed("convert: %s exited %d" % (prog, proc.returncode))
        stderr = proc.stderr.decode("latin-1")
        if expect_message is not None and expect_message not in stderr.splitlines():
            raise CheckFailed("convert: %s did not print %r" % (prog, expect_message))
        with open(midi, "rb") as f:
            outputs.append(f.read())
    if outputs[0] != outputs[1]:
        raise CheckFailed("convert: the two programs wrote different MIDI files")
    return os.path.join(args.work, "%s.KARVO2.mid" % name)


# ------------------------------------------------------------ the options

DEMO_LOOP_TICKS = 9 * 192       # every track of the example loops over its nine bars
PCM_CHANNEL = 9                 # MIDI channel 10, counted from 0
FIRST_PCM_TRACK = 8


def demo_options(args):
    """The example with every option: the whole song must render, its sample drums
    alone too, on channel 10, and the second pass of each loop must add exactly the
    loop's ticks to its track."""
    once = convert(args, "demo_pcm", args.example, None, ("-pcm",))
    twice = convert(args, "demo_options", args.example, None, ("-pcm", "-loop", "2", "-title"))
    check_midi_file(args, twice, "demo_options")
    with open(once, "rb") as f:
        _, once_tracks = read_midi(f.read())
    with open(twice, "rb") as f:
        division, tracks = read_midi(f.read())
    if len(tracks) != len(once_tracks) or len(tracks) <= FIRST_PCM_TRACK:
        raise CheckFailed("options: %d and %d tracks" % (len(once_tracks), len(tracks)))
    for t, (a, b) in enumerate(zip(once_tracks, tracks)):
        if b[-1][0] - a[-1][0] != DEMO_LOOP_TICKS:
            raise CheckFailed("loop: track %d ends at tick %d once and %d twice, not %d later"
                              % (t, a[-1][0], b[-1][0], DEMO_LOOP_TICKS))
    if not tracks[0] or tracks[0][0][1][:2] != b"\xff\x03":
        raise CheckFailed("title: the first track does not begin with a sequence name")
    drums = tracks[FIRST_PCM_TRACK]
    channels = {e[0] & 0x0F for _, e in drums if 0x80 <= e[0] < 0xF0}
    if channels != {PCM_CHANNEL}:
        raise CheckFailed("drums: the PCM track plays on channels %s" % sorted(channels))
    # The drums alone, with the song's tempo: they must sound.
    tempo = [(tick, event) for events in tracks for tick, event in events if event[:2] == b"\xff\x51"]
    alone = os.path.join(args.work, "demo_drums.mid")
    with open(alone, "wb") as f:
        f.write(write_midi(division, [sorted(tempo) + [(max(t for t, _ in tempo), b"\xff\x2f\x00")], drums]))
    check_midi_file(args, alone, "drums alone")
    print("%-13s every track %d ticks longer with -loop 2; the drums on channel %d"
          % ("loops", DEMO_LOOP_TICKS, PCM_CHANNEL + 1))


def demo_kit(args):
    """The example's drums through the SoundFont the programs make of its sample file:
    fluidsynth loads it without a word, the drums sound, and every drum note sounds
    where the MIDI file puts it."""
    kit = os.path.join(args.work, "demo.sf2")
    midi = convert(args, "demo_kit", args.example, None, ("-pcm", "-sf2", kit))
    with open(midi, "rb") as f:
        division, tracks = read_midi(f.read())
    drums = tracks[FIRST_PCM_TRACK]
    tempo = [(tick, event) for events in tracks for tick, event in events if event[:2] == b"\xff\x51"]
    alone = os.path.join(args.work, "demo_kit_drums.mid")
    with open(alone, "wb") as f:
        f.write(write_midi(division, [sorted(tempo) + [(max(t for t, _ in tempo), b"\xff\x2f\x00")], drums]))
    own = argparse.Namespace(**vars(args))
    own.soundfont = kit
    check_midi_file(own, alone, "drums in kit")
    # Each note-on starts a hit: around it (fluidsynth's player starts events up to
    # some milliseconds early) the sound rises far above what it was just before.
    samples, channels = render(own, alone, alone + ".wav", song_seconds(division, tracks))
    mono = [max(abs(samples[i]), abs(samples[i + channels - 1])) for i in range(0, len(samples), channels)]

    def level(start, end):
        a, b = (max(0, min(len(mono), int(x * SAMPLE_RATE))) for x in (start, end))
        return max(mono[a:b], default=0)

    starts = [seconds_at(division, [drums, tempo], tick)
              for tick, event in drums if event[0] & 0xF0 == 0x90 and event[2] > 0]
    missed = [t for t in starts if level(t - 0.012, t + 0.010) < 4 * max(level(t - 0.040, t - 0.015), 64)]
    if not starts or missed:
        raise CheckFailed("kit: %d of %d drum notes start no hit, the first at %.3f s"
                          % (len(missed), len(starts), missed[0] if missed else 0.0))
    print("%-13s %d drum notes, each a hit where it stands" % ("kit", len(starts)))


def alone_with_tempo(args, name, division, tracks, keep):
    """A MIDI file of the tempo events and the track keep alone."""
    tempo = [(tick, event) for events in tracks for tick, event in events if event[:2] == b"\xff\x51"]
    path = os.path.join(args.work, name)
    end = max([t for t, _ in tempo] + [tracks[keep][-1][0]])
    with open(path, "wb") as f:
        f.write(write_midi(division, [sorted(tempo) + [(end, b"\xff\x2f\x00")], tracks[keep]]))
    return path


def pitch(mono, start, end):
    """The fundamental of a steady stretch in Hz: the lag of the autocorrelation's
    highest peak between 200 Hz and 5 kHz, refined between its neighbours."""
    a, b = (int(x * SAMPLE_RATE) for x in (start, end))
    x = mono[a:b]
    mean = sum(x) / len(x)
    x = [v - mean for v in x]

    def corr(lag):
        return sum(x[i] * x[i + lag] for i in range(len(x) - lag))

    lags = range(SAMPLE_RATE // 5000, SAMPLE_RATE // 200)
    values = {lag: corr(lag) for lag in lags}
    top = max(values.values())
    # The first peak that comes near the highest: the period, not a multiple of it.
    best = next(lag for lag in lags[1:-1] if values[lag] >= 0.85 * top
                and values[lag] >= values[lag - 1] and values[lag] >= values[lag + 1])
    l, c, r = corr(best - 1), values[best], corr(best + 1)
    shift = 0.5 * (l - r) / (l - 2 * c + r) if l - 2 * c + r != 0 else 0.0
    return SAMPLE_RATE / (best + shift)


def demo_voices(args):
    """The example through its own soundfont, FM voices and drums: fluidsynth plays it
    without a word; every FM track sounds on its own; a note after a legato pair
    sounds; and a glide reaches the note it leads to, at the song's full bend."""
    sounds = os.path.join(args.work, "demo_voices.sf2")
    midi = convert(args, "demo_voices", args.example, None, ("-pcm", "-sf2", sounds))
    own = argparse.Namespace(**vars(args))
    own.soundfont = sounds
    check_midi_file(own, midi, "own sounds")
    # The voices alone, the song away from its sample file: still not a word.
    alone = os.path.join(args.work, "alone", "demo.mdx")
    os.makedirs(os.path.dirname(alone), exist_ok=True)
    with open(args.example, "rb") as src, open(alone, "wb") as dst:
        dst.write(src.read())
    voices_only = os.path.join(args.work, "voices_only.sf2")
    fm_midi = convert(args, "voices_only", alone, "KARVO:PCM file demo.pdx not found.", ("-sf2", voices_only))
    fm = argparse.Namespace(**vars(args))
    fm.soundfont = voices_only
    check_midi_file(fm, fm_midi, "voices only")
    with open(midi, "rb") as f:
        division, tracks = read_midi(f.read())
    for t in range(FIRST_PCM_TRACK):
        if sounding_notes([tracks[t]]) == 0:
            continue
        path = alone_with_tempo(args, "demo_voices_%d.mid" % t, division, tracks, t)
        samples, channels = render(own, path, path + ".wav", song_seconds(division, tracks))
        _, peak_db, _, _ = measure(samples, channels)
        if peak_db < TRACK_AUDIBLE_DBFS:
            raise CheckFailed("voices: track %d alone peaks at %.1f dBFS" % (t, peak_db))

    def mono_of(t):
        path = alone_with_tempo(args, "demo_voices_%d.mid" % t, division, tracks, t)
        samples, channels = render(own, path, path + ".wav", song_seconds(division, tracks))
        return [samples[i] + samples[i + channels - 1] for i in range(0, len(samples), channels)]

    def at(t, tick):
        return seconds_at(division, tracks, tick)

    # A legato pair: a note-on, then on the same tick the note before it ends.
    events = tracks[0]
    legato = [(tick, events[i][1][1]) for i, (tick, event) in enumerate(events[:-1])
              if event[0] & 0xF0 == 0x90 and event[2] > 0 and events[i + 1][0] == tick
              and events[i + 1][1][0] & 0xF0 == 0x80 and events[i + 1][1][1] != event[1]]
    if not legato:
        raise CheckFailed("legato: the example's first track has no legato pair")
    mono = mono_of(0)
    for tick, key in legato:
        t = at(0, tick)
        a, b = int((t + 0.05) * SAMPLE_RATE), int((t + 0.15) * SAMPLE_RATE)
        level = max(abs(v) for v in mono[a:b])
        if dbfs(level) < TRACK_AUDIBLE_DBFS:
            raise CheckFailed("legato: the note on key %d at %.2f s peaks at %.1f dBFS" % (key, t, dbfs(level)))

    # The glide: its bends climb over the note; the pitch must climb twice as far as
    # they say under the file's bend range, the song's own distance.
    glides = tracks[6]
    ons = [(tick, e[1]) for tick, e in glides if e[0] & 0xF0 == 0x90 and e[2] > 0]
    bends = [(tick, (e[1] | e[2] << 7) - 8192) for tick, e in glides if e[0] & 0xF0 == 0xE0]
    first, second = next((a, b) for a, b in zip(ons, ons[1:]) if any(a[0] < t < b[0] for t, _ in bends))
    mono = mono_of(6)

    def bend_at(seconds):
        return next((value for tick, value in reversed(bends) if at(6, tick) <= seconds), 0)

    windows = [(at(6, first[0]) + 0.010, at(6, first[0]) + 0.040),
               (at(6, second[0]) - 0.040, at(6, second[0]) - 0.010)]
    start, end = (pitch(mono, a, b) for a, b in windows)
    middles = [(a + b) / 2 for a, b in windows]
    song_cents = 2 * 100 * BEND_RANGE * (bend_at(middles[1]) - bend_at(middles[0])) / 8192
    cents = 1200 * math.log2(end / start)
    print("%-13s legato notes sound; the glide on key %d climbs %.0f cents (%.1f to %.1f Hz), "
          "the song's %.0f" % ("voices", first[1], cents, start, end, song_cents))
    # The glide climbs some 20 cents a tick and the player's clock is not the file's to
    # the millisecond; half the bend would fall some 450 cents short.
    if abs(cents - song_cents) > 100:
        raise CheckFailed("glide: it climbs %.0f cents, the song %.0f" % (cents, song_cents))


# A voice for the timing case: C2 alone at full level, no decay, the fastest release.
ORGAN = bytes([1, 0x07, 0x08]) + bytes([0x01] * 4) + bytes([127, 127, 127, 0]) + bytes([0x1F] * 4) \
    + bytes(4) + bytes(4) + bytes([0x0F] * 4)
STACCATO_NOTES = 8


def timing(args):
    """Staccato and vibrato through the song's own soundfont: with -gate each note of
    a q2 passage falls silent in its second half, where without it the note holds;
    with -lfo a square vibrato of half a semitone swings the long note's pitch, which
    without it stays put."""
    gate_q2 = b"\xf8\x02" + note(69, 24) * STACCATO_NOTES
    vibrato = b"\xf8\x08\xec\x01\x00\x08\x20\x00" + note(69, 192)   # square, T 8, A 1/2 semitone
    track = b"\xff\xc8" + VOICE_1 + gate_q2 + vibrato + b"\xf1\x00"
    song = mdx([track]) + ORGAN
    path = os.path.join(args.work, "timing.mdx")
    with open(path, "wb") as f:
        f.write(song)
    results = {}
    for name, options in (("plain", ()), ("timed", ("-gate", "-lfo"))):
        sounds = os.path.join(args.work, "timing.%s.sf2" % name)
        midi = convert(args, "timing_" + name, path, None, options + ("-sf2", sounds))
        own = argparse.Namespace(**vars(args))
        own.soundfont = sounds
        with open(midi, "rb") as f:
            division, tracks = read_midi(f.read())
        samples, channels = render(own, midi, midi + ".wav", song_seconds(division, tracks))
        mono = [samples[i] + samples[i + channels - 1] for i in range(0, len(samples), channels)]
        ons = [seconds_at(division, tracks, tick) for tick, e in tracks[0] if e[0] & 0xF0 == 0x90 and e[2] > 0]

        def level(a, b):
            return dbfs(max(1, max(abs(v) for v in mono[int(a * SAMPLE_RATE):int(b * SAMPLE_RATE)])))
        span = ons[1] - ons[0]
        drops = [level(t + 0.05 * span, t + 0.2 * span) - level(t + 0.6 * span, t + 0.95 * span)
                 for t in ons[:STACCATO_NOTES]]
        long = ons[STACCATO_NOTES]
        pitches = [pitch(mono, long + 0.1 + k * 0.03, long + 0.125 + k * 0.03) for k in range(30)]
        swing = 1200 * math.log2(max(pitches) / min(pitches))
        results[name] = (min(drops), swing)
        print("%-13s staccato notes fall by %.0f dB at least in their second half; the long note "
              "swings %.0f cents" % (name, min(drops), swing))
    if results["timed"][0] < 20 or results["plain"][0] > 6:
        raise CheckFailed("gate: the q2 notes fall by %.0f dB with -gate and %.0f without"
                          % (results["timed"][0], results["plain"][0]))
    if not 70 < results["timed"][1] < 130 or results["plain"][1] > 10:
        raise CheckFailed("vibrato: the note swings %.0f cents with -lfo and %.0f without"
                          % (results["timed"][1], results["plain"][1]))


# -------------------------------------------------------------- broken copies

def self_test(args):
    """Each check must catch the fault it is there for, in a copy of the example's
    MIDI file broken just so."""
    midi_path = convert(args, "demo", args.example, None)
    with open(midi_path, "rb") as f:
        good = f.read()
    division, tracks = read_midi(good)

    results = []

    def expect(label, check, data, prefix):
        path = os.path.join(args.work, "broken.%s.mid" % label.replace("/", "."))
        with open(path, "wb") as f:
            f.write(data)
        try:
            check(path)
        except CheckFailed as e:
            caught = str(e).startswith(prefix)
            print("%-13s %s: %s" % (label, "caught" if caught else "caught by the wrong check", e))
            results.append(caught)
            return
        print("%-13s NOT caught" % label)
        results.append(False)

    def read(path):
        with open(path, "rb") as f:
            read_midi(f.read())

    # The broken copies go through the same writer, so they differ from the good
    # file only by their fault.
    print("%-13s %s" % ("rewritten", "same bytes" if write_midi(division, tracks) == good else "DIFFERENT"))
    results.append(write_midi(division, tracks) == good)
    # Cut in the middle of a track: fluidsynth still exits 0, and says so only on
    # its error output; the reader refuses it too.
    cut = good[:len(good) // 2]
    expect("cut/render", lambda p: render(args, p, p + ".wav", 60), cut, "render:")
    expect("cut/reader", read, cut, "midi:")
    # Every note-on at velocity 0, which is a note-off: a well-formed, silent song.
    muted = [[(t, e[:2] + b"\x00" if e[0] & 0xF0 == 0x90 else e) for t, e in events] for events in tracks]
    expect("muted", lambda p: check_midi_file(args, p, "muted"), write_midi(division, muted), "silence:")
    # Five silent seconds before one track's end: the song outlasts its sound.
    closing_tempo = ([DEFAULT_TEMPO] + [v for _, v in tempo_events(tracks)])[-1]
    tail = round(5 * division * 1e6 / closing_tempo)
    longer = [list(events) for events in tracks]
    longer[1][-1] = (longer[1][-1][0] + tail, longer[1][-1][1])
    expect("longer", lambda p: check_midi_file(args, p, "longer"), write_midi(division, longer), "length:")
    return results


def main():
    parser = argparse.ArgumentParser()
    for opt in ("--karvo2", "--karvo", "--fluidsynth", "--soundfont", "--example", "--work"):
        parser.add_argument(opt, required=True)
    parser.add_argument("case", choices=["demo", "demo_options", "demo_kit", "demo_voices", "timing", "self_test"]
                        + sorted(HOSTILE))
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    try:
        if args.case == "self_test":
            results = self_test(args)
            print("%d passed, %d failed" % (results.count(True), results.count(False)))
            return 0 if all(results) else 1
        if args.case == "demo_options":
            demo_options(args)
            return 0
        if args.case == "demo_kit":
            demo_kit(args)
            return 0
        if args.case == "demo_voices":
            demo_voices(args)
            return 0
        if args.case == "timing":
            timing(args)
            return 0
        if args.case == "demo":
            midi = convert(args, "demo", args.example, None)
        else:
            make, message = HOSTILE[args.case]
            mdx_path = os.path.join(args.work, args.case + ".mdx")
            with open(mdx_path, "wb") as f:
                f.write(make())
            midi = convert(args, args.case, mdx_path, message)
        check_midi_file(args, midi, args.case)
    except CheckFailed as e:
        print("FAIL: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
