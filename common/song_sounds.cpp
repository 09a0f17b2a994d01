// Putting the voices and the kit together.
#include "song_sounds.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "drum_kit.h"
#include "fm_instrument.h"
#include "soundfont.h"
#include "voice_decoder.h"

namespace karvo {
namespace {

// The length no key-on part may pass so that all of them fit the budget.
double keyOnLimit(const std::map<uint8_t, std::vector<FmKeyUse>>& programs, double budget) {
    std::vector<double> lengths;
    for (const auto& [program, keys] : programs) {
        for (const FmKeyUse& k : keys) {
            lengths.push_back(std::min(k.heldSeconds, MAX_KEY_ON_SECONDS));
        }
    }
    std::sort(lengths.begin(), lengths.end());
    double below = 0.0;   // the lengths shorter than the limit, in all
    for (size_t i = 0; i < lengths.size(); ++i) {
        const size_t rest = lengths.size() - i;
        if (below + lengths[i] * double(rest) > budget) {
            return (budget - below) / double(rest);
        }
        below += lengths[i];
    }
    return MAX_KEY_ON_SECONDS;
}

// A song that plays more keys than the soundfont renders has some of each voice's keys,
// evenly spread, and the keys between played on the nearest, as keys the song does not
// play are. A voice renders one key at least: under a bound below the 128 programs a
// song can select (a fuzzer's), the programs past it are left out.
void keepWithin(std::map<uint8_t, std::vector<FmKeyUse>>& programs, size_t most) {
    while (programs.size() > most) {
        programs.erase(std::prev(programs.end()));
    }
    size_t keys = 0;
    for (const auto& [program, uses] : programs) {
        keys += std::max<size_t>(1, uses.size());
    }
    if (keys <= most) {
        return;
    }
    const size_t each = most / programs.size();
    for (auto& [program, uses] : programs) {
        if (uses.size() > each) {
            std::vector<FmKeyUse> kept;
            for (size_t i = 0; i < each; ++i) {
                kept.push_back(uses[i * uses.size() / each]);
            }
            uses = std::move(kept);
        }
    }
}

constexpr const char* PITCH_NOTE =
    "The FM voices sound each MIDI key at the song's pitch, an octave above the key's standard pitch.";

// Eight silent points, the least a sample holds for players to loop over nothing.
constexpr std::array<int16_t, 8> SILENCE{};

void addSilentKit(SoundFont& font) {
    font.samples.push_back({"no samples", SILENCE, 31250, 60, 0, 0, 0});
    Instrument none{"no samples", std::nullopt, {}};
    none.zones.push_back({font.samples.size() - 1, {}, {}});
    font.instruments.push_back(std::move(none));
    Preset kit{"no samples", 0, 128, std::nullopt, {}};
    kit.zones.push_back({font.instruments.size() - 1, {}, {}});
    font.presets.push_back(std::move(kit));
}

}   // namespace

void SongSounds::setSamples(std::vector<uint8_t> file, PdxTable table) {
    m_sampleFile = std::move(file);
    m_sampleTable = std::move(table);
}

SongSounds::Built SongSounds::build(const MdxImage& image, const std::string& title, const PcmKeys& pcmKeys,
                                    const RunContext& bounds, bool standardPitch) {
    decodeVoiceRecords(image, std::string(), m_voices);
    std::vector<FmInstrument> instruments;
    std::vector<uint8_t> programs;
    if (m_voices.anyRecorded()) {
        std::map<uint8_t, std::vector<FmKeyUse>> used = m_use.programs();
        keepWithin(used, bounds.maxRenderedKeys);
        const double limit = keyOnLimit(used, bounds.keyOnBudgetSeconds);
        for (auto& [program, keys] : used) {
            for (FmKeyUse& k : keys) {
                k.heldSeconds = std::min(k.heldSeconds, limit);
            }
            instruments.emplace_back(m_voices.voice(program), m_voices.lfo(program), std::move(keys),
                                     standardPitch ? 0 : SONG_PITCH_SHIFT);
            programs.push_back(program);
        }
    }
    const DrumKit kit(m_sampleFile, m_sampleTable, pcmKeys);
    Built built{{}, instruments.size(), kit.keys()};
    if (built.empty()) {
        return built;
    }

    SoundFont font;
    font.name = title.empty() ? "MDX song" : title;
    if (!instruments.empty() && !standardPitch) {
        font.comment = PITCH_NOTE;
    }
    for (size_t i = 0; i < instruments.size(); ++i) {
        instruments[i].addTo(font, "voice " + std::to_string(programs[i]), programs[i]);
    }
    // Players start every channel on bank 0, program 0, and the percussion channel on
    // bank 128, program 0, and say so when a soundfont has neither. Without a voice of
    // its own there, program 0 plays the kit, or else the lowest voice; without a kit,
    // the percussion channel gets a silent one, as the song has no samples to play.
    const bool programZeroFree = programs.empty() || programs.front() != 0;
    if (!kit.empty()) {
        kit.addTo(font, programZeroFree);
    } else {
        if (programZeroFree) {
            Preset lowest = font.presets.front();
            lowest.program = 0;
            font.presets.push_back(std::move(lowest));
        }
        addSilentKit(font);
    }
    if (std::optional<std::vector<uint8_t>> bytes = buildSoundFont(font)) {
        built.bytes = std::move(*bytes);
    }
    return built;
}

}   // namespace karvo
