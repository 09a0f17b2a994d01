// One MDX track into one MTrk chunk: every element, every command and its operand length.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "bank_voice_side.h"
#include "mdx_builder.h"
#include "midi_shape.h"
#include "pcm_keys.h"
#include "recording_side.h"
#include "software_lfo.h"
#include "text_voice_side.h"
#include "track_converter.h"

namespace karvo {
namespace {

using test::Bytes;

using Capture = test::Call;
using test::RecordingSide;

constexpr size_t PREAMBLE = 27;

// One conversion run: the state carried between tracks, a recording voice side, and
// the voice selects the converter reports.
struct TrackRun : TrackListener {
    // Puts the track at offset 0 of an image and converts it as track t of a run of n.
    Bytes chunk(const Bytes& track, int t = 0, int n = 1) {
        const MdxImage image(track, 0, std::vector<uint32_t>(static_cast<size_t>(t) + 1, 0));
        whole = convertTrack(ctx, image, song, side, *this, out, t, n, options).whole;
        return Bytes(out.bytes().begin(), out.bytes().end());
    }

    void voiceSelected(int voice) override { voices.push_back(voice); }

    // The events between the preamble and the end of track, once the framing is checked.
    Bytes events(const Bytes& track, int t = 0, int n = 1) {
        const Bytes c = chunk(track, t, n);
        if (const char* fault = test::trackChunkFault(c); fault != nullptr || c.size() < 8 + PREAMBLE + 4) {
            ADD_FAILURE() << "chunk of " << c.size() << " bytes: " << (fault ? fault : "no preamble");
            return {};
        }
        return Bytes(c.begin() + 8 + PREAMBLE, c.end() - 4);
    }

    RunContext ctx;
    SongState song;
    TrackOptions options;
    MidiTrack out;
    RecordingSide side;
    std::vector<int> voices;
    bool whole = false;
};

// Absolute tick and bytes of every event of a chunk.
std::vector<std::pair<uint32_t, Bytes>> timeline(const Bytes& c) {
    std::vector<std::pair<uint32_t, Bytes>> out;
    uint32_t tick = 0;
    size_t p = 8;
    while (p < c.size()) {
        uint32_t delta = 0;
        do {
            delta = delta << 7 | (c[p] & 0x7Fu);
        } while (c[p++] & 0x80);
        tick += delta;
        const uint8_t s = c[p];
        const size_t size = s == 0xFF ? 3u + c[p + 2] : (s & 0xF0) == 0xC0 ? 2u : 3u;
        out.emplace_back(tick, Bytes(c.begin() + static_cast<std::ptrdiff_t>(p),
                                     c.begin() + static_cast<std::ptrdiff_t>(p + size)));
        p += size;
    }
    return out;
}

struct Case {
    const char* name;
    Bytes track;
    Bytes events;
};

// Each case, and the same file with -gate and -lfo, which change nothing in a track
// without gate times, key-on delays and software LFOs.
void expectEvents(const std::vector<Case>& cases, int t = 0, int n = 1) {
    for (const Case& c : cases) {
        TrackRun run;
        EXPECT_EQ(run.events(c.track, t, n), c.events) << c.name;
        EXPECT_TRUE(run.whole) << c.name;
        TrackRun timed;
        timed.options.gate = true;
        timed.options.lfo = true;
        EXPECT_EQ(timed.events(c.track, t, n), c.events) << c.name << ", -gate -lfo";
    }
}

using test::repeat;

// Track 0 of 1 is the start of the whole-track example below.
TEST(ConvertTrack, WritesOnlyThePreambleForATrackOfTheEndCommand) {
    TrackRun last;
    // clang-format off
    EXPECT_EQ(last.chunk({0xF1}, 7, 8), (Bytes{
        'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x1F,
        0x39, 0xC7, 0x01,        // delta 57
        0x01, 0xB7, 0x65, 0x00,
        0x01, 0xB7, 0x64, 0x00,
        0x01, 0xB7, 0x06, 0x20,
        0x01, 0xB7, 0x0D, 0x00,
        0x01, 0xB7, 0x0C, 0x00,
        0x01, 0xE7, 0x00, 0x40,
        0x00, 0xFF, 0x2F, 0x00,
    }));
    // clang-format on
}

TEST(ConvertTrack, StartsEveryTrackOfAThreeTrackRunOnTick33) {
    for (int t = 0; t < 3; ++t) {
        TrackRun run;
        const auto events = timeline(run.chunk({0x80, 0x00, 0xF1}, t, 3));
        ASSERT_EQ(events.size(), 10u);
        EXPECT_EQ(events[0].first, 8u * static_cast<uint32_t>(t) + 1) << t;   // preamble: ticks 8t+1 to 8t+7
        EXPECT_EQ(events[6].first, 8u * static_cast<uint32_t>(t) + 7) << t;
        EXPECT_EQ(events[7].first, 33u) << t;
        EXPECT_EQ(events[7].second, (Bytes{static_cast<uint8_t>(0x90 + t), 0x03, 0x64})) << t;
    }
}

TEST(ConvertTrack, WritesTheWholeTrackExampleAs81Bytes) {
    TrackRun run;
    // clang-format off
    EXPECT_EQ(run.chunk({0xFF, 0xC8, 0xFD, 0x01, 0xFB, 0x0F, 0xFC, 0x03, 0x80, 0x17, 0x00, 0xF7, 0x82, 0x17,
                         0x84, 0x17, 0xF1}),
              (Bytes{
                  'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x49,
                  0x01, 0xC0, 0x01,
                  0x01, 0xB0, 0x65, 0x00,
                  0x01, 0xB0, 0x64, 0x00,
                  0x01, 0xB0, 0x06, 0x20,
                  0x01, 0xB0, 0x0D, 0x00,
                  0x01, 0xB0, 0x0C, 0x00,
                  0x01, 0xE0, 0x00, 0x40,
                  0x0A, 0xFF, 0x51, 0x03, 0x0A, 0x80, 0x00,  // tempo 200
                  0x00, 0xC0, 0x01,                          // voice 1
                  0x01, 0xB0, 0x07, 0x74,                    // volume 15: 116, one tick later
                  0x00, 0xB0, 0x0A, 0x40,                    // pan 3
                  0x00, 0x90, 0x03, 0x64,                    // note-on 0x80
                  0x17, 0x80, 0x03, 0x00,                    // its note-off, one tick short
                  0x01, 0x90, 0x05, 0x64,                    // after the rest, tied 0x82
                  0x18, 0x90, 0x07, 0x64,                    // legato to 0x84
                  0x00, 0x80, 0x05, 0x64,
                  0x18, 0x80, 0x07, 0x00,
                  0x00, 0xFF, 0x2F, 0x00,
              }));
    // clang-format on
    EXPECT_EQ(run.voices, std::vector<int>{1});
}

TEST(ConvertTrack, WritesNotesRestsTiesAndLegato) {
    // clang-format off
    expectEvents({
        {"note", {0x80, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,  // note-on key 3
            0x18, 0x80, 0x03, 0x00,  // note-off 24 ticks later
        }},
        {"highest note, 256 ticks", {0xDF, 0xFF, 0xF1}, {
            0x0A, 0x90, 0x62, 0x64,        // key 98
            0x82, 0x00, 0x80, 0x62, 0x00,  // delta 256
        }},
        {"rests add up", {0x00, 0x00, 0x7F, 0x80, 0x00, 0xF1}, {
            0x81, 0x0C, 0x90, 0x03, 0x64,  // 10 + 1 + 1 + 128
            0x01, 0x80, 0x03, 0x00,
        }},
        {"a closing rest is dropped", {0x80, 0x00, 0x7F, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x01, 0x80, 0x03, 0x00,
        }},
        {"tie to the same key", {0xF7, 0x80, 0x17, 0x80, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x30, 0x80, 0x03, 0x00,  // 48 ticks later
        }},
        {"tie over a rest", {0xF7, 0x80, 0x17, 0x00, 0x80, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x31, 0x80, 0x03, 0x00,
        }},
        {"legato", {0xF7, 0x80, 0x17, 0x82, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x18, 0x90, 0x05, 0x64,  // new note on first
            0x00, 0x80, 0x03, 0x64,  // then the old one off, velocity 100
            0x18, 0x80, 0x05, 0x00,
        }},
        {"a tie given twice is plain", {0xF7, 0xF7, 0x80, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x00,
        }},
        {"a tie cancelled while a note sounds", {0xF7, 0x80, 0x17, 0xF7, 0xF7, 0x82, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x64,  // the sounding note ends before the next starts
            0x00, 0x90, 0x05, 0x64,
            0x18, 0x80, 0x05, 0x00,
        }},
        {"tied note left sounding at the end", {0xF7, 0x80, 0x17, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
        }},
        {"voice select", {0xFD, 0x05, 0x80, 0x17, 0xF1}, {
            0x0A, 0xC0, 0x05,
            0x01, 0x90, 0x03, 0x64,  // one tick late
            0x17, 0x80, 0x03, 0x00,  // the note-off keeps its place
        }},
        {"voice select, rest", {0xFD, 0x05, 0x00, 0x80, 0x17, 0xF1}, {
            0x0A, 0xC0, 0x05,
            0x02, 0x90, 0x03, 0x64,
            0x17, 0x80, 0x03, 0x00,
        }},
        {"two voice selects take back one tick", {0xFD, 0x05, 0xFD, 0x06, 0x80, 0x17, 0xF1}, {
            0x0A, 0xC0, 0x05,
            0x01, 0xC0, 0x06,
            0x01, 0x90, 0x03, 0x64,
            0x17, 0x80, 0x03, 0x00,
        }},
        {"voice select before tied notes", {0xFD, 0x05, 0xF7, 0x80, 0x17, 0x80, 0x17, 0xF1}, {
            0x0A, 0xC0, 0x05,
            0x01, 0x90, 0x03, 0x64,
            0x2F, 0x80, 0x03, 0x00,  // 47: taken back at the first note end only
        }},
    });
    // clang-format on
}

TEST(ConvertTrack, GlidesOneBendPerTickAndCentresAfterwards) {
    // clang-format off
    expectEvents({
        {"step 0x0100, four ticks", {0xF2, 0x01, 0x00, 0x80, 0x03, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x00, 0xE0, 0x02, 0x40,  // 0x2002
            0x01, 0xE0, 0x04, 0x40,
            0x01, 0xE0, 0x06, 0x40,
            0x01, 0xE0, 0x08, 0x40,
            0x01, 0x80, 0x03, 0x00,
            0x00, 0xE0, 0x00, 0x40,  // centre
        }},
        {"step -256", {0xF2, 0xFF, 0x00, 0x80, 0x01, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x00, 0xE0, 0x7E, 0x3F,  // 0x1FFE
            0x01, 0xE0, 0x7C, 0x3F,  // 0x1FFC
            0x01, 0x80, 0x03, 0x00,
            0x00, 0xE0, 0x00, 0x40,
        }},
        {"detune, then a glide", {0xF3, 0x00, 0x40, 0xF2, 0x00, 0x80, 0x80, 0x00, 0xF1}, {
            0x0A, 0xE0, 0x00, 0x41,  // detune 0x2080
            0x00, 0x90, 0x03, 0x64,
            0x00, 0xE0, 0x01, 0x41,  // 0x2081
            0x01, 0x80, 0x03, 0x00,
            0x00, 0xE0, 0x00, 0x40,  // the centre drops the detune
        }},
        {"a glide goes on over a tied note of the same key", {0xF2, 0x01, 0x00, 0xF7, 0x80, 0x01, 0x80, 0x01, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x00, 0xE0, 0x02, 0x40,
            0x01, 0xE0, 0x04, 0x40,
            0x01, 0xE0, 0x06, 0x40,
            0x01, 0xE0, 0x08, 0x40,
            0x01, 0x80, 0x03, 0x00,
            0x00, 0xE0, 0x00, 0x40,
        }},
        {"legato cancels the glide", {0xF2, 0x01, 0x00, 0xF7, 0x80, 0x01, 0x82, 0x01, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x00, 0xE0, 0x02, 0x40,
            0x01, 0xE0, 0x04, 0x40,
            0x01, 0x90, 0x05, 0x64,
            0x00, 0x80, 0x03, 0x64,
            0x00, 0xE0, 0x00, 0x40,  // centre
            0x02, 0x80, 0x05, 0x00,  // no glide on the new note
        }},
        {"a glide left running at the end is not centred", {0xF2, 0x01, 0x00, 0xF7, 0x80, 0x00, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x00, 0xE0, 0x02, 0x40,
        }},
    });
    // clang-format on
}

// Step -1 over 128 ticks: the quotient stays 0 until the sum reaches -128.
TEST(ConvertTrack, TruncatesTheGlideQuotientTowardZero) {
    Bytes expected = {0x0A, 0x90, 0x03, 0x64, 0x00, 0xE0, 0x00, 0x40};
    for (int k = 1; k < 127; ++k) {
        expected.insert(expected.end(), {0x01, 0xE0, 0x00, 0x40});
    }
    // Tick 128: 0x1FFF, then the note-off and the centre.
    expected.insert(expected.end(), {0x01, 0xE0, 0x7F, 0x3F, 0x01, 0x80, 0x03, 0x00, 0x00, 0xE0, 0x00, 0x40});
    TrackRun run;
    EXPECT_EQ(run.events({0xF2, 0xFF, 0xFF, 0x80, 0x7F, 0xF1}), expected);
}

TEST(ConvertTrack, DividesTheSignedValueOfAWrappedGlideSum) {
    // Step 0x7FFF over 65,539 tied ticks: the sum passes 2^31 on the last tick.
    Bytes track = {0xF2, 0x7F, 0xFF, 0xF7, 0x80, 0xFF};
    const Bytes more = repeat(0xFF, {0xF7, 0x80, 0xFF});
    track.insert(track.end(), more.begin(), more.end());
    track.insert(track.end(), {0xF7, 0x80, 0x02, 0xF1});
    TrackRun run;
    const Bytes events = run.events(track);
    ASSERT_EQ(events.size(), 4u + 65539 * 4);
    // clang-format off
    EXPECT_EQ(Bytes(events.end() - 8, events.end()), (Bytes{
        0x01, 0xE0, 0x7F, 0x3F,  // sum 0x7FFFFFFE: 0x1FFF
        0x01, 0xE0, 0x00, 0x42,  // sum -0x7FFF8003: quotient -0xFFFF00, bend 0x2100
    }));
    // clang-format on
}

TEST(ConvertTrack, WritesTempoVolumePanAndDetune) {
    // clang-format off
    expectEvents({
        {"tempo 200", {0xFF, 0xC8, 0xF1}, {0x0A, 0xFF, 0x51, 0x03, 0x0A, 0x80, 0x00}},
        {"tempo 0", {0xFF, 0x00, 0xF1}, {0x0A, 0xFF, 0x51, 0x03, 0x30, 0x00, 0x00}},
        {"tempo 255", {0xFF, 0xFF, 0xF1}, {0x0A, 0xFF, 0x51, 0x03, 0x00, 0x30, 0x00}},
        {"pan 0", {0xFC, 0x00, 0xF1}, {0x0A, 0xB0, 0x0A, 0x40}},
        {"pan 1", {0xFC, 0x01, 0xF1}, {0x0A, 0xB0, 0x0A, 0x00}},
        {"pan 2", {0xFC, 0x02, 0xF1}, {0x0A, 0xB0, 0x0A, 0x7F}},
        {"pan 3", {0xFC, 0x03, 0xF1}, {0x0A, 0xB0, 0x0A, 0x40}},
        {"pan 4", {0xFC, 0x04, 0xF1}, {0x0A, 0xB0, 0x0A, 0x40}},
        {"detune 0x0040", {0xF3, 0x00, 0x40, 0xF1}, {0x0A, 0xE0, 0x00, 0x41}},
        {"detune 0xFFC0", {0xF3, 0xFF, 0xC0, 0xF1}, {0x0A, 0xE0, 0x00, 0x3F}},
        {"detune 0xFFFF", {0xF3, 0xFF, 0xFF, 0xF1}, {0x0A, 0xE0, 0x7E, 0x3F}},   // 0x1FFE
        {"detune 0x2000", {0xF3, 0x20, 0x00, 0xF1}, {0x0A, 0xE0, 0x00, 0x40}},   // wraps to the centre
        {"volume 16 before any", {0xFB, 0x10, 0xF1}, {0x0A, 0xB0, 0x07, 0x7F}},
        {"volume 0x40 repeats the last", {0xFB, 0x0F, 0xFB, 0x40, 0xF1}, {
            0x0A, 0xB0, 0x07, 0x74,
            0x00, 0xB0, 0x07, 0x74,
        }},
        {"volume 0x7F repeats the last", {0xFB, 0x85, 0xFB, 0x7F, 0xF1}, {
            0x0A, 0xB0, 0x07, 0x66,
            0x00, 0xB0, 0x07, 0x66,
        }},
    });
    // clang-format on
}

TEST(ConvertTrack, MapsVolumeStepsAndAttenuationsToController7) {
    // clang-format off
    const std::pair<uint8_t, uint8_t> cases[] = {
        {0, 20}, {1, 22}, {2, 25}, {3, 29}, {4, 31}, {5, 36}, {6, 41}, {7, 45},
        {8, 51}, {9, 58}, {10, 63}, {11, 72}, {12, 82}, {13, 89}, {14, 102}, {15, 116},
        {0x80, 127}, {0x81, 121}, {0x82, 116}, {0x85, 102}, {0x8A, 82}, {0x90, 63}, {0xA0, 31},
        {0xC0, 8}, {0xE0, 2}, {0xF0, 1}, {0xF1, 0}, {0xFF, 0},
    };
    // clang-format on
    for (const auto& [v, y] : cases) {
        TrackRun run;
        EXPECT_EQ(run.events({0xFB, v, 0xF1}), (Bytes{0x0A, 0xB0, 0x07, y})) << int(v);
    }
}

TEST(ConvertTrack, StartsEachTrackWithItsOwnVolumeDetuneGlideAndTie) {
    TrackRun run;
    // clang-format off
    EXPECT_EQ(run.events({0xFB, 0x0F, 0xF3, 0x00, 0x40, 0xF2, 0x01, 0x00, 0xF7, 0xF1}), (Bytes{
        0x0A, 0xB0, 0x07, 0x74,
        0x00, 0xE0, 0x00, 0x41,
    }));
    EXPECT_EQ(run.events({0xFB, 0x20, 0x80, 0x00, 0xF1}), (Bytes{
        0x0A, 0xB0, 0x07, 0x7F,  // nothing to repeat yet
        0x00, 0x90, 0x03, 0x64,  // no glide, no tie
        0x01, 0x80, 0x03, 0x00,
    }));
    // clang-format on
}

TEST(ConvertTrack, AddsTheTrackNumberToChannelStatusBytesOnly) {
    TrackRun run;
    // clang-format off
    EXPECT_EQ(run.events({0xFF, 0xC8, 0xFB, 0x0F, 0xFC, 0x01, 0xF3, 0x00, 0x40, 0xEA, 0x00, 0x10, 0x20, 0x30, 0x00,
                          0xFD, 0x02, 0x80, 0x01, 0xF1},
                         5, 8),
              (Bytes{
                  0x1A, 0xFF, 0x51, 0x03, 0x0A, 0x80, 0x00,  // tempo: a meta event
                  0x00, 0xB5, 0x07, 0x74,
                  0x00, 0xB5, 0x0A, 0x00,
                  0x00, 0xE5, 0x00, 0x41,
                  0x00, 0xB5, 0x4C, 0x08,
                  0x00, 0xB5, 0x0D, 0x20,
                  0x00, 0xB5, 0x0C, 0x30,
                  0x00, 0xC5, 0x02,
                  0x01, 0x95, 0x03, 0x64,
                  0x01, 0x85, 0x03, 0x00,
              }));
    // clang-format on
}

TEST(ConvertTrack, SelectsAVoiceModulo128AndPrintsItsNumber) {
    TrackRun run;
    // clang-format off
    EXPECT_EQ(run.events({0xFD, 0x85, 0x80, 0x00, 0xFD, 0x1A, 0xF1}), (Bytes{
        0x0A, 0xC0, 0x05,        // voice 5
        0x01, 0x90, 0x03, 0x64,  // one tick later
        0x00, 0x80, 0x03, 0x00,  // the one-tick note gives its tick back
        0x00, 0xC0, 0x1A,
    }));
    // clang-format on
    EXPECT_EQ(run.voices, (std::vector<int>{5, 0x1A}));
    EXPECT_EQ(run.song.currentVoice, 0x1A);
}

TEST(ConvertTrack, WritesTheLfoControllersAndHandsWaveformAndSensitivitiesOver) {
    TrackRun run;
    // clang-format off
    EXPECT_EQ(run.events({0xEA, 0x81, 0xEA, 0x00, 0x10, 0x20, 0x30, 0x47, 0xEA, 0x02, 0xFF, 0xFF, 0xFF, 0x05, 0xF1}),
              (Bytes{
                  0x0A, 0xB0, 0x4C, 0x08,  // LFO frequency 0x10 / 2
                  0x00, 0xB0, 0x0D, 0x20,  // PMD
                  0x00, 0xB0, 0x0C, 0x30,  // AMD
                  0x00, 0xB0, 0x4C, 0x7F,
                  0x00, 0xB0, 0x0D, 0x7F,
                  0x00, 0xB0, 0x0C, 0x7F,
              }));
    // clang-format on
    EXPECT_EQ(run.side.calls, (std::vector<Capture>{{'L', -1, 0, 3, 4}, {'L', -1, 2, 1, 0}}));
}

// Commands that write nothing, followed by a note: a wrong operand length would
// move or swallow the note.
TEST(ConvertTrack, SkipsTheOperandsOfCommandsThatWriteNothing) {
    // clang-format off
    const Bytes cases[] = {
        {0xE0}, {0xE1}, {0xE2}, {0xE3}, {0xE4}, {0xE5}, {0xE6}, {0xE8}, {0xEE}, {0xF9}, {0xFA},
        {0xE7, 0x02}, {0xE7, 0x01, 0x10},
        {0xE9, 0x10}, {0xEF, 0x10}, {0xF0, 0x10}, {0xF8, 0x10}, {0xED, 0x10},
        {0xEA, 0x80}, {0xEA, 0x81},
        {0xEB, 0x80}, {0xEB, 0x81}, {0xEB, 0x00, 0x10, 0x10, 0x10, 0x10},
        {0xEC, 0x80}, {0xEC, 0x81}, {0xEC, 0x7F, 0x10, 0x10, 0x10, 0x10},
        {0xFE, 0x10, 0x10},
        {0xF4, 0x10, 0x10}, {0xF5, 0x10, 0x10},   // no repeat open
        {0xF6, 0x01, 0x10},
    };
    // clang-format on
    for (const Bytes& command : cases) {
        Bytes track = command;
        track.insert(track.end(), {0x80, 0x00, 0xF1});
        TrackRun run;
        EXPECT_EQ(run.events(track), (Bytes{0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00}))
            << std::hex << int(command[0]) << ' ' << command.size();
        EXPECT_TRUE(run.side.calls.empty());
    }
}

// The note, bend and controller events after the preamble, one line each: "tick on key",
// "tick off key", "tick bend value", "tick cc number value", ticks from the first element.
std::vector<std::string> playedAs(const Bytes& track, const TrackOptions& options, int t = 0, int n = 1) {
    TrackRun run;
    run.options = options;
    const Bytes chunk = run.chunk(track, t, n);
    std::vector<std::string> lines;
    for (const auto& [tick, e] : timeline(chunk)) {
        const auto at = std::to_string(tick - firstElementTick(n));
        switch (e[0] & 0xF0) {
        case 0x90: lines.push_back(at + " on " + std::to_string(e[1])); break;
        case 0x80: lines.push_back(at + " off " + std::to_string(e[1])); break;
        case 0xE0:
            if (tick >= firstElementTick(n)) {
                lines.push_back(at + " bend " + std::to_string(e[1] | e[2] << 7));
            }
            break;
        case 0xB0:
            if (tick >= firstElementTick(n)) {
                lines.push_back(at + " cc " + std::to_string(e[1]) + " " + std::to_string(e[2]));
            }
            break;
        default: break;
        }
    }
    return lines;
}

TrackOptions withGate() {
    TrackOptions o;
    o.gate = true;
    return o;
}

// Notes of 24 ticks (duration byte 0x17) on key 3 (0x80) and 5 (0x82).
TEST(ConvertTrack, KeysOnAndOffWhereTheGateTimeAndTheKeyOnDelayPutThem) {
    using Lines = std::vector<std::string>;
    const struct {
        const char* name;
        Bytes track;
        Lines played;
    } cases[] = {
        {"q8, the whole note", {0xF8, 0x08, 0x80, 0x17, 0xF1}, {"0 on 3", "24 off 3"}},
        {"q1: 23 / 8 + 1", {0xF8, 0x01, 0x80, 0x17, 0xF1}, {"0 on 3", "3 off 3"}},
        {"q4", {0xF8, 0x04, 0x80, 0x17, 0xF1}, {"0 on 3", "12 off 3"}},
        {"q7", {0xF8, 0x07, 0x80, 0x17, 0xF1}, {"0 on 3", "21 off 3"}},
        {"q0: a tick", {0xF8, 0x00, 0x80, 0x17, 0xF1}, {"0 on 3", "1 off 3"}},
        {"@q2: two ticks before the end", {0xF8, 0xFE, 0x80, 0x17, 0xF1}, {"0 on 3", "22 off 3"}},
        {"@q32 on a shorter note: a tick", {0xF8, 0xE0, 0x80, 0x17, 0xF1}, {"0 on 3", "1 off 3"}},
        {"@q24 on a note of 24: a tick", {0xF8, 0xE8, 0x80, 0x17, 0xF1}, {"0 on 3", "1 off 3"}},
        {"the gate holds for the next notes",
         {0xF8, 0x04, 0x80, 0x17, 0x00, 0x82, 0x17, 0xF1},
         {"0 on 3", "12 off 3", "25 on 5", "37 off 5"}},
        {"a tied note has no key-off; the next is gated from its own start",
         {0xF8, 0x01, 0xF7, 0x80, 0x17, 0x80, 0x17, 0xF1},
         {"0 on 3", "27 off 3"}},
        {"a tie into another key: legato, then the gate",
         {0xF8, 0x01, 0xF7, 0x80, 0x17, 0x82, 0x17, 0xF1},
         {"0 on 3", "24 on 5", "24 off 3", "27 off 5"}},
        {"q16: past the note's end; the next follows legato",
         {0xF8, 0x10, 0x80, 0x17, 0x82, 0x17, 0x7F, 0xF1},
         {"0 on 3", "24 on 5", "24 off 3", "71 off 5"}},
        {"q16 into a rest: off where the gate ends",
         {0xF8, 0x10, 0x80, 0x17, 0x7F, 0xF1},
         {"0 on 3", "47 off 3"}},
        {"q16 into the same key: it goes on",
         {0xF8, 0x10, 0x80, 0x17, 0x80, 0x17, 0x7F, 0xF1},
         {"0 on 3", "71 off 3"}},
        {"key-on delay inside the gate", {0xF8, 0x04, 0xF0, 0x02, 0x80, 0x17, 0xF1}, {"2 on 3", "12 off 3"}},
        {"key-on delay longer than the gate: the key-off does nothing, the note sounds on",
         {0xF8, 0x01, 0xF0, 0x05, 0x80, 0x17, 0x82, 0x17, 0xF0, 0x00, 0x84, 0x17, 0xF1},
         {"5 on 3", "29 on 5", "29 off 3", "48 on 7", "48 off 5", "51 off 7"}},
        {"key-on delay past the note: it never sounds",
         {0xF0, 0x30, 0x80, 0x17, 0x82, 0x17, 0x7F, 0xF1},
         {"72 on 5"}},
        {"a voice select's tick: the gated key-off keeps its distance from the note-on",
         {0xFD, 0x05, 0xF8, 0x04, 0x80, 0x17, 0xF1},
         {"1 on 3", "13 off 3"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(playedAs(c.track, withGate()), c.played) << c.name;
    }
    // Without -gate the commands are read over.
    EXPECT_EQ(playedAs({0xF8, 0x01, 0xF0, 0x05, 0x80, 0x17, 0xF1}, {}), (Lines{"0 on 3", "24 off 3"}));
    // A PCM track's gate cuts its sample where the driver stops it.
    EXPECT_EQ(playedAs({0xF8, 0x02, 0x80, 0x17, 0xF1}, withGate(), 8, 9), (Lines{"0 on 3", "6 off 3"}));
}

// Controller and bend lines of a track with -lfo, the first element at tick 0.
TEST(ConvertTrack, WritesTheSoftwareLfosAsBendsAndExpressionEveryTickTheyChange) {
    using Lines = std::vector<std::string>;
    TrackOptions lfo;
    lfo.lfo = true;
    // Square, T 2, A 256/16384 semitone: 2 units; over a detune of 4 (2 x 2). At the
    // end of the rest the LFO's tick comes before the stop command on the same tick.
    EXPECT_EQ(
        playedAs({0xF3, 0x00, 0x02, 0xEC, 0x01, 0x00, 0x02, 0x01, 0x00, 0x05, 0xEC, 0x80, 0x01, 0xF1}, lfo),
        (Lines{"0 bend 8196", "0 bend 8198", "2 bend 8194", "4 bend 8198", "6 bend 8194", "6 bend 8196"}));
    // Waveform 5: square in 1/64 semitone, 2 units each; clamped at the wheel's end.
    EXPECT_EQ(playedAs({0xEC, 0x05, 0x00, 0x03, 0x10, 0x00, 0x02, 0xF1}, lfo),
              (Lines{"0 bend 16383", "3 bend 0"}));
    // Tremolo: a square of A 0x0400 from 0 every 2 ticks adds 4 steps, then back, on
    // the volume curve (attenuation 4: 106).
    EXPECT_EQ(playedAs({0xEB, 0x01, 0x00, 0x02, 0x04, 0x00, 0x05, 0xF1}, lfo),
              (Lines{"2 cc 11 106", "4 cc 11 127", "6 cc 11 106"}));
    // An LFO delay zeroes the offset at each key-on and starts the LFO again 3 ticks on.
    EXPECT_EQ(playedAs({0xE9, 0x03, 0xEC, 0x01, 0x00, 0x08, 0x01, 0x00, 0x80, 0x05, 0xF1}, lfo),
              (Lines{"0 bend 8194", "0 on 3", "0 bend 8192", "3 bend 8194", "6 off 3"}));
    // Without -lfo, or on a PCM track, the commands are read over.
    EXPECT_EQ(playedAs({0xEC, 0x01, 0x00, 0x02, 0x01, 0x00, 0x05, 0xF1}, {}), Lines{});
    EXPECT_EQ(playedAs({0xEC, 0x01, 0x00, 0x02, 0x01, 0x00, 0x80, 0x05, 0xF1}, lfo, 8, 9),
              (Lines{"0 on 3", "6 off 3"}));
}

// Each waveform tick by tick, worked out by hand from the driver's rules: the value at
// the start, then after each tick.
TEST(SoftwareLfo, FollowsEachWaveformTickByTick) {
    const auto command = [](uint8_t w, uint16_t T, int16_t A) {
        const auto a = static_cast<uint16_t>(A);
        return std::array<uint8_t, 5>{w, uint8_t(T >> 8), uint8_t(T), uint8_t(a >> 8), uint8_t(a)};
    };
    using Kind = SoftwareLfo::Kind;
    const struct {
        const char* name;
        Kind kind;
        std::array<uint8_t, 5> operands;
        std::vector<int32_t> values;   // pitch: bend units (A / 128); amplitude: attenuation
    } cases[] = {
        {"pitch sawtooth", Kind::PITCH, command(0, 4, 1280), {0, 10, -20, -10, 0, 10, -20}},
        {"pitch square", Kind::PITCH, command(1, 3, 1280), {10, 10, 10, -10, -10, -10, 10}},
        {"pitch triangle", Kind::PITCH, command(2, 4, 1280), {10, 20, 30, 20, 10, 0, -10, 0}},
        {"pitch in 1/64 semitone", Kind::PITCH, command(5, 2, 3), {6, 6, -6, -6, 6}},
        {"amplitude sawtooth", Kind::AMPLITUDE, command(0, 3, 0x100), {0, 1, 2, 0, 1, 2, 0}},
        {"amplitude sawtooth falling", Kind::AMPLITUDE, command(0, 3, -0x100), {3, 2, 1, 3, 2, 1, 3}},
        {"amplitude square", Kind::AMPLITUDE, command(1, 2, 0x200), {0, 0, 2, 2, 0, 0, 2}},
        {"amplitude triangle", Kind::AMPLITUDE, command(2, 2, 0x100), {0, 1, 2, 1, 0, 1}},
    };
    for (const auto& c : cases) {
        SoftwareLfo lfo(c.kind);
        lfo.command(c.operands.data());
        std::vector<int32_t> values;
        for (size_t i = 0; i < c.values.size(); ++i) {
            values.push_back(c.kind == Kind::PITCH ? lfo.bend() : static_cast<int32_t>(lfo.attenuation()));
            lfo.tick();
        }
        EXPECT_EQ(values, c.values) << c.name;
    }
    // Random: a new value every T ticks, within A, and not always the same.
    SoftwareLfo random(Kind::PITCH);
    random.command(command(3, 3, 12800).data());
    std::vector<int32_t> values;
    for (int i = 0; i < 60; ++i) {
        values.push_back(random.bend());
        random.tick();
        EXPECT_TRUE(i % 3 == 2 || random.bend() == values.back()) << i;
        EXPECT_LE(std::abs(random.bend()), 100);
    }
    std::sort(values.begin(), values.end());
    EXPECT_GT(std::unique(values.begin(), values.end()) - values.begin(), 10);
    // Passing over the ticks on which the output stands still gives the same output
    // where it changes, and it does not change in between.
    uint32_t seed = 11;
    const auto next = [&seed] {
        return seed = seed * 1103515245u + 12345u, static_cast<uint8_t>(seed >> 16);
    };
    for (int n = 0; n < 200; ++n) {
        const Kind kind = n % 2 == 0 ? Kind::PITCH : Kind::AMPLITUDE;
        const std::array<uint8_t, 5> operands = {static_cast<uint8_t>(next() & 7), 0,
                                                 static_cast<uint8_t>(next() & 15), next(), next()};
        SoftwareLfo each(kind);
        SoftwareLfo jumping(kind);
        each.command(operands.data());
        jumping.command(operands.data());
        const auto output = [kind](const SoftwareLfo& l) {
            return kind == Kind::PITCH ? l.bend() : static_cast<int32_t>(l.attenuation());
        };
        for (int tick = 0; tick < 400;) {
            const uint32_t jump = jumping.ticksToNextChange();
            ASSERT_GE(jump, 1u);
            for (uint32_t i = 1; i < jump; ++i) {
                each.tick();
                ASSERT_EQ(output(each), output(jumping)) << n << " at " << tick + int(i);
            }
            each.tick();
            jumping.tick(jump);
            tick += static_cast<int>(jump);
            ASSERT_EQ(output(each), output(jumping)) << n << " at " << tick;
        }
    }
    // 80 stops it at 0; 81 starts it again from its settings.
    SoftwareLfo square(Kind::PITCH);
    square.command(command(1, 3, 1280).data());
    square.tick();
    const uint8_t stop = 0x80;
    const uint8_t again = 0x81;
    square.command(&stop);
    EXPECT_FALSE(square.active());
    EXPECT_EQ(square.bend(), 0);
    square.command(&again);
    EXPECT_EQ(square.bend(), 10);
}

TEST(ConvertTrack, PutsFmNotesAnOctaveUpWithPitchAndLeavesPcmKeys) {
    TrackOptions pitch;
    pitch.pitch = true;
    EXPECT_EQ(playedAs({0xDF, 0x17, 0xF1}, pitch), (std::vector<std::string>{"0 on 110", "24 off 110"}));
    EXPECT_EQ(playedAs({0x80, 0x17, 0xF1}, pitch, 8, 9), (std::vector<std::string>{"0 on 3", "24 off 3"}));
}

// A sample part: the drum kit on channel 10; a voice select and the LFO command
// reach no voice, and the voice select costs no tick.
TEST(ConvertTrack, PlaysAPcmTrackOnChannel10WithTheDrumKitAndNoVoice) {
    TrackRun run;
    run.song.currentVoice = 3;
    // clang-format off
    EXPECT_EQ(run.chunk({0xFD, 0x05, 0xEA, 0x00, 0x10, 0x20, 0x30, 0x47, 0xED, 0x9F, 0x83, 0x17, 0xF1}, 8, 9),
              (Bytes{
                  'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x33,
                  0x41, 0xC9, 0x00,        // delta 65, program 0: the standard drum kit
                  0x01, 0xB9, 0x65, 0x00,
                  0x01, 0xB9, 0x64, 0x00,
                  0x01, 0xB9, 0x06, 0x20,
                  0x01, 0xB9, 0x0D, 0x00,
                  0x01, 0xB9, 0x0C, 0x00,
                  0x01, 0xE9, 0x00, 0x40,
                  0x0A, 0xB9, 0x4C, 0x08,  // the LFO controllers, on channel 10 too
                  0x00, 0xB9, 0x0D, 0x20,
                  0x00, 0xB9, 0x0C, 0x30,
                  0x00, 0x99, 0x06, 0x64,  // sample 0x83 as key 6, on the same tick
                  0x18, 0x89, 0x06, 0x00,  // 24 ticks: no voice-change tick taken back
                  0x00, 0xFF, 0x2F, 0x00,
              }));
    // clang-format on
    EXPECT_TRUE(run.voices.empty());
    EXPECT_TRUE(run.side.calls.empty());
    EXPECT_EQ(run.song.currentVoice, 3);
}

// The keys of a PCM track's notes after the first track, as a run with -pcm finds and
// then uses them: each sample in each form on a key of its own.
std::vector<int> pcmNoteKeys(const Bytes& firstTrack, const Bytes& pcmTrack) {
    Bytes image = firstTrack;
    image.insert(image.end(), pcmTrack.begin(), pcmTrack.end());
    std::vector<uint32_t> offsets(9, static_cast<uint32_t>(firstTrack.size()));
    offsets[0] = 0;
    const MdxImage song(image, 0, offsets);
    TrackRun run;
    convertTrack(run.ctx, song, run.song, run.side, run, run.out, 0, 9);
    PcmKeys keys;
    SongState trial = run.song;
    convertTrack(run.ctx, song, trial, run.side, run, run.out, 8, 9, {1, {}, &keys, true});
    keys.assign();
    convertTrack(run.ctx, song, run.song, run.side, run, run.out, 8, 9, {1, {}, &keys, false});
    std::vector<int> noteOns;
    for (const auto& [tick, event] : timeline(Bytes(run.out.bytes().begin(), run.out.bytes().end()))) {
        if (event[0] == 0x99) {
            noteOns.push_back(event[1]);
        }
    }
    return noteOns;
}

TEST(ConvertTrack, PlaysEachPcmSampleAndFormOnAKeyOfItsOwn) {
    const Bytes kick = {0xA1, 0x05};   // sample 33, key 36 by default
    const Bytes pcm8 = {0xE8, 0xF1};   // the 8-channel extension, switched on by track 0
    const Bytes plain = {0xF1};
    const struct {
        const char* name;
        Bytes first;
        Bytes pcm;
        std::vector<int> keys;
    } cases[] = {
        {"the default form keeps its key", plain, test::concat({kick, {0xED, 0x04}, kick, {0xF1}}), {36, 36}},
        {"another rate takes the first free key",
         plain,
         test::concat({kick, {0xED, 0x02}, kick, {0xF1}}),
         {36, 127}},
        {"each rate its own key, in the order first played",
         plain,
         test::concat(
             {{0xED, 0x02}, kick, {0xED, 0x00}, kick, {0xED, 0x02}, kick, {0xED, 0x0C}, kick, {0xF1}}),
         {127, 126, 127, 36}},
        {"forms 5 to 7 play as the default without the extension",
         plain,
         test::concat({{0xED, 0x05}, kick, {0xED, 0x07}, kick, {0xF1}}),
         {36, 36}},
        {"16-bit and 8-bit with it; 7 as the default",
         pcm8,
         test::concat({{0xED, 0x05}, kick, {0xED, 0x06}, kick, {0xED, 0x07}, kick, {0xF1}}),
         {127, 126, 36}},
        {"a bank with the extension",
         pcm8,
         test::concat({{0xFD, 0x01}, {0x80, 0x05}, {0xFD, 0x00}, kick, {0xF1}}),
         {127, 36}},
        {"no bank without it", plain, test::concat({{0xFD, 0x01}, {0x80, 0x05}, {0xF1}}), {3}},
        {"the extension from track 0 only",
         {0xFF, 0xC8, 0xF1},
         test::concat({{0xE8, 0xED, 0x05}, kick, {0xF1}}),
         {36}},
        {"keys the default notes use are skipped",
         plain,
         test::concat({{0xDF, 0x05, 0xED, 0x02}, kick, {0xF1}}),
         {98, 127}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pcmNoteKeys(c.first, c.pcm), c.keys) << c.name;
    }
}

TEST(PcmKeys, GivesEverySoundAKeyAndTheRestTheirDefaultKeyWhenTheFreeKeysRunOut) {
    PcmKeys keys;
    for (uint16_t s = 0; s < 96; ++s) {
        keys.played({s, DEFAULT_PCM_FORM});   // keys 3 to 98
    }
    for (uint16_t s = 0; s < 40; ++s) {
        keys.played({s, PcmForm::ADPCM_7812});
    }
    keys.assign();
    // 127 to 99 and 2 to 0: 32 free keys.
    EXPECT_EQ(keys.keyOf({0, PcmForm::ADPCM_7812}), 127);
    EXPECT_EQ(keys.keyOf({28, PcmForm::ADPCM_7812}), 99);
    EXPECT_EQ(keys.keyOf({29, PcmForm::ADPCM_7812}), 2);
    EXPECT_EQ(keys.keyOf({31, PcmForm::ADPCM_7812}), 0);
    EXPECT_EQ(keys.keyOf({32, PcmForm::ADPCM_7812}), 35);   // out of keys: its sample's own
    EXPECT_EQ(keys.keyOf({5, PcmForm::ADPCM_3906}), 8);     // never played
    EXPECT_EQ(keys.keys().size(), 128u);
}

TEST(ConvertTrack, PlaysTheLoopAsOftenAsAskedAndEndsWhereThereIsNone) {
    const Bytes note = {0x0A, 0x90, 0x03, 0x64, 0x10, 0x80, 0x03, 0x00};
    const Bytes again = {0x01, 0x90, 0x03, 0x64, 0x10, 0x80, 0x03, 0x00};   // the rest's tick carries
    const Bytes looping = {0x80, 0x0F, 0x00, 0xF1, 0xFF, 0xFA};             // back 6 bytes, to the note
    const struct {
        const char* name;
        int loops;
        Bytes track;
        Bytes events;
    } cases[] = {
        {"once", 1, looping, note},
        {"three times", 3, looping, test::concat({note, again, again})},
        {"00 behind the end", 3, {0x80, 0x0F, 0x00, 0xF1, 0x00, 0x05}, note},
        {"the end last in the image", 3, {0x80, 0x0F, 0x00, 0xF1}, note},
        {"one byte behind the end", 3, {0x80, 0x0F, 0x00, 0xF1, 0xFF}, note},
    };
    for (const auto& c : cases) {
        TrackRun run;
        run.options.loops = c.loops;
        EXPECT_EQ(run.events(c.track), c.events) << c.name;
        EXPECT_TRUE(run.whole) << c.name;
    }
    // The runaway guard counts the elements of every pass.
    TrackRun guarded;
    guarded.options.loops = 255;
    guarded.ctx.maxTrackElements = 100;
    guarded.events(looping);
    EXPECT_FALSE(guarded.whole);
}

TEST(ConvertTrack, HandsTheNoiseByteOverOnTrack7Only) {
    const Bytes track = {0xED, 0x9F, 0x80, 0x00, 0xF1};
    TrackRun third;
    EXPECT_EQ(third.events(track, 3, 8), (Bytes{0x2A, 0x93, 0x03, 0x64, 0x01, 0x83, 0x03, 0x00}));
    EXPECT_TRUE(third.side.calls.empty());
    TrackRun eighth;
    EXPECT_EQ(eighth.events(track, 7, 8), (Bytes{0x0A, 0x97, 0x03, 0x64, 0x01, 0x87, 0x03, 0x00}));
    EXPECT_EQ(eighth.side.calls, (std::vector<Capture>{{'N', -1, 128, 31}}));
}

TEST(ConvertTrack, CapturesUnderTheCurrentVoiceCarriedFromTrackToTrack) {
    TrackRun run;
    // clang-format off
    run.events({0xEA, 0x00, 0x10, 0x20, 0x30, 0x47, 0xED, 0x9F, 0xFD, 0x85, 0xEA, 0x01, 0x10, 0x20, 0x30, 0x23,
                0xED, 0x80, 0xF1},
               7, 8);
    // clang-format on
    run.events({0xEA, 0x03, 0x10, 0x20, 0x30, 0x00, 0xF1}, 0, 8);
    EXPECT_EQ(run.side.calls, (std::vector<Capture>{
                                  {'L', -1, 0, 3, 4},   // before the run's first voice select
                                  {'N', -1, 128, 31},
                                  {'L', 5, 1, 3, 2},
                                  {'N', 5, 128, 0},
                                  {'L', 5, 3, 0, 0},   // the next track
                              }));
}

TEST(ConvertTrack, PlaysRepeatsAndLeavesThemAtTheEscape) {
    // clang-format off
    expectEvents({
        {"three passes, escape in the last", {0xF6, 0x03, 0x00, 0x80, 0x17, 0xF4, 0x00, 0x03, 0x82, 0x17,
                                              0xF5, 0xFF, 0xF6, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x05, 0x64,
            0x18, 0x80, 0x05, 0x00,
            0x00, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x05, 0x64,
            0x18, 0x80, 0x05, 0x00,
            0x00, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x00,
        }},
        {"two passes", {0xF6, 0x02, 0x00, 0x80, 0x17, 0xF5, 0xFF, 0xFB, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x03, 0x64,
            0x18, 0x80, 0x03, 0x00,
        }},
        {"(0x80 x3, 0x82) x2", {0xF6, 0x02, 0x00, 0xF6, 0x03, 0x00, 0x80, 0x00, 0xF5, 0xFF, 0xFB, 0x82, 0x00,
                                0xF5, 0xFF, 0xF3, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x05, 0x64, 0x01, 0x80, 0x05, 0x00,
            0x00, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x05, 0x64, 0x01, 0x80, 0x05, 0x00,
        }},
        {"a count of 0 plays once", {0xF6, 0x00, 0x00, 0x80, 0x00, 0xF5, 0xFF, 0xFB, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
        }},
        {"stray repeat end", {0x80, 0x00, 0xF5, 0xFF, 0xFB, 0x82, 0x00, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x05, 0x64, 0x01, 0x80, 0x05, 0x00,
        }},
        {"stray escape", {0x80, 0x00, 0xF4, 0xFF, 0xF9, 0x82, 0x00, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
            0x00, 0x90, 0x05, 0x64, 0x01, 0x80, 0x05, 0x00,
        }},
    });
    // clang-format on
}

// A plain conversion writes the passes of a repeat that start alike as copies; with
// -gate and -lfo every pass is read. Without the commands those two act on, both must
// write the same chunk, make the same calls and leave the same state, whole or cut off
// by either guard anywhere.
TEST(ConvertTrack, WritesRepeatedPassesAsReadingThemWould) {
    using test::concat;
    const Bytes noteVoiceNoise = {0xFD, 0x03, 0xED, 0x91, 0x80, 0x05, 0xFB, 0x04, 0x82, 0x07, 0x10};
    const Bytes longGlide = {0xF2, 0x00, 0x40, 0x80, 0xFF};   // 256 bends
    Bytes glides;   // 70 KB of bends, across the chunk's first growth
    for (int k = 0; k < 70; ++k) {
        glides.insert(glides.end(), longGlide.begin(), longGlide.end());
    }
    // clang-format off
    const Bytes tracks[] = {
        // A voice select just before the repeat delays the first pass's first note only.
        concat({{0xFD, 0x01}, repeat(5, noteVoiceNoise), {0xF1}}),
        // A tie across the repeat end, and a volume operand without meaning, which
        // writes the volume set in the pass before.
        concat({repeat(4, {0x84, 0x03, 0xFB, 0x40, 0xF7, 0x84, 0x02, 0xFB, 0x0C}), {0xF1}}),
        // Nested repeats with voice selects, glides and a detune in the inner one.
        concat({repeat(3, concat({{0x80, 0x02},
                                  repeat(4, {0xF2, 0x00, 0x40, 0x88, 0x03, 0xFD, 0x07, 0xF3, 0x00, 0x10, 0x8A, 0x01})})),
                {0xF1}}),
        // An escape: the last pass leaves before its second half. Its offset, 4,
        // reaches the repeat end's operand.
        concat({repeat(6, {0x80, 0x03, 0xED, 0x00, 0xF4, 0x00, 0x04, 0x84, 0x01, 0x05}), {0xF1}}),
        // The whole track played three times over by its end command.
        concat({repeat(3, {0x80, 0x03, 0xFD, 0x02}), {0xF1, 0xFF, 0xF5}}),
        // Glides read, and then copied, where the chunk grows: each must make its room.
        concat({glides, repeat(60, longGlide), {0xF1}}),
    };
    // clang-format on
    // Copies give no captures again, so the captures compare by what they leave both
    // programs' voices with.
    const auto settled = [](const std::vector<Capture>& captures) {
        TextVoiceSide text;   // the run's last WF and NFRQ
        BankVoiceSide bank;   // each voice's settings
        text.reset();
        bank.reset();
        for (const Capture& c : captures) {
            for (VoiceSide* side : {static_cast<VoiceSide*>(&text), static_cast<VoiceSide*>(&bank)}) {
                if (c.kind == 'L') {
                    side->captureLfo(c.voice, {c.a, c.b, static_cast<uint8_t>(c.field)});
                } else {
                    side->captureNoise(c.voice, {c.a, c.b});
                }
            }
        }
        std::vector<int> settings = {text.lastWF, text.lastNFRQ};
        for (int v = 0; v < VOICE_SLOTS; ++v) {
            for (int index = 0; index < 11; ++index) {   // the voice's own parameters
                settings.push_back(bank.parameter(v, index));
            }
        }
        return settings;
    };
    const auto expectAlike = [&settled](const Bytes& track, RunContext ctx, const std::string& name) {
        TrackRun plain;
        TrackRun timed;
        timed.options.gate = timed.options.lfo = true;
        for (TrackRun* run : {&plain, &timed}) {
            run->ctx = ctx;
            run->options.loops = 3;
            run->chunk(track, 7, 8);
        }
        EXPECT_EQ(Bytes(plain.out.bytes().begin(), plain.out.bytes().end()),
                  Bytes(timed.out.bytes().begin(), timed.out.bytes().end()))
            << name;
        EXPECT_EQ(plain.whole, timed.whole) << name;
        EXPECT_EQ(plain.voices, timed.voices) << name;
        EXPECT_EQ(settled(plain.side.calls), settled(timed.side.calls)) << name;
        EXPECT_TRUE(plain.song == timed.song) << name;
    };
    for (size_t k = 0; k < std::size(tracks); ++k) {
        expectAlike(tracks[k], {}, "track " + std::to_string(k));
        for (uint32_t elements = 1; elements < 200; ++elements) {
            RunContext ctx;
            ctx.maxTrackElements = elements;
            expectAlike(tracks[k], ctx,
                        "track " + std::to_string(k) + ", elements " + std::to_string(elements));
        }
        for (uint32_t chunk = 40; chunk < 600; chunk += 3) {
            RunContext ctx;
            ctx.maxTrackChunk = chunk;
            expectAlike(tracks[k], ctx, "track " + std::to_string(k) + ", chunk " + std::to_string(chunk));
        }
    }
    // 240,000 voice selects. The copies of a middle pass are more voice lines than
    // are written down for copies: they are printed without, and the outer pass they
    // are in is read again, not copied.
    expectAlike(concat({repeat(3, test::nest({0xFD, 0x01, 0xFD, 0x01}, 2, 200)), {0xF1}}), {},
                "voice lines past the bound");
}

TEST(ConvertTrack, KeepsTheRepeatStackAcrossTracksAndAtLevelZeroWhenStray) {
    TrackRun run;
    run.events({0xF6, 0x02, 0x00, 0xF6, 0x03, 0x00, 0xF1});
    EXPECT_EQ(run.song.repeats.level, 2);
    EXPECT_EQ(run.song.repeats.counts[1], 2);   // the outermost repeat uses counter 1
    EXPECT_EQ(run.song.repeats.counts[2], 3);

    // Counter 0 belongs to no repeat; whatever it holds, level 0 stays.
    for (const Bytes& track : {Bytes{0xF4, 0x00, 0x00, 0xF1}, Bytes{0xF5, 0x00, 0x00, 0xF1}}) {
        TrackRun stray;
        stray.song.repeats.counts[0] = 1;
        stray.events(track);
        EXPECT_EQ(stray.song.repeats.level, 0) << std::hex << int(track[0]);
    }
}

TEST(ConvertTrack, EndsTheTrackAtARepeatThatWouldOpenAnEighthLevel) {
    const auto opened = [](int levels) {
        Bytes track;
        for (int k = 0; k < levels; ++k) {
            track.insert(track.end(), {0xF6, 0x01, 0x00});
        }
        track.insert(track.end(), {0x80, 0x00, 0xF1});
        return track;
    };
    expectEvents({{"seven levels", opened(7), {0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00}},
                  {"an eighth", opened(8), {}}});
}

TEST(ConvertTrack, EndsTheTrackWhereTheImageEnds) {
    // clang-format off
    expectEvents({
        {"no end command", {0x80, 0x17}, {0x0A, 0x90, 0x03, 0x64, 0x18, 0x80, 0x03, 0x00}},
        {"a jump out of the data", {0x80, 0x00, 0xF6, 0x02, 0x00, 0xF5, 0x7F, 0x00, 0xF1}, {
            0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00,
        }},
        {"a note without its duration", {0xF7, 0x80, 0x17, 0x82}, {0x0A, 0x90, 0x03, 0x64}},
        {"a plain note without its duration", {0x80, 0x00, 0x82}, {0x0A, 0x90, 0x03, 0x64, 0x01, 0x80, 0x03, 0x00}},
    });
    // clang-format on

    TrackRun beyond;
    const MdxImage image(Bytes{0x80, 0x17, 0xF1}, 0, {0x100});
    EXPECT_TRUE(convertTrack(beyond.ctx, image, beyond.song, beyond.side, beyond, beyond.out, 0, 1).whole);
    EXPECT_EQ(beyond.out.size(), 39u);
}

TEST(ConvertTrack, DoesNothingForACommandWhoseOperandsAreCutOff) {
    // clang-format off
    const Bytes cases[] = {
        {0xFF}, {0xFB}, {0xFC}, {0xFD}, {0xF3, 0x00}, {0xF2, 0x01},
        {0xEA}, {0xEA, 0x00, 0x10, 0x20, 0x30}, {0xEB}, {0xEB, 0x00, 0x10, 0x10, 0x10}, {0xEC, 0x00},
        {0xE7}, {0xE7, 0x01}, {0xED},
        {0xF6, 0x02}, {0xF5, 0xFF}, {0xF4, 0x00},
        {0xE9}, {0xEF}, {0xF0}, {0xF8}, {0xFE, 0x00},
    };
    // clang-format on
    for (const Bytes& command : cases) {
        TrackRun run;
        EXPECT_EQ(run.events(command, 7, 8), Bytes{}) << std::hex << int(command[0]) << ' ' << command.size();
        EXPECT_TRUE(run.voices.empty());
        EXPECT_TRUE(run.side.calls.empty());
        EXPECT_EQ(run.song.currentVoice, -1);
        EXPECT_EQ(run.song.repeats.level, 0);
    }
}

// Too many elements, a jump loop and too many bytes each end the track in a closed
// chunk, at the default guards and at the context's own.
TEST(ConvertTrack, CutsOffARunawayTrackWithAClosedChunk) {
    const Bytes jumps = {0xF6, 0x02, 0x00, 0xF4, 0xFF, 0xF8, 0xF5, 0xFF, 0xFA};   // the escape jumps back
    for (const Bytes& track : {test::nest({0x00}, 7), jumps}) {
        TrackRun run;
        EXPECT_EQ(run.events(track), Bytes{});
        EXPECT_FALSE(run.whole);
    }

    TrackRun big;
    const Bytes events = big.events(test::nest({0xFC, 0x01}, 4));   // framing checked there
    EXPECT_FALSE(big.whole);
    EXPECT_GE(big.out.size(), MAX_TRACK_CHUNK);
    EXPECT_LT(big.out.size(), MAX_TRACK_CHUNK + 64);
    EXPECT_EQ(Bytes(events.end() - 4, events.end()), (Bytes{0x00, 0xB0, 0x0A, 0x00}));

    // The repeat start, three pans and a rest, the repeat end, three pans: the tenth
    // element is never converted. The first pan waits for the track's first tick.
    TrackRun counted;
    counted.ctx.maxTrackElements = 9;
    // clang-format off
    EXPECT_EQ(counted.events(repeat(0xFF, {0xFC, 0x01, 0xFC, 0x02, 0xFC, 0x03, 0x05})),
              (Bytes{0x0A, 0xB0, 0x0A, 0x00, 0x00, 0xB0, 0x0A, 0x7F, 0x00, 0xB0, 0x0A, 0x40,
                     0x06, 0xB0, 0x0A, 0x00, 0x00, 0xB0, 0x0A, 0x7F, 0x00, 0xB0, 0x0A, 0x40}));
    // clang-format on
    EXPECT_FALSE(counted.whole);

    TrackRun small;
    small.ctx.maxTrackChunk = 100;
    small.events(repeat(0xFF, {0xFC, 0x01}));
    EXPECT_FALSE(small.whole);
    EXPECT_GE(small.out.size(), 100u);
    EXPECT_LT(small.out.size(), 100u + 64);
}

TEST(ConvertTrack, ConvertsATrackLongerThan64KiBWhole) {
    TrackRun run;
    const Bytes events = run.events(test::nest({0xFC, 0x02}, 2));
    EXPECT_TRUE(run.whole);
    ASSERT_EQ(events.size(), 255u * 255 * 4);
    EXPECT_EQ(Bytes(events.end() - 4, events.end()), (Bytes{0x00, 0xB0, 0x0A, 0x7F}));
}

}   // namespace
}   // namespace karvo
