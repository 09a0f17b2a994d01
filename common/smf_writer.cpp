// Builds each MTrk chunk in memory so that its length is known before it is written.
#include "smf_writer.h"

#include "bytes.h"

namespace karvo {

std::array<uint8_t, HEADF_SIZE> HeadF(int trackCount) {
    return {
        'M', 'T', 'h', 'd',
        0x00, 0x00, 0x00, 0x06,                      // +4: header length
        0x00, 0x01,                                  // +8: format 1
        0x00, static_cast<uint8_t>(trackCount),      // +10: chunks that follow (at most 8)
        0x00, 0x30,                                  // +12: 48 ticks per quarter note
    };
}

int InttoVar(RunContext& ctx, uint32_t value) {
    int i = 0;
    for (;;) {
        ctx.Var[i] = static_cast<uint8_t>((value & 0x7F) | 0x80);
        if (value <= 0x7F) {
            break;
        }
        value >>= 7;
        ++i;
    }
    ctx.Var[0] &= 0x7F;
    return i;
}

void putByte(RunContext& ctx, uint8_t b) {
    if (ctx.Tpos >= ctx.Tbuf.size()) {
        ctx.Tbuf.resize(ctx.Tbuf.empty() ? IMAGE_SIZE : ctx.Tbuf.size() * 2);
    }
    ctx.Tbuf[ctx.Tpos++] = b;
}

void setCuVar(RunContext& ctx) {
    for (int i = InttoVar(ctx, ctx.NextOn); i >= 0; --i) {
        putByte(ctx, ctx.Var[i]);
    }
    ctx.NextOn = 0;
}

void beginTrack(RunContext& ctx) {
    ctx.Tpos = 0;
    static constexpr uint8_t MTRK[8] = {'M', 'T', 'r', 'k', 0, 0, 0, 0};   // +4: length, filled in at the end
    for (uint8_t b : MTRK) {
        putByte(ctx, b);
    }
}

void endTrack(RunContext& ctx) {
    static constexpr uint8_t END_OF_TRACK[4] = {0x00, 0xFF, 0x2F, 0x00};
    for (uint8_t b : END_OF_TRACK) {
        putByte(ctx, b);
    }
    put_be32(&ctx.Tbuf[4], ctx.Tpos - 8);
}

}  // namespace karvo
