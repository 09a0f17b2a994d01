// The MIDI file header, chunk framing and delta-time encoding.
#include <gtest/gtest.h>

#include "mdx_builder.h"
#include "midi_shape.h"
#include "midi_track.h"

namespace karvo {
namespace {

using test::Bytes;

Bytes chunk(const MidiTrack& track) { return Bytes(track.data(), track.data() + track.Tpos); }

struct VarCase {
    uint32_t value;
    int top;       // index of the most significant group
    Bytes bytes;   // as setCuVar writes them
};

TEST(SetCuVar, WritesEachDeltaAsAVariableLengthQuantityMostSignificantGroupFirst) {
    const VarCase cases[] = {
        {0, 0, {0x00}},
        {127, 0, {0x7F}},
        {128, 1, {0x81, 0x00}},
        {200, 1, {0x81, 0x48}},
        {0x3FFF, 1, {0xFF, 0x7F}},
        {0x4000, 2, {0x81, 0x80, 0x00}},
        {0x0FFFFFFF, 3, {0xFF, 0xFF, 0xFF, 0x7F}},
        {0x10000000, 4, {0x81, 0x80, 0x80, 0x80, 0x00}},
        {0xFFFFFFFF, 4, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const VarCase& c : cases) {
        MidiTrack track;
        EXPECT_EQ(track.InttoVar(c.value), c.top) << c.value;
        track.begin(0);
        track.NextOn = c.value;
        track.setCuVar();
        EXPECT_EQ(Bytes(track.data() + 8, track.data() + track.Tpos), c.bytes) << c.value;
        EXPECT_EQ(track.NextOn, 0u);
        // The same delta in front of an event.
        track.begin(3);
        track.NextOn = c.value;
        track.event(0x90, 0x3C, 0x64);
        Bytes withEvent = c.bytes;
        withEvent.insert(withEvent.end(), {0x93, 0x3C, 0x64});
        EXPECT_EQ(Bytes(track.data() + 8, track.data() + track.Tpos), withEvent) << c.value;
    }
}

TEST(HeadF, DeclaresFormatOneAt48TicksWithTheTrackCountGiven) {
    const auto head = HeadF(8);
    EXPECT_EQ(Bytes(head.begin(), head.end()), (Bytes{
        'M', 'T', 'h', 'd',
        0x00, 0x00, 0x00, 0x06,  // header length
        0x00, 0x01,              // format 1
        0x00, 0x08,              // 8 chunks
        0x00, 0x30,              // 48 ticks per quarter note
    }));
    EXPECT_EQ(HeadF(3)[11], 3);
}

TEST(TrackFraming, ClosesAChunkWithEndOfTrackAndDropsPendingTicks) {
    MidiTrack track;
    track.begin(0);
    track.NextOn = 5;
    track.event(0x90, 0x3C, 0x64);
    const uint8_t tempo[3] = {0x0A, 0x80, 0x00};
    track.meta(0x51, tempo, 3);
    track.event(0xC0, 0x05);
    track.NextOn = 300;   // never written
    track.end();
    EXPECT_EQ(chunk(track), (Bytes{
        'M', 'T', 'r', 'k',
        0x00, 0x00, 0x00, 0x12,  // length
        0x05, 0x90, 0x3C, 0x64,  // delta 5, note-on
        0x00, 0xFF, 0x51, 0x03, 0x0A, 0x80, 0x00,   // tempo
        0x00, 0xC0, 0x05,        // program change
        0x00, 0xFF, 0x2F, 0x00,  // end of track
    }));
}

TEST(TrackFraming, RestartsTheBufferForEveryChunk) {
    MidiTrack track;
    track.begin(5);
    for (int i = 0; i < 100; ++i) {
        track.event(0xB0, 0x07, 0x55);
    }
    track.end();
    track.begin(0);
    track.end();
    EXPECT_EQ(chunk(track), (Bytes{'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x04, 0x00, 0xFF, 0x2F, 0x00}));
}

TEST(TrackFraming, GrowsTheBufferPast65536BytesAndKeepsEveryByte) {
    MidiTrack track;
    track.begin(2);
    constexpr uint32_t EVENTS = 25000;   // 5 bytes each: 125,000 bytes
    for (uint32_t i = 0; i < EVENTS; ++i) {
        track.NextOn = 200;              // two delta bytes, 81 48
        track.event(0xE0, static_cast<uint8_t>(i % 127), static_cast<uint8_t>(i / 127 % 127));
    }
    track.end();
    const Bytes c = chunk(track);
    ASSERT_EQ(c.size(), 8 + 5 * EVENTS + 4);
    EXPECT_EQ(test::trackChunkFault(c), nullptr);
    for (uint32_t i = 0; i < EVENTS; ++i) {
        const auto at = c.begin() + 8 + 5 * static_cast<std::ptrdiff_t>(i);
        ASSERT_EQ(Bytes(at, at + 5), (Bytes{0x81, 0x48, 0xE2, static_cast<uint8_t>(i % 127),
                                            static_cast<uint8_t>(i / 127 % 127)})) << i;
    }
}

}  // namespace
}  // namespace karvo
