// One MDX track in, one MTrk chunk out.
#pragma once

#include <cstdint>

#include "mdx_image.h"
#include "midi_track.h"
#include "run_context.h"
#include "voice_side.h"

namespace karvo {

constexpr int REPEAT_LEVELS = 8;   // counter 0 is never used by a repeat start

// What carries from track to track.
struct SongState {
    int curVoice = -1;           // -1 until the run's first voice select
    int repLevel = 0;            // 0: no repeat open; the outermost uses counter 1
    int32_t repCount[REPEAT_LEVELS] = {};
};

// Converts track t of a run of n tracks from image.Ibuf at MMLBase[t] into track,
// leaving a complete chunk. LFO and noise commands reach side; voice selects print
// their line to ctx.serr. Returns false when the track ran away past ctx's guards
// and was cut off.
bool convertTrack(const RunContext& ctx, MdxImage& image, SongState& song, VoiceSide& side,
                  MidiTrack& track, int t, int n);

// Controller-7 value of an attenuation of 0 to 127.
uint8_t volumeValue(uint32_t attenuation);

}  // namespace karvo
