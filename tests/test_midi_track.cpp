// The MIDI file header, chunk framing and delta-time encoding.
#include <gtest/gtest.h>

#include "mdx_builder.h"
#include "midi_track.h"

namespace karvo {
namespace {

using test::Bytes;

Bytes chunk(const MidiTrack& track) { return Bytes(track.bytes().begin(), track.bytes().end()); }

struct DeltaCase {
    uint32_t value;
    Bytes bytes;   // as the delta in front of an event
};

TEST(WriteVariableLength, WritesTheMostSignificantGroupFirst) {
    const DeltaCase cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x81, 0x00}},
        {200, {0x81, 0x48}},
        {0x3FFF, {0xFF, 0x7F}},
        {0x4000, {0x81, 0x80, 0x00}},
        {0x0FFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}},
        {0x10000000, {0x81, 0x80, 0x80, 0x80, 0x00}},
        {0xFFFFFFFF, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const DeltaCase& c : cases) {
        uint8_t out[MAX_VARIABLE_LENGTH_SIZE + 1] = {};
        const size_t n = writeVariableLength(out, c.value);
        EXPECT_EQ(Bytes(out, out + n), c.bytes) << c.value;
        // The same value as the delta of an event, waited in two parts.
        MidiTrack track;
        MidiTrack::Writer writer = track.begin(3);
        writer.wait(c.value / 2);
        writer.wait(c.value - c.value / 2);
        EXPECT_EQ(writer.pendingTicks(), c.value);
        writer.event(0x90, 0x3C, 0x64);
        EXPECT_EQ(writer.pendingTicks(), 0u);
        track.end(writer);
        Bytes withEvent = c.bytes;
        withEvent.insert(withEvent.end(), {0x93, 0x3C, 0x64, 0x00, 0xFF, 0x2F, 0x00});
        EXPECT_EQ(Bytes(track.bytes().begin() + 8, track.bytes().end()), withEvent) << c.value;
    }
}

TEST(MidiHeaderChunk, DeclaresFormatOneAt48TicksWithTheTrackCountGiven) {
    const auto head = midiHeaderChunk(8);
    // clang-format off
    EXPECT_EQ(Bytes(head.begin(), head.end()), (Bytes{
        'M', 'T', 'h', 'd',
        0x00, 0x00, 0x00, 0x06,  // header length
        0x00, 0x01,              // format 1
        0x00, 0x08,              // 8 chunks
        0x00, 0x30,              // 48 ticks per quarter note
    }));
    // clang-format on
    EXPECT_EQ(midiHeaderChunk(3)[11], 3);
}

TEST(TrackFraming, ClosesAChunkWithEndOfTrackDropsPendingTicksAndRestarts) {
    MidiTrack track;
    MidiTrack::Writer writer = track.begin(0);
    writer.wait(5);
    writer.event(0x90, 0x3C, 0x64);
    const uint8_t tempo[3] = {0x0A, 0x80, 0x00};
    writer.meta(0x51, tempo);
    writer.event(0xC0, 0x05);
    writer.wait(300);   // never written
    track.end(writer);
    // clang-format off
    EXPECT_EQ(chunk(track), (Bytes{
        'M', 'T', 'r', 'k',
        0x00, 0x00, 0x00, 0x12,  // length
        0x05, 0x90, 0x3C, 0x64,  // delta 5, note-on
        0x00, 0xFF, 0x51, 0x03, 0x0A, 0x80, 0x00,   // tempo
        0x00, 0xC0, 0x05,        // program change
        0x00, 0xFF, 0x2F, 0x00,  // end of track
    }));
    // clang-format on
    // The next chunk starts from an empty buffer.
    MidiTrack::Writer second = track.begin(0);
    track.end(second);
    EXPECT_EQ(chunk(track), (Bytes{'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x04, 0x00, 0xFF, 0x2F, 0x00}));
}

TEST(TrackFraming, GrowsTheBufferPast65536BytesAndKeepsEveryByte) {
    MidiTrack track;
    MidiTrack::Writer writer = track.begin(2);
    Bytes expected = {'M', 'T', 'r', 'k', 0x00, 0x01, 0xE8, 0x4C};   // 25,000 events of 5 bytes, then 4
    for (uint32_t i = 0; i < 25000; ++i) {
        const auto low = static_cast<uint8_t>(i % 127);
        const auto high = static_cast<uint8_t>(i / 127 % 127);
        ASSERT_FALSE(writer.full());   // and room for the next event
        writer.wait(200);              // two delta bytes, 81 48
        writer.event(0xE0, low, high);
        expected.insert(expected.end(), {0x81, 0x48, 0xE2, low, high});
    }
    track.end(writer);
    expected.insert(expected.end(), {0x00, 0xFF, 0x2F, 0x00});
    EXPECT_EQ(chunk(track), expected);
}

}   // namespace
}   // namespace karvo
