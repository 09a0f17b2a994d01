// The generated songs the benchmarks measure, shared by karvo_bench and make_song so
// that the converter core and the whole process are timed on the same bytes.
//
//   longSong()   eight tracks of 700 notes each, a phrase played eight times
//                through nested repeats with glides on one note in four: a stress
//                of the track loop, about 19 KB of tracks and 1.6 MB of MIDI.
//   realSong()   a song of the size and density of a real one: 59.5 KB, eight
//                tracks of equal length with 12,600 notes written and 17,300
//                played, glides, repeats (some nested, some with a second ending),
//                4,200 voice selects played, the tempo, volume, pan, LFO and
//                register commands of a real song, and a voice area of 32
//                records; 187 KB of MIDI.
//   lfoBomb()    long notes under software LFOs that change every tick, repeated
//                far past the runaway guards.
//
// Both are deterministic: a fixed seed and fixed patterns, so every run measures the
// same song.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "mdx_image.h"   // IMAGE_SIZE

namespace karvo::song {

using Bytes = std::vector<uint8_t>;

inline void be16(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// Small deterministic generator.
class Lcg {
public:
    uint32_t next(uint32_t bound) {
        m_state = m_state * 1664525u + 1013904223u;
        return (m_state >> 8) % bound;
    }

    int pick(int bound) { return static_cast<int>(next(static_cast<uint32_t>(bound))); }

    // True about once in n calls.
    bool oneIn(int n) { return n > 0 && pick(n) == 0; }

private:
    uint32_t m_state = 2024;
};

// One MDX track being written: notes, rests and repeats with their jump offsets.
class TrackWriter {
public:
    Bytes data;

    void cmd(std::initializer_list<uint8_t> bytes) { data.insert(data.end(), bytes); }

    // key is a MIDI key; ticks 1 to 256.
    void note(int key, int ticks) {
        data.push_back(static_cast<uint8_t>(key + 125));
        data.push_back(static_cast<uint8_t>(ticks - 1));
    }

    void rest(int ticks) { data.push_back(static_cast<uint8_t>(ticks - 1)); }

    // A glide of `semitones` over a note of `ticks`, with the bend range of 32
    // semitones the converter sets: 256 steps of 1/128 per semitone.
    void glide(int semitones, int ticks) {
        const int step = semitones * 256 * 128 / ticks;
        data.push_back(0xF2);
        be16(data, static_cast<uint32_t>(step) & 0xFFFF);
    }

    void repeatStart(int count) {
        cmd({0xF6, static_cast<uint8_t>(count), 0x00});
        m_open.push_back({data.size(), 0});
    }

    // Leaves the repeat on its last pass, jumping behind the repeat end.
    void escape() {
        cmd({0xF4, 0x00, 0x00});
        m_open.back().escapeOperand = data.size() - 2;
    }

    void repeatEnd() {
        const Open open = m_open.back();
        m_open.pop_back();
        cmd({0xF5, 0x00, 0x00});
        const size_t here = data.size();
        patch(here - 2, static_cast<uint32_t>(open.body) - static_cast<uint32_t>(here));
        if (open.escapeOperand != 0) {
            // The escape's offset counts to the repeat end's operand.
            patch(open.escapeOperand, static_cast<uint32_t>(here - 2 - (open.escapeOperand + 2)));
        }
    }

private:
    struct Open {
        size_t body;
        size_t escapeOperand;
    };

    void patch(size_t at, uint32_t v) {
        data[at] = static_cast<uint8_t>(v >> 8);
        data[at + 1] = static_cast<uint8_t>(v);
    }

    std::vector<Open> m_open;
};

inline Bytes mdxFile(const std::vector<Bytes>& tracks, const Bytes& voices) {
    Bytes out = {'b', 'e', 'n', 'c', 'h', 0x0D, 0x0A, 0x1A, 0x00};
    const size_t table = 2 + 2 * tracks.size();
    size_t offset = table;
    Bytes offsets;
    Bytes body;
    for (const Bytes& t : tracks) {
        be16(offsets, static_cast<uint32_t>(offset));
        body.insert(body.end(), t.begin(), t.end());
        offset += t.size();
    }
    if (offset + voices.size() > IMAGE_SIZE) {
        throw std::length_error("generated song does not fit the data image");
    }
    be16(out, static_cast<uint32_t>(offset));
    out.insert(out.end(), offsets.begin(), offsets.end());
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), voices.begin(), voices.end());
    return out;
}

// `count` 27-byte voice records numbered from 1: the number, FL and CON, the slot
// mask, and 24 operator bytes.
inline Bytes voiceArea(int count, Lcg& rng) {
    Bytes voices;
    for (int v = 1; v <= count; ++v) {
        voices.push_back(static_cast<uint8_t>(v));
        voices.push_back(static_cast<uint8_t>((v % 8) << 3 | (v % 8)));   // FL, CON
        voices.push_back(0x0F);
        for (int k = 0; k < 24; ++k) {
            voices.push_back(static_cast<uint8_t>(rng.next(256)));
        }
    }
    return voices;
}

constexpr int SCALE[] = {57, 59, 60, 62, 64, 65, 67, 69, 71, 72, 74, 76};   // A minor

// A phrase of `notes` notes over A minor, with a glide on about one note in four
// and a tie on one in ten, inside a repeat of two passes, nested in a repeat of
// four passes whose escape skips the last bar on the fourth.
inline Bytes longTrack(int t, int notes, Lcg& rng) {
    TrackWriter w;
    if (t == 0) {
        w.cmd({0xFF, 200});   // tempo
    }
    w.cmd({0xFD, static_cast<uint8_t>(t + 1), 0xFB, 12, 0xFC, 3});
    w.cmd({0xEA, 0x02, 0xC0, 0x30, 0x10, 0x31});   // LFO with PMS and AMS
    if (t == 1) {
        w.cmd({0xF3, 0x00, 0x08});   // detune
    }
    w.repeatStart(4);
    w.repeatStart(2);
    for (int i = 0; i < notes; ++i) {
        const int key = SCALE[rng.next(12)] - 12 * (t % 3);
        const int ticks = 6 * static_cast<int>(1 + rng.next(8));   // 6 to 48 ticks
        if (t == 7) {
            w.cmd({0xED, static_cast<uint8_t>(rng.next(2) ? 0x90 + rng.next(16) : 0x00)});
        }
        if (rng.next(4) == 0) {
            w.glide(static_cast<int>(rng.next(9)) - 4, ticks);
        } else if (rng.next(10) == 0) {
            w.cmd({0xF7});
        }
        w.note(key, ticks);
        if (rng.next(6) == 0) {
            w.rest(12);
        }
        if (i % 64 == 63) {
            w.cmd({0xFB, static_cast<uint8_t>(8 + rng.next(8))});
        }
    }
    w.repeatEnd();
    w.escape();
    w.note(SCALE[0], 192);
    w.repeatEnd();
    w.note(SCALE[0] - 12, 192);
    w.cmd({0xF1});
    return w.data;
}

inline Bytes longSong() {
    Lcg rng;
    std::vector<Bytes> tracks;
    for (int t = 0; t < 8; ++t) {
        tracks.push_back(longTrack(t, 700, rng));
    }
    return mdxFile(tracks, voiceArea(8, rng));
}

// How one track of the real-size song plays: its register, its note lengths (in
// sixths of a 48-tick quarter note), how often it glides, ties, rests, shapes its
// volume, writes a chip register directly and selects a voice, and the voices it
// selects from.
struct TrackStyle {
    int octave;      // semitones added to the scale
    int minSixths;   // note lengths of 6 * [minSixths, maxSixths] ticks
    int maxSixths;
    int glideOneIn;   // 0: never
    int tieOneIn;
    int restOneIn;
    int volumeOneIn;     // a volume step before the note
    int registerOneIn;   // a direct register write before the note
    int voiceOneIn;      // a voice select before the note, besides one per section
    int firstVoice;
    int voices;
};

// Eight tracks as a band plays them: lead, detuned counter line, bass, three chord
// tracks played as arpeggios, a gliding synth line and drums on the noise channel,
// which select a voice for almost every hit as rhythm tracks do.
constexpr TrackStyle REAL_STYLES[8] = {
    {0, 1, 6, 10, 10, 6, 8, 0, 0, 1, 3},     // lead
    {-12, 2, 6, 0, 8, 5, 8, 6, 0, 4, 2},     // counter line
    {-24, 1, 4, 0, 0, 4, 8, 8, 0, 6, 2},     // bass
    {-12, 1, 3, 0, 0, 12, 8, 5, 24, 8, 3},   // arpeggios
    {-12, 1, 3, 0, 0, 12, 8, 5, 24, 8, 3}, {0, 1, 3, 0, 0, 12, 8, 5, 24, 8, 3},
    {0, 1, 3, 12, 6, 8, 8, 0, 0, 11, 3},    // glide synth
    {-24, 1, 2, 0, 0, 4, 0, 2, 3, 14, 4},   // drums
};

// What a real song writes around its notes besides pitch and length, one in how many
// notes: commands the converter reads over (gate time, key-on delay, relative volume,
// the software LFOs switched on and off, the LFO delay), staccato written as a note
// and a rest, and a note tied to a note of the same key.
struct Articulation {
    int gateOneIn = 1;
    int keyOnDelayOneIn = 2;
    int relativeVolumeOneIn = 1;
    int pitchLfoOneIn = 2;
    int amplitudeLfoOneIn = 6;
    int lfoDelayOneIn = 2;
    int staccatoOneIn = 1;
    int sameKeyTieOneIn = 4;
};
constexpr Articulation ARTICULATION;

// Notes of one phrase, each with what real songs put before and after their notes.
// Returns the ticks the phrase lasts.
inline int realPhrase(TrackWriter& w, int t, int notes, Lcg& rng) {
    const TrackStyle& s = REAL_STYLES[t];
    const Articulation& a = ARTICULATION;
    int ticks = 0;
    for (int i = 0; i < notes; ++i) {
        const int length = 6 * (s.minSixths + rng.pick(s.maxSixths - s.minSixths + 1));
        if (rng.oneIn(s.voiceOneIn)) {
            w.cmd({0xFD, static_cast<uint8_t>(s.firstVoice + rng.pick(s.voices))});
        }
        if (rng.oneIn(s.volumeOneIn)) {
            w.cmd({0xFB, static_cast<uint8_t>(9 + rng.pick(7))});
        }
        if (rng.oneIn(s.registerOneIn)) {
            w.cmd({0xFE, static_cast<uint8_t>(0x60 + rng.pick(32)), static_cast<uint8_t>(rng.pick(128))});
        }
        if (t == 7) {
            w.cmd({0xED, static_cast<uint8_t>(rng.oneIn(2) ? 0x90 + rng.pick(16) : 0x00)});
        }
        if (rng.oneIn(a.gateOneIn)) {
            w.cmd({0xF8, static_cast<uint8_t>(4 + rng.pick(5))});
        }
        if (rng.oneIn(a.keyOnDelayOneIn)) {
            w.cmd({0xF0, static_cast<uint8_t>(rng.pick(3))});
        }
        if (rng.oneIn(a.relativeVolumeOneIn)) {
            w.cmd({static_cast<uint8_t>(rng.oneIn(2) ? 0xF9 : 0xFA)});
        }
        if (rng.oneIn(a.pitchLfoOneIn)) {
            w.cmd({0xEC, static_cast<uint8_t>(0x80 + rng.pick(2))});
        }
        if (rng.oneIn(a.amplitudeLfoOneIn)) {
            w.cmd({0xEB, static_cast<uint8_t>(0x80 + rng.pick(2))});
        }
        if (rng.oneIn(a.lfoDelayOneIn)) {
            w.cmd({0xE9, static_cast<uint8_t>(rng.pick(12))});
        }
        const int key = SCALE[rng.pick(12)] + s.octave;
        // Glides are short, as slides into a note are.
        if (length <= 18 && rng.oneIn(s.glideOneIn)) {
            w.glide(rng.pick(9) - 4, length);
        } else if (rng.oneIn(s.tieOneIn)) {
            w.cmd({0xF7});
        } else if (length >= 12 && rng.oneIn(a.sameKeyTieOneIn)) {
            w.cmd({0xF7});   // the note goes on over a second note of its key
            w.note(key, length / 2);
            ticks += length / 2;
        }
        if (length >= 12 && rng.oneIn(a.staccatoOneIn)) {
            w.note(key, length / 2);
            w.rest(length - length / 2);
        } else {
            w.note(key, length);
        }
        ticks += length;
        if (rng.oneIn(s.restOneIn)) {
            const int rest = 6 * (1 + rng.pick(2));
            w.rest(rest);
            ticks += rest;
        }
    }
    return ticks;
}

// One section: a voice select, a gate time and a phrase, played once, repeated,
// repeated with a nested repeat inside, or with a second ending. Returns the ticks
// it plays.
inline int realSection(TrackWriter& w, int t, Lcg& rng) {
    const TrackStyle& s = REAL_STYLES[t];
    w.cmd({0xFD, static_cast<uint8_t>(s.firstVoice + rng.pick(s.voices))});
    w.cmd({0xF8, static_cast<uint8_t>(5 + rng.pick(4))});   // gate time: the converter skips it
    const int notes = 8 + rng.pick(9);
    switch (rng.pick(12)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5: {
        const int passes = 2 + rng.pick(5);
        w.repeatStart(passes);
        const int ticks = realPhrase(w, t, notes, rng);
        w.repeatEnd();
        return passes * ticks;
    }
    case 6:
    case 7:
    case 8: {   // a riff repeated inside a repeated phrase
        const int passes = 2 + rng.pick(2);
        w.repeatStart(passes);
        const int head = realPhrase(w, t, notes / 2, rng);
        w.repeatStart(4);
        const int riff = realPhrase(w, t, 4, rng);
        w.repeatEnd();
        w.repeatEnd();
        return passes * (head + 4 * riff);
    }
    case 9:
    case 10: {   // first and second ending
        w.repeatStart(2);
        const int body = realPhrase(w, t, notes, rng);
        w.escape();
        const int first = realPhrase(w, t, 4, rng);
        w.repeatEnd();
        return 2 * body + first + realPhrase(w, t, 4, rng);
    }
    default: return realPhrase(w, t, notes, rng);
    }
}

// A track that plays for `songTicks` ticks or a section more.
inline Bytes realTrack(int t, int songTicks, Lcg& rng) {
    TrackWriter w;
    if (t == 0) {
        w.cmd({0xFF, 200});   // tempo
    }
    w.cmd({0xFB, 12, 0xFC, 3});
    w.cmd({0xEA, 0x02, 0xC0, 0x30, 0x10, 0x31});   // LFO with PMS and AMS
    if (t == 1) {
        w.cmd({0xF3, 0x00, 0x08});   // detune
    }
    int ticks = 0;
    for (int i = 0; ticks < songTicks; ++i) {
        if (i % 16 == 15) {
            // A new part of the song: tempo, panning and vibrato move.
            if (t == 0) {
                w.cmd({0xFF, static_cast<uint8_t>(196 + rng.pick(9))});
            }
            w.cmd({0xFC, static_cast<uint8_t>(1 + rng.pick(3))});
            w.cmd({0xEA, static_cast<uint8_t>(rng.pick(4)), static_cast<uint8_t>(0xA0 + rng.pick(32)),
                   static_cast<uint8_t>(rng.pick(64)), static_cast<uint8_t>(rng.pick(32)), 0x21});
        }
        ticks += realSection(w, t, rng);
    }
    w.note(SCALE[0] + REAL_STYLES[t].octave, 96);   // the closing note ends any tie
    w.cmd({0xF1});
    return w.data;
}

inline Bytes realSong() {
    Lcg rng;
    std::vector<Bytes> tracks;
    for (int t = 0; t < 8; ++t) {
        tracks.push_back(realTrack(t, 36'000, rng));
    }
    return mdxFile(tracks, voiceArea(32, rng));
}

// The software LFOs at their worst: on each of eight tracks, a note of the longest
// length (256 ticks) after commands that set both LFOs afresh, a sawtooth vibrato and
// a triangle tremolo that change on every tick, a gate time and a key-on delay; the
// whole inside a repeat of 255 passes, nested three deep, so that with -gate and -lfo
// every track writes a bend and an expression on every tick until the chunk limit
// stops it. Without those options it is a plain song of long notes.
inline Bytes lfoBomb() {
    std::vector<Bytes> tracks;
    for (int t = 0; t < 8; ++t) {
        TrackWriter w;
        w.repeatStart(255);
        w.repeatStart(255);
        w.repeatStart(255);
        w.cmd({0xEC, 0x00, 0x00, 0x40, 0x01, 0x00});   // sawtooth, T 64, A 256
        w.cmd({0xEB, 0x02, 0x00, 0x20, 0x01, 0x00});   // triangle, T 32, A 256
        w.cmd({0xE9, 0x00, 0xF8, 0x07, 0xF0, 0x02});
        w.note(48 + t, 256);
        w.repeatEnd();
        w.repeatEnd();
        w.repeatEnd();
        w.cmd({0xF1});
        tracks.push_back(w.data);
    }
    Lcg rng;
    return mdxFile(tracks, voiceArea(8, rng));
}

}   // namespace karvo::song
