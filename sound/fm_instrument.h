// One FM voice as a SoundFont instrument: our model of the FM chip plays the voice on
// every key the song plays it on, and each rendering becomes a sample with a loop and a
// volume envelope that carry on where the rendering stops.
//
//   sample:  |-- key-on part --|-- loop --|8 points|
//            the chip's attack and first decays, for as long as the song holds the key
//            or until every operator has settled, at most MAX_KEY_ON_SECONDS; then a
//            stretch of the sound with every envelope held, looped
//   zone:    hold for the key-on part, then decay at the loudest carrier's own rate (its
//            second decay, linear in dB as on the chip), release at its release rate
//
// Each sample sounds at the song's pitch of its key, an octave above the key's standard
// pitch: the MIDI file puts the song's o4a on key 57, and the song plays it at 440 Hz.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "opm_synth.h"
#include "soundfont.h"

namespace karvo {

// A key the song plays with the voice, and the longest it holds it, in seconds.
struct FmKeyUse {
    uint8_t key = 0;
    double heldSeconds = 0.0;
};

// The rendered key-on part is never longer than this, whatever the song holds.
constexpr double MAX_KEY_ON_SECONDS = 1.5;
// Samples are stored at the chip's own rate.
constexpr uint32_t FM_SAMPLE_RATE = OPM_SAMPLE_RATE;
// The song's pitch of MIDI key k is that of standard key k + 12.
constexpr int SONG_PITCH_SHIFT = 12;

// Both sound chips send a channel to the left, the right or both outputs at full level,
// where a player's pan keeps the power of a centred note: a note panned to one side
// sounds 3 dB louder there than the chips have it. These take the 3 dB off as the pan
// (controller 10) leaves the centre, one for each side: the pan's distance from the
// centre, switched on by the side it is on.
constexpr uint16_t PAN_CONTROLLER = Modulator::MIDI_CC | 10;
constexpr std::array<Modulator, 2> SWITCHED_PAN = {{
    {PAN_CONTROLLER | Modulator::BIPOLAR | Modulator::NEGATIVE, Generator::INITIAL_ATTENUATION, 30,
     PAN_CONTROLLER | Modulator::SWITCH | Modulator::NEGATIVE, 0},
    {PAN_CONTROLLER | Modulator::BIPOLAR, Generator::INITIAL_ATTENUATION, 30,
     PAN_CONTROLLER | Modulator::SWITCH, 0},
}};

class FmInstrument {
public:
    // Renders voice, with the chip LFO and noise settings lfo, on each key of keys (in
    // any order; a key given twice counts once, at its longest hold), each at the pitch
    // of standard key + pitchShift. Without keys, the voice is rendered once at 440 Hz,
    // the song's o4a, for every key.
    FmInstrument(const OpmVoice& voice, const OpmLfo& lfo, std::vector<FmKeyUse> keys,
                 int pitchShift = SONG_PITCH_SHIFT);

    // Adds the samples, an instrument and a preset on bank 0, program, to font: each
    // rendered key on its own pitch, the keys between on the nearest rendered one. The
    // points stay here: the instrument must outlive font.
    void addTo(SoundFont& font, const std::string& name, uint8_t program) const;

    // The rendered keys, lowest first: each sample's points, loop and envelope.
    struct Rendering {
        uint8_t key = 0;
        std::vector<int16_t> points;
        uint32_t loopStart = 0;
        uint32_t loopEnd = 0;
        int8_t pitchCorrection = 0;        // cents from the rendered pitch to the key's
        double decayDbPerSecond = 0.0;     // after the key-on part; 0 holds the level
        double releaseDbPerSecond = 0.0;   // after the note's end
    };
    std::span<const Rendering> renderings() const { return m_renderings; }

private:
    std::vector<Rendering> m_renderings;
};

}   // namespace karvo
