// The song's own sounds for -sf2, gathered while a run converts it and written as one
// SoundFont: its FM voices, rendered by our model of the FM chip on every key the MIDI
// file plays them on (bank 0, each on the program the MIDI file selects it by), and its
// PCM samples as the percussion channel's drum kit (bank 128, program 0).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "mdx_image.h"
#include "pcm_keys.h"
#include "pdx.h"
#include "run_context.h"
#include "song_voices.h"
#include "voice_use.h"

namespace karvo {

class SongSounds {
public:
    // Captures reach program's voice side too.
    explicit SongSounds(VoiceSide& program) : m_voices(program) {}

    // The voice side the tracks report their LFO and noise settings to.
    VoiceSide& captures() { return m_voices; }
    // A converted chunk of the MIDI file; fm marks an FM track's.
    void addChunk(std::span<const uint8_t> chunk, bool fm) { m_use.addChunk(chunk, fm); }
    // The sample file's bytes and table, when the song has one.
    void setSamples(std::vector<uint8_t> file, PdxTable table);

    struct Built {
        std::vector<uint8_t> bytes;   // empty when the description did not fit the format
        size_t voices = 0;            // FM presets
        size_t drumKeys = 0;          // the kit's keys
        bool empty() const { return voices == 0 && drumKeys == 0; }
    };
    // The soundfont, named after title (UTF-8), once every track is converted; empty
    // when it would hold neither voices nor samples. The voices come from the image's
    // records; a song without any has no FM presets. bounds gives the rendering's.
    // standardPitch: the MIDI file's FM keys are at their standard pitch (-pitch), not
    // an octave below the song's.
    Built build(const MdxImage& image, const std::string& title, const PcmKeys& pcmKeys,
                const RunContext& bounds, bool standardPitch);

private:
    SongVoices m_voices;
    VoiceUse m_use;
    std::vector<uint8_t> m_sampleFile;
    PdxTable m_sampleTable;
};

}   // namespace karvo
