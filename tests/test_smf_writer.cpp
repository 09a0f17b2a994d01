// The MIDI file header, chunk framing and delta-time encoding.
#include <gtest/gtest.h>

#include "mdx_builder.h"
#include "smf_writer.h"

namespace karvo {
namespace {

using test::Bytes;

Bytes chunk(const RunContext& ctx) { return Bytes(ctx.Tbuf.begin(), ctx.Tbuf.begin() + ctx.Tpos); }

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
        RunContext ctx;
        EXPECT_EQ(InttoVar(ctx, c.value), c.top) << c.value;
        beginTrack(ctx);
        ctx.NextOn = c.value;
        setCuVar(ctx);
        EXPECT_EQ(Bytes(ctx.Tbuf.begin() + 8, ctx.Tbuf.begin() + ctx.Tpos), c.bytes) << c.value;
        EXPECT_EQ(ctx.NextOn, 0u);
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
    RunContext ctx;
    beginTrack(ctx);
    ctx.NextOn = 5;
    setCuVar(ctx);
    putByte(ctx, 0x90);
    putByte(ctx, 0x3C);
    putByte(ctx, 0x64);
    ctx.NextOn = 300;   // never written
    endTrack(ctx);
    EXPECT_EQ(chunk(ctx), (Bytes{
        'M', 'T', 'r', 'k',
        0x00, 0x00, 0x00, 0x08,  // length
        0x05, 0x90, 0x3C, 0x64,  // delta 5, note-on
        0x00, 0xFF, 0x2F, 0x00,  // end of track
    }));
}

TEST(TrackFraming, RestartsTheBufferForEveryChunk) {
    RunContext ctx;
    beginTrack(ctx);
    for (int i = 0; i < 100; ++i) {
        putByte(ctx, 0x55);
    }
    endTrack(ctx);
    beginTrack(ctx);
    endTrack(ctx);
    EXPECT_EQ(chunk(ctx), (Bytes{'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x04, 0x00, 0xFF, 0x2F, 0x00}));
}

TEST(TrackFraming, GrowsTheBufferPast65536BytesAndKeepsEveryByte) {
    RunContext ctx;
    ctx.Tbuf.resize(65536);
    beginTrack(ctx);
    constexpr uint32_t EVENTS = 70000;
    for (uint32_t i = 0; i < EVENTS; ++i) {
        putByte(ctx, static_cast<uint8_t>(i % 251));
    }
    endTrack(ctx);
    ASSERT_EQ(ctx.Tpos, 8 + EVENTS + 4);
    EXPECT_EQ(Bytes(ctx.Tbuf.begin() + 4, ctx.Tbuf.begin() + 8), (Bytes{0x00, 0x01, 0x11, 0x74}));  // 70,004
    for (uint32_t i = 0; i < EVENTS; ++i) {
        ASSERT_EQ(ctx.Tbuf[8 + i], i % 251) << i;
    }
    EXPECT_EQ(Bytes(ctx.Tbuf.begin() + 8 + EVENTS, ctx.Tbuf.begin() + ctx.Tpos), (Bytes{0x00, 0xFF, 0x2F, 0x00}));
}

}  // namespace
}  // namespace karvo
