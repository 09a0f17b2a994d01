// The SoundFont 2 writer: a bank described as plain values in, the file's bytes out.
//
//   RIFF "sfbk"
//     LIST "INFO"  ifil (2.01), isng "EMU8000", INAM, [ICMT], [ISFT]
//     LIST "sdta"  smpl: 16-bit signed little-endian points, 46 zero points after each sample
//     LIST "pdta"  phdr pbag pmod pgen   the presets, their zones, modulators, generators
//                  inst ibag imod igen   the same for the instruments
//                  shdr                  the samples
//
// The caller names samples and instruments by their index in its own vectors; the writer
// numbers the records, orders the generators, sorts the presets and adds the terminal records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace karvo {

// One generator of a zone: a parameter number and its 16-bit amount. A range amount holds
// its low end in the low byte and its high end in the high byte.
struct Generator {
    uint16_t number = 0;
    uint16_t amount = 0;   // as stored: two's complement, or a range's two bytes

    static constexpr uint16_t PAN = 17;                   // 0.1 %, -500 left to 500 right
    static constexpr uint16_t DELAY_VOL_ENV = 33;         // timecents
    static constexpr uint16_t ATTACK_VOL_ENV = 34;        // timecents
    static constexpr uint16_t HOLD_VOL_ENV = 35;          // timecents
    static constexpr uint16_t DECAY_VOL_ENV = 36;         // timecents
    static constexpr uint16_t SUSTAIN_VOL_ENV = 37;       // centibels below full level
    static constexpr uint16_t RELEASE_VOL_ENV = 38;       // timecents
    static constexpr uint16_t KEY_RANGE = 43;             // range of MIDI keys
    static constexpr uint16_t VEL_RANGE = 44;             // range of velocities
    static constexpr uint16_t INITIAL_ATTENUATION = 48;   // centibels
    static constexpr uint16_t COARSE_TUNE = 51;           // semitones
    static constexpr uint16_t FINE_TUNE = 52;             // cents
    static constexpr uint16_t SAMPLE_MODES = 54;          // see the values below
    static constexpr uint16_t EXCLUSIVE_CLASS = 57;       // a new note cuts the class's others
    static constexpr uint16_t OVERRIDING_ROOT_KEY = 58;   // MIDI key played at the sample's pitch

    // SAMPLE_MODES amounts.
    static constexpr uint16_t NO_LOOP = 0;
    static constexpr uint16_t LOOP_CONTINUOUSLY = 1;
    static constexpr uint16_t LOOP_UNTIL_RELEASE = 3;

    static constexpr Generator value(uint16_t number, int16_t amount) {
        return {number, static_cast<uint16_t>(amount)};
    }
    static constexpr Generator range(uint16_t number, uint8_t low, uint8_t high) {
        return {number, static_cast<uint16_t>(uint32_t(low) | uint32_t(high) << 8)};
    }
};

// The 10-byte modulator record: the source scaled by amount, and by the amount source, added
// to the destination generator. A source operator:
//
//   bits 15-10 curve type: 0 linear, 1 concave, 2 convex, 3 switch
//   bit  9     polarity: 0 unipolar (0..1), 1 bipolar (-1..1)
//   bit  8     direction: 0 rising with the controller, 1 falling
//   bit  7     1: bits 6-0 are a MIDI continuous controller number
//   bits 6-0   otherwise a general controller: 0 none, 2 note-on velocity, 3 note-on key,
//              10 poly pressure, 13 channel pressure, 14 pitch wheel, 16 pitch-wheel sensitivity
struct Modulator {
    uint16_t source = 0;
    uint16_t destination = 0;   // a generator number
    int16_t amount = 0;
    uint16_t amountSource = 0;
    uint16_t transform = 0;   // 0 linear, 2 absolute value

    static constexpr uint16_t BIPOLAR = 1u << 9;
    static constexpr uint16_t NEGATIVE = 1u << 8;
    static constexpr uint16_t MIDI_CC = 1u << 7;
    static constexpr uint16_t CONCAVE = 1u << 10;
    static constexpr uint16_t CONVEX = 2u << 10;
    static constexpr uint16_t SWITCH = 3u << 10;

    static constexpr uint16_t NO_SOURCE = 0;
    static constexpr uint16_t NOTE_ON_VELOCITY = 2;
    static constexpr uint16_t NOTE_ON_KEY = 3;
    static constexpr uint16_t CHANNEL_PRESSURE = 13;
    static constexpr uint16_t PITCH_WHEEL = 14 | BIPOLAR;
    static constexpr uint16_t PITCH_WHEEL_SENSITIVITY = 16;

    // The default pitch-wheel modulator's amount: 12,700 cents at full bend and full
    // sensitivity (127), about 100 cents for each semitone of bend range.
    static constexpr int16_t DEFAULT_PITCH_WHEEL_AMOUNT = 12700;

    // The pitch-wheel modulator with another amount. A zone's modulator stands for a
    // default one whose sources and destination it matches, and players take the default
    // pitch-wheel one's destination, "initial pitch", which has no generator number, as
    // fineTune. In an instrument zone this one then replaces the default; in a preset zone
    // it adds to it.
    static constexpr Modulator pitchWheel(int16_t amount) {
        return {PITCH_WHEEL, Generator::FINE_TUNE, amount, PITCH_WHEEL_SENSITIVITY, 0};
    }
};

// A zone: the generators and modulators that apply to one linked item, or, as a global
// zone, to every zone of its instrument or preset.
struct Zone {
    size_t target = 0;   // the sample's (instrument zone) or the instrument's (preset zone) index
    std::vector<Generator> generators;
    std::vector<Modulator> modulators;
};

// A mono sample. Loop points count from the sample's first point; the loop ends before
// loopEnd. Equal loop points mean no loop: the file then gives the whole sample as the loop,
// which plays only where a zone's sampleModes asks for one.
struct Sample {
    std::string name;                  // UTF-8; cut to 19 bytes
    std::span<const int16_t> points;   // the caller's: it must outlive buildSoundFont()
    uint32_t sampleRate = 44100;
    uint8_t originalKey = 60;     // the MIDI key that plays the points as recorded
    int8_t pitchCorrection = 0;   // cents
    uint32_t loopStart = 0;
    uint32_t loopEnd = 0;
};

struct Instrument {
    std::string name;
    std::optional<Zone> global;   // its target is not used
    std::vector<Zone> zones;      // each names a sample
};

struct Preset {
    std::string name;
    uint8_t program = 0;          // 0-127
    uint16_t bank = 0;            // 0-127; 128 holds percussion kits
    std::optional<Zone> global;   // its target is not used
    std::vector<Zone> zones;      // each names an instrument
};

struct SoundFont {
    std::string name;       // INAM, UTF-8 bytes as given; cut to 255 bytes
    std::string comment;    // ICMT when not empty; cut to 65,535 bytes
    std::string software;   // ISFT when not empty; cut to 255 bytes
    std::vector<Sample> samples;
    std::vector<Instrument> instruments;
    std::vector<Preset> presets;
};

// The whole file, or nothing when the description cannot be written as it is: no samples,
// an index that names nothing, an empty instrument or preset, loop points past a sample's
// end, a generator that the writer sets itself (instrument, sampleID), one repeated in a
// zone or not allowed at its level, a program or bank out of range, two presets on the same
// bank and program, or more records or sample data than the format's 16- and 32-bit fields
// can count.
std::optional<std::vector<uint8_t>> buildSoundFont(const SoundFont& font);

}   // namespace karvo
