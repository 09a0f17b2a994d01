// The song's drum kit: which key plays which sample in which form, held as the chip
// holds it, and the zones that play it.
#include <gtest/gtest.h>

#include "bytes.h"
#include "drum_kit.h"
#include "mdx_builder.h"

namespace karvo {
namespace {

using test::Bytes;

// A sample file whose entries 0 and 1 hold the bytes given; the rest are empty.
Bytes sampleFile(const Bytes& first, const Bytes& second) {
    Bytes file(PDX_BLOCK_SIZE, 0);
    writeBe32(&file[0], static_cast<uint32_t>(file.size()));
    writeBe32(&file[4], static_cast<uint32_t>(first.size()));
    file.insert(file.end(), first.begin(), first.end());
    writeBe32(&file[8], static_cast<uint32_t>(file.size()));
    writeBe32(&file[12], static_cast<uint32_t>(second.size()));
    file.insert(file.end(), second.begin(), second.end());
    return file;
}

std::vector<int16_t> heldFor(const std::vector<int16_t>& samples, size_t points) {
    std::vector<int16_t> out;
    for (const int16_t v : samples) {
        out.insert(out.end(), points, v);
    }
    return out;
}

TEST(DrumKit, PutsEachSampleAndFormOnItsKeyHeldAt31250Hz) {
    const Bytes first = {0x17, 0x7F};
    const Bytes second = {0x4C};
    const Bytes file = sampleFile(first, second);
    const PdxTable table = readPdxTable(file).value();
    PcmKeys keys;
    keys.played({0, DEFAULT_PCM_FORM});
    keys.played({1, PcmForm::ADPCM_7812});
    keys.assign();

    SoundFont font;
    const DrumKit kit(file, table, keys);
    kit.addTo(font, true);
    ASSERT_EQ(font.samples.size(), 3u);   // sample 0 on key 3, sample 1 on 4 and at 7.8 kHz on 127
    const struct {
        uint8_t key;
        std::vector<int16_t> points;
    } expected[] = {
        {3, heldFor(decodeAdpcm(first), 2)},    // 15,625 Hz: each held for two points
        {4, heldFor(decodeAdpcm(second), 2)},   // played by no note, on its key all the same
        {127, heldFor(decodeAdpcm(second), 4)},
    };
    for (size_t k = 0; k < std::size(expected); ++k) {
        const Sample& s = font.samples[k];
        EXPECT_EQ(s.originalKey, expected[k].key);
        EXPECT_EQ(s.sampleRate, 31250u);
        EXPECT_EQ(std::vector<int16_t>(s.points.begin(), s.points.end()), expected[k].points) << k;
        EXPECT_EQ(s.loopStart, s.loopEnd);   // no loop
    }
    ASSERT_EQ(font.instruments.size(), 1u);
    const Instrument& drums = font.instruments[0];
    ASSERT_EQ(drums.zones.size(), 3u);
    EXPECT_EQ(drums.zones[2].target, 2u);
    EXPECT_EQ(drums.zones[2].generators[0].amount, 127 | 127 << 8);   // keyRange 127-127
    // Played once, without a loop, and the volume controller's curve made shallow.
    ASSERT_TRUE(drums.global.has_value());
    EXPECT_EQ(drums.global->generators[0].number, Generator::SAMPLE_MODES);
    EXPECT_EQ(drums.global->generators[0].amount, Generator::NO_LOOP);
    ASSERT_EQ(drums.global->modulators.size(), 3u);   // volume, then the pan's two sides
    EXPECT_EQ(drums.global->modulators[0].destination, Generator::INITIAL_ATTENUATION);
    ASSERT_EQ(font.presets.size(), 2u);
    EXPECT_EQ(font.presets[0].bank, 128);   // the percussion channel's
    EXPECT_EQ(font.presets[0].program, 0);
    EXPECT_EQ(font.presets[1].bank, 0);   // where a player starts every channel
    EXPECT_EQ(font.presets[1].program, 0);
    EXPECT_TRUE(buildSoundFont(font).has_value());
    // Where an FM voice takes bank 0, program 0, the kit leaves it.
    SoundFont withVoice;
    kit.addTo(withVoice, false);
    ASSERT_EQ(withVoice.presets.size(), 1u);
    EXPECT_EQ(withVoice.presets[0].bank, 128);
}

TEST(DrumKit, IsEmptyForASampleFileWithoutSamples) {
    const Bytes file(PDX_BLOCK_SIZE, 0);
    PcmKeys keys;
    keys.played({0, DEFAULT_PCM_FORM});
    keys.assign();
    EXPECT_TRUE(DrumKit(file, readPdxTable(file).value(), keys).empty());
}

}   // namespace
}   // namespace karvo
