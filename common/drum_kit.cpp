// The kit's keys, decoded from the sample file, and their zones.
#include "drum_kit.h"

#include <algorithm>
#include <cmath>

#include "fm_instrument.h"

namespace karvo {
namespace {

PdxEncoding encodingOf(PcmForm form) {
    switch (form) {
    case PcmForm::PCM16: return PdxEncoding::PCM16;
    case PcmForm::PCM8: return PdxEncoding::PCM8;
    default: return PdxEncoding::ADPCM;
    }
}

std::string sampleName(const PcmSound& sound) {
    static constexpr const char* FORMS[] = {"3.9k", "5.2k", "7.8k", "10.4k", "", "16-bit", "8-bit"};
    std::string name = "sample " + std::to_string(sound.sample);
    const char* form = FORMS[static_cast<size_t>(sound.form)];
    if (*form != '\0') {
        name += std::string(" ") + form;
    }
    return name;
}

// The sound chip holds each sample until the next, and what the song sounds like has
// the highs that makes. The kit's samples are those steps at 31,250 Hz, a whole
// multiple of every rate the chip plays at, so each is held for a whole number of
// points and plays at its own pitch.
constexpr uint32_t KIT_RATE = 31250;

std::vector<int16_t> held(const std::vector<int16_t>& samples, PcmForm form) {
    const auto points = static_cast<size_t>(std::lround(KIT_RATE / pcmRate(form)));
    std::vector<int16_t> out;
    out.reserve(samples.size() * points);
    for (const int16_t v : samples) {
        out.insert(out.end(), points, v);
    }
    return out;
}

// The sound chip's output of a sample follows the track's volume linearly: an
// attenuation a of 0 to 127 leaves (127 - a) / 127 of it. The MIDI file's volume
// controller carries the attenuation in the FM chip's 0.75 dB steps, which the
// default modulator plays at 0.75 a dB. An instrument modulator of the same sources
// replaces it; this amount scales that curve down to the sample's linear one, the
// closest over the volume steps songs use (a from 2 to 42): within 0.6 dB in fluidsynth.
constexpr int16_t VOLUME_AMOUNT = 105;   // centibels at the far end of the curve; the default has 960

}   // namespace

DrumKit::DrumKit(std::span<const uint8_t> file, const PdxTable& table, const PcmKeys& keys) {
    std::vector<PcmKeys::KeySound> sounds = keys.keys();
    // The first bank's samples that no note plays are on their keys too, so that a
    // note moved in a sequencer still finds its sample.
    for (uint16_t s = 0; s < PDX_NOTES && s < table.samples.size(); ++s) {
        const PcmSound sound{s, DEFAULT_PCM_FORM};
        const auto key = static_cast<uint8_t>(s + 3);
        bool taken = false;
        for (const auto& k : sounds) {
            taken = taken || k.key == key;
        }
        if (!taken) {
            sounds.push_back({key, sound});
        }
    }
    for (const auto& [key, sound] : sounds) {
        if (sound.sample >= table.samples.size()) {
            continue;
        }
        const std::span<const uint8_t> bytes = pdxSampleBytes(file, table.samples[sound.sample]);
        std::vector<int16_t> points = held(decodePdxSample(bytes, encodingOf(sound.form)), sound.form);
        if (!points.empty()) {
            m_keys.push_back({key, sound, std::move(points)});
        }
    }
    std::sort(m_keys.begin(), m_keys.end(), [](const Key& a, const Key& b) { return a.key < b.key; });
}

void DrumKit::addTo(SoundFont& font, bool alsoOnProgramZero) const {
    Instrument instrument{"song drums", Zone{}, {}};
    // A note plays its sample once, as recorded, and its note-off stops it, as the
    // sound chip's key-off does.
    instrument.global->generators.push_back(Generator::value(Generator::SAMPLE_MODES, Generator::NO_LOOP));
    instrument.global->modulators.push_back(
        {Modulator::MIDI_CC | Modulator::NEGATIVE | Modulator::CONCAVE | 7, Generator::INITIAL_ATTENUATION,
         VOLUME_AMOUNT, Modulator::NO_SOURCE, 0});
    instrument.global->modulators.insert(instrument.global->modulators.end(), SWITCHED_PAN.begin(),
                                         SWITCHED_PAN.end());
    for (const Key& k : m_keys) {
        font.samples.push_back({sampleName(k.sound), k.points, KIT_RATE, k.key, 0, 0, 0});
        Zone zone;
        zone.target = font.samples.size() - 1;
        zone.generators.push_back(Generator::range(Generator::KEY_RANGE, k.key, k.key));
        instrument.zones.push_back(std::move(zone));
    }
    font.instruments.push_back(std::move(instrument));
    // The percussion channel's kit; and the same on bank 0, program 0, where a player
    // starts every channel and where some play the percussion channel from.
    for (const uint16_t bank : {uint16_t{128}, uint16_t{0}}) {
        if (bank == 0 && !alsoOnProgramZero) {
            break;
        }
        Preset preset{"song drums", 0, bank, std::nullopt, {}};
        preset.zones.push_back({font.instruments.size() - 1, {}, {}});
        font.presets.push_back(std::move(preset));
    }
}

}   // namespace karvo
