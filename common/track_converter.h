// One MDX track in, one MTrk chunk out.
#pragma once

#include <cstdint>
#include <string_view>

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

// Tracks 8 and up are the PCM tracks, the sample parts. They play on MIDI channel
// 10 (9 counted from 0), the percussion channel, and have no FM voice.
constexpr int FIRST_PCM_TRACK = 8;
constexpr uint8_t PCM_CHANNEL = 9;

// What a run asks of every track beyond the plain conversion.
struct TrackOptions {
    int loops = 1;               // plays of each track's loop in all, 1 to 255
    std::string_view name;       // a sequence name for the chunk, or none when empty
};

// Converts track t of a run of n tracks from image.Ibuf at MMLBase[t] into track,
// leaving a complete chunk. LFO and noise commands reach side; voice selects print
// their line to ctx.serr. Returns false when the track ran away past ctx's guards
// and was cut off.
bool convertTrack(const RunContext& ctx, MdxImage& image, SongState& song, VoiceSide& side,
                  MidiTrack& track, int t, int n, const TrackOptions& options = {});

// Controller-7 value of an attenuation of 0 to 127.
uint8_t volumeValue(uint32_t attenuation);

}  // namespace karvo
