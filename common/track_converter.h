// One MDX track in, one MTrk chunk out.
#pragma once

#include <cstdint>
#include <string_view>

#include "mdx_image.h"
#include "midi_track.h"
#include "pcm_keys.h"
#include "run_context.h"
#include "voice_side.h"

namespace karvo {

// The chip's eight channels play the first eight tracks, the FM tracks. Tracks from
// the ninth on are the PCM tracks, the sample parts: they play on MIDI channel 10 (9
// counted from 0), the percussion channel, and have no FM voice.
constexpr int FM_TRACKS = 8;
constexpr uint8_t PCM_CHANNEL = 9;

// The repeats open in a song. Level 0 means none is open; the outermost uses counter
// 1, so that at most seven can be open at once.
struct RepeatStack {
    static constexpr int LEVELS = 8;
    int level = 0;
    int32_t counts[LEVELS] = {};   // passes still to play

    bool operator==(const RepeatStack&) const = default;
};

// What carries from track to track.
struct SongState {
    int currentVoice = -1;   // -1 until the run's first voice select
    RepeatStack repeats;
    bool pcm8 = false;   // the first track switched the 8-channel PCM extension on

    bool operator==(const SongState&) const = default;
};

// What the converter tells besides the MIDI bytes, for the console.
class TrackListener {
public:
    virtual void voiceSelected(int voice) = 0;

protected:
    ~TrackListener() = default;
};

// What a run asks of every track beyond the plain conversion.
struct TrackOptions {
    int loops = 1;                 // plays of each track's loop in all, 1 to 255
    std::string_view name;         // a sequence name for the chunk, or none when empty
    PcmKeys* pcmKeys = nullptr;    // a PCM track's keys; without them, note byte - 125
    bool findingPcmKeys = false;   // the PCM tracks' first conversion, which finds the keys
    bool gate = false;             // key-ons and key-offs where the driver makes them
    bool lfo = false;              // the FM tracks' software LFOs as bends and expression
    bool pitch = false;            // FM notes on the keys of their standard pitch, 12 higher
};

// -pitch moves the FM notes up an octave; the highest note byte still lands on a key.
constexpr int STANDARD_PITCH_SHIFT = 12;

// Track t's preamble takes ticks 8t+1 to 8t+7, so that no two tracks' preambles share
// a tick; every track's first element then falls on the same tick.
constexpr uint32_t preambleStartTick(int track) { return 8 * static_cast<uint32_t>(track) + 1; }
constexpr uint32_t firstElementTick(int trackCount) { return 8 * static_cast<uint32_t>(trackCount) + 9; }

struct TrackResult {
    bool whole = true;       // false when the track ran away past the guards and was cut off
    uint32_t elements = 0;   // elements played, whether read or written as copies of a pass
};

// Converts track t of a run of trackCount tracks, from the image at its offset, into
// out, leaving a complete chunk. The LFO and noise commands reach voices; voice
// selects are told to listener. guards come from ctx.
TrackResult convertTrack(const RunContext& ctx, const MdxImage& image, SongState& song, VoiceSide& voices,
                         TrackListener& listener, MidiTrack& out, int t, int trackCount,
                         const TrackOptions& options = {});

// Controller-7 value of an attenuation of 0 to 127: 127 x sqrt(10^(-0.0375 a)).
uint8_t volumeValue(uint32_t attenuation);

}   // namespace karvo
