// The song's drum kit: the samples of its PCM sample file as a SoundFont percussion
// preset, each key the MIDI file's PCM notes play on mapped to the sample and form
// they play there.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pcm_keys.h"
#include "pdx.h"
#include "soundfont.h"

namespace karvo {

class DrumKit {
public:
    // Every sample of the file's first bank on its default key (sample + 3), in the
    // default form, and every other sound of keys on its own key. Entries the table
    // leaves empty, or whose bytes decode to nothing, make no key.
    DrumKit(std::span<const uint8_t> file, const PdxTable& table, const PcmKeys& keys);

    bool empty() const { return m_keys.empty(); }
    size_t keys() const { return m_keys.size(); }

    // Adds the kit to font: a sample for each key, one instrument, and the preset the
    // percussion channel plays, bank 128, program 0, with, if asked, its copy on bank 0,
    // program 0. The kit's points stay here: it must outlive font.
    void addTo(SoundFont& font, bool alsoOnProgramZero) const;

private:
    struct Key {
        uint8_t key;
        PcmSound sound;
        std::vector<int16_t> points;
    };
    std::vector<Key> m_keys;
};

}   // namespace karvo
