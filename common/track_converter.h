// One MDX track in, one MTrk chunk out.
#pragma once

#include <cstdint>

#include "run_context.h"
#include "voice_side.h"

namespace karvo {

// Converts track t of a run of n tracks from ctx.Ibuf at MMLBase[t] into ctx.Tbuf,
// leaving a complete chunk of ctx.Tpos bytes. LFO and noise commands reach side.
// Returns false when the track ran away and was cut off.
bool convertTrack(RunContext& ctx, VoiceSide& side, int t, int n);

// Controller-7 value of an attenuation of 0 to 127.
uint8_t volumeValue(uint32_t attenuation);

}  // namespace karvo
