// The MIDI keys of a song's PCM notes. A PCM note plays a sample of the song's sample
// file, in the form its track last set; the MIDI file gives every sample and form its
// own key, so that a kit made from the sample file plays each note as the song does,
// and one track's change of rate cannot retune another's notes on the shared channel.
#pragma once

#include <cstdint>
#include <vector>

namespace karvo {

// How the sound driver plays a sample's bytes: 4-bit ADPCM at one of the five rates
// of the ADPCM chip, or, with the driver's 8-channel extension, 16-bit or 8-bit
// linear PCM at the highest rate. The noise command of a PCM track picks the form:
// its operand AND 7.
enum class PcmForm : uint8_t {
    ADPCM_3906,    // 3,906.25 Hz
    ADPCM_5208,    // 5,208.33 Hz
    ADPCM_7812,    // 7,812.5 Hz
    ADPCM_10417,   // 10,416.67 Hz
    ADPCM_15625,   // 15,625 Hz: the form before any noise command
    PCM16,         // big-endian, 15,625 Hz
    PCM8,          // 15,625 Hz
};
constexpr PcmForm DEFAULT_PCM_FORM = PcmForm::ADPCM_15625;

// The form of a noise command's operand; without the 8-channel extension, and for 7
// with it, the forms past 4 play as 4.
constexpr PcmForm pcmFormOf(uint8_t operand, bool pcm8) {
    const uint8_t form = operand & 7;
    return form <= 4 || (pcm8 && form <= 6) ? static_cast<PcmForm>(form) : DEFAULT_PCM_FORM;
}

// The sample rate of a form, in Hz.
double pcmRate(PcmForm form);

// What a PCM note plays: entry bank * 96 + note of the sample file, in a form.
struct PcmSound {
    uint16_t sample = 0;
    PcmForm form = DEFAULT_PCM_FORM;
    bool operator==(const PcmSound&) const = default;
};

// A note of sample s (0-95) in the default form plays on key s + 3, as the song's
// note byte b plays on key b - 125; so a song that never changes rate or bank keeps
// the keys it always had. Every other sound a song plays gets a key of its own, one
// that no note in the default form uses: in the order the sounds are first played,
// the free keys from 127 down. There are at least 32 of them; a sound beyond the free
// keys plays on its sample's default key, as the default form.
//
// The keys are known once every sound is: the converter plays the PCM tracks once to
// find them (played), assign() gives them their keys, and the tracks are converted
// again, now looking each note's key up (keyOf).
class PcmKeys {
public:
    // A note plays sound. Returns the key it would have by default.
    uint8_t played(PcmSound sound);
    void assign();
    uint8_t keyOf(PcmSound sound) const;

    // Every key a note plays on, with the sound it plays, in key order.
    struct KeySound {
        uint8_t key;
        PcmSound sound;
    };
    std::vector<KeySound> keys() const;

private:
    static constexpr int NO_KEY = -1;
    static uint8_t defaultKey(PcmSound sound) { return static_cast<uint8_t>(sound.sample % 96 + 3); }
    static bool hasDefaultKey(PcmSound sound) { return sound.sample < 96 && sound.form == DEFAULT_PCM_FORM; }

    std::vector<PcmSound> m_played;   // the sounds without a default key, in the order first played
    bool m_defaultUsed[128] = {};     // keys that default notes play on
    std::vector<int> m_assigned;      // the key of each of m_played, or NO_KEY
};

}   // namespace karvo
