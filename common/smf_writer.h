// Standard MIDI File framing: the file header, the MTrk chunk in Tbuf, delta times.
#pragma once

#include <array>
#include <cstdint>

#include "run_context.h"

namespace karvo {

constexpr size_t HEADF_SIZE = 14;

// The MThd chunk: format 1, 48 ticks per quarter note, trackCount chunks.
std::array<uint8_t, HEADF_SIZE> HeadF(int trackCount);

// Splits value into 7-bit groups in ctx.Var, least significant first; returns the
// index of the most significant group.
int InttoVar(RunContext& ctx, uint32_t value);

// Appends NextOn as a variable-length quantity and clears it. Every event but the
// end of track begins with this.
void setCuVar(RunContext& ctx);

// Appends one byte to the chunk, growing Tbuf as needed.
void putByte(RunContext& ctx, uint8_t b);

// "MTrk" and room for the length; Tpos = 8.
void beginTrack(RunContext& ctx);

// Appends the end-of-track event with a literal delta of 0 (pending ticks are
// dropped) and fills in the chunk length.
void endTrack(RunContext& ctx);

}  // namespace karvo
