// The SoundFont 2 writer: a whole file byte for byte, names cut to their fields, and the
// descriptions it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sound/sf2_helpers.h"
#include "soundfont.h"

namespace karvo {
namespace {

using test::zone;

using Bytes = std::vector<uint8_t>;

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Little-endian words of 16 and 32 bits, as the records hold them.
Bytes words(std::initializer_list<int> values) {
    Bytes out;
    for (const int v : values) {
        out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
    }
    return out;
}
Bytes dwords(std::initializer_list<uint32_t> values) {
    Bytes out;
    for (const uint32_t v : values) {
        out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }
    return out;
}

// A chunk's tag and length, and a RIFF or LIST chunk's type.
Bytes head(std::string_view tag, uint32_t length, std::string_view type = "") {
    return join({Bytes(tag.begin(), tag.end()), dwords({length}), Bytes(type.begin(), type.end())});
}

// Text in a field of size bytes, zeros after it.
Bytes text(const std::string& s, size_t size) {
    Bytes out(s.begin(), s.end());
    out.resize(size, 0);
    return out;
}

// The body of the file's first chunk with this tag, or nothing; the tests' texts hold no tag.
Bytes body(const Bytes& file, std::string_view tag) {
    const auto at = std::search(file.begin(), file.end(), tag.begin(), tag.end());
    if (file.end() - at < 8) {
        return {};
    }
    const size_t length = size_t{at[4]} | size_t{at[5]} << 8 | size_t{at[6]} << 16 | size_t{at[7]} << 24;
    return Bytes(at + 8, at + 8 + std::min<std::ptrdiff_t>(std::ptrdiff_t(length), file.end() - at - 8));
}

Sample sample(std::string name, std::span<const int16_t> points, uint32_t loopStart, uint32_t loopEnd) {
    Sample s;
    s.name = std::move(name);
    s.points = points;
    s.sampleRate = 15625;
    s.originalKey = 36;
    s.pitchCorrection = -7;
    s.loopStart = loopStart;
    s.loopEnd = loopEnd;
    return s;
}

const std::array<int16_t, 5> KICK = {1000, -1000, 32767, -32768, 7};
const std::array<int16_t, 3> SNARE = {-2, 300, -5};
const Generator LOOP = Generator::value(Generator::SAMPLE_MODES, Generator::LOOP_CONTINUOUSLY);

// Two samples, two instruments, three presets given out of order; generators out of order;
// global zones with a generator and with a modulator alone.
SoundFont kit() {
    SoundFont f;
    f.name = "drum kit";
    f.samples = {sample("kick", KICK, 1, 4), sample("snare", SNARE, 0, 0)};
    f.instruments = {
        {"drums",
         zone(0, {Generator::value(Generator::EXCLUSIVE_CLASS, 1)}),
         {zone(0, {Generator::value(Generator::PAN, -300), Generator::range(Generator::VEL_RANGE, 1, 127),
                   Generator::range(Generator::KEY_RANGE, 36, 36)}),
          zone(1,
               {Generator::range(Generator::VEL_RANGE, 0, 99), Generator::value(Generator::FINE_TUNE, -5)})}},
        {"lead", std::nullopt, {zone(0, {LOOP}, {Modulator::pitchWheel(25400)})}},
    };
    f.presets = {
        {"drums", 0, 128, zone(0, {}, {Modulator::pitchWheel(-1200)}), {zone(0, {})}},
        {"lead 2", 2, 0, zone(0, {Generator::value(Generator::COARSE_TUNE, 12)}), {zone(1, {})}},
        {"lead 1", 1, 0, std::nullopt, {zone(1, {Generator::range(Generator::KEY_RANGE, 0, 64)})}},
    };
    return f;
}

// The records as the format lays them out, every field little-endian.
Bytes presetHeader(const std::string& name, int program, int bank, int firstBag) {
    return join({text(name, 20), words({program, bank, firstBag}), Bytes(12, 0)});
}
Bytes sampleHeader(const std::string& name, uint32_t start, uint32_t end, uint32_t loopStart,
                   uint32_t loopEnd) {
    // rate, original key, correction, no linked sample, mono
    return join({text(name, 20), dwords({start, end, loopStart, loopEnd, 15625}), {36, 0xF9}, words({0, 1})});
}
Bytes pitchWheel(int amount) { return words({0x020E, 52, amount, 0x10, 0}); }   // to fineTune, by sensitivity

TEST(SoundFont, WritesTheKitByteForByte) {
    const Bytes expected = join({
        head("RIFF", 874, "sfbk"),
        head("LIST", 50, "INFO"),
        join({head("ifil", 4), words({2, 1})}),   // version 2.01
        join({head("isng", 8), text("EMU8000", 8)}),
        join({head("INAM", 10), text("drum kit", 10)}),   // one more zero keeps it even
        head("LIST", 212, "sdta"),
        head("smpl", 200),   // each sample's points, then 46 zero points
        join({words({1000, -1000, 32767, -32768, 7}), Bytes(92, 0), words({-2, 300, -5}), Bytes(92, 0)}),
        head("LIST", 584, "pdta"),
        head("phdr", 152),   // by bank, then program
        join({presetHeader("lead 1", 1, 0, 0), presetHeader("lead 2", 2, 0, 1),
              presetHeader("drums", 0, 128, 3), presetHeader("EOP", 0, 0, 5)}),
        head("pbag", 24),   // each zone's first generator and modulator, then the ends
        words({0, 0, 2, 0, 3, 0, 4, 0, 4, 1, 5, 1}),
        join({head("pmod", 20), pitchWheel(-1200), Bytes(10, 0)}),
        head("pgen", 24),
        words({43, 0x4000, 41, 1}),   // lead 1: keyRange 0-64, instrument 1
        words({51, 12, 41, 1}),       // lead 2: a global zone of coarseTune 12, no link
        words({41, 0, 0, 0}),         // drums, whose global zone has no generator; the end
        head("inst", 66),
        join({text("drums", 20), words({0}), text("lead", 20), words({3}), text("EOI", 20), words({4})}),
        join({head("ibag", 20), words({0, 0, 1, 0, 5, 0, 8, 0, 10, 1})}),
        join({head("imod", 20), pitchWheel(25400), Bytes(10, 0)}),
        head("igen", 44),
        words({57, 1}),                                     // drums' global zone: exclusiveClass 1
        words({43, 0x2424, 44, 0x7F01, 17, -300, 53, 0}),   // keyRange, then velRange first; sampleID last
        words({44, 0x6300, 52, -5, 53, 1}),                 // velRange first with no keyRange
        words({54, 1, 53, 0, 0, 0}),                        // lead: sampleModes loop; the end
        head("shdr", 138),
        sampleHeader("kick", 0, 5, 1, 4),
        sampleHeader("snare", 51, 54, 51, 54),   // no loop: the whole sample
        text("EOS", 46),
    });
    EXPECT_EQ(buildSoundFont(kit()).value(), expected);
}

TEST(SoundFont, CutsNamesAndTextsToTheirFieldsOnCharacterBoundaries) {
    const std::string e = "\xC3\xA9";        // é, 2 bytes
    const std::string ka = "\xE3\x82\xAB";   // カ, 3 bytes
    // name given, name field's bytes before its zeros
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {std::string(19, 'a'), std::string(19, 'a')},
        {std::string(25, 'a'), std::string(19, 'a')},
        {std::string(17, 'a') + e, std::string(17, 'a') + e},
        {std::string(18, 'a') + e, std::string(18, 'a')},
        {ka + ka + ka + ka + ka + ka + ka, ka + ka + ka + ka + ka + ka},
    };
    for (const auto& [given, kept] : cases) {
        SoundFont f = kit();
        f.samples[0].name = given;
        Bytes name = body(buildSoundFont(f).value(), "shdr");
        name.resize(20);
        EXPECT_EQ(name, text(kept, 20)) << given;
    }
    SoundFont f = kit();
    f.name = std::string(300, 'x');
    f.software = ka;
    const Bytes file = buildSoundFont(f).value();
    EXPECT_EQ(body(file, "INAM"), text(std::string(255, 'x'), 256));
    EXPECT_EQ(body(file, "ISFT"), (Bytes{0xE3, 0x82, 0xAB, 0}));
    EXPECT_EQ(body(file, "ICMT"), Bytes{});   // no comment given
}

void addToLead(SoundFont& f, Generator g) { f.instruments[1].zones[0].generators.push_back(g); }

TEST(SoundFont, RefusesADescriptionItCannotWriteAsGiven) {
    const std::vector<std::pair<const char*, void (*)(SoundFont&)>> cases = {
        {"no samples", [](SoundFont& f) { f = SoundFont{}; }},
        {"an empty sample", [](SoundFont& f) { f.samples[1].points = {}; }},
        {"a rate of 0", [](SoundFont& f) { f.samples[0].sampleRate = 0; }},
        {"original key 128", [](SoundFont& f) { f.samples[0].originalKey = 128; }},
        {"a loop past the end", [](SoundFont& f) { f.samples[0].loopEnd = 6; }},
        {"a loop ending before it starts", [](SoundFont& f) { f.samples[0].loopStart = 5; }},
        {"no sample there", [](SoundFont& f) { f.instruments[0].zones[0].target = 2; }},
        {"no instrument there", [](SoundFont& f) { f.presets[0].zones[0].target = 2; }},
        {"an instrument without zones", [](SoundFont& f) { f.instruments[1].zones.clear(); }},
        {"the caller's sampleID", [](SoundFont& f) { addToLead(f, Generator::value(53, 0)); }},
        {"the caller's instrument",
         [](SoundFont& f) {
             f.presets[0].global = zone(0, {Generator{41, 0}});
         }},
        {"a generator twice", [](SoundFont& f) { addToLead(f, LOOP); }},
        {"an unused generator", [](SoundFont& f) { addToLead(f, Generator::value(14, 0)); }},
        {"no such generator", [](SoundFont& f) { addToLead(f, Generator::value(200, 0)); }},
        {"sampleModes in a preset", [](SoundFont& f) { f.presets[0].zones[0].generators.push_back(LOOP); }},
        {"program 128", [](SoundFont& f) { f.presets[0].program = 128; }},
        {"bank 129", [](SoundFont& f) { f.presets[0].bank = 129; }},
        {"two presets on bank 0 program 1", [](SoundFont& f) { f.presets[1].program = 1; }},
    };
    ASSERT_TRUE(buildSoundFont(kit()));
    for (const auto& [what, change] : cases) {
        SoundFont f = kit();
        change(f);
        EXPECT_FALSE(buildSoundFont(f)) << what;
    }
}

TEST(SoundFont, RefusesCountsPastItsSixteenBitIndicesAndDataPastFourGibibytes) {
    // One instrument of n zones, each with the generators given and its sampleID, and a
    // global zone when there are modulators to hold.
    auto instrument = [](size_t n, std::vector<Generator> generators, size_t modulators) {
        SoundFont f = kit();
        f.presets.clear();
        f.instruments = {{"many", std::nullopt, std::vector<Zone>(n, zone(0, generators))}};
        if (modulators > 0) {
            f.instruments[0].global = zone(0, {}, std::vector<Modulator>(modulators));
        }
        return buildSoundFont(f);
    };
    EXPECT_TRUE(instrument(0xFFFF, {}, 0));        // 65,535 bags and generators: the most
    EXPECT_FALSE(instrument(0xFFFF, {}, 1));       // 65,536 bags
    EXPECT_FALSE(instrument(0x8000, {LOOP}, 0));   // 65,536 generators
    EXPECT_TRUE(instrument(1, {}, 0xFFFF));
    EXPECT_FALSE(instrument(1, {}, 0x10000));   // 65,536 modulators

    // 65,536 samples of 32,768 points, 46 zeros after each: 4 GiB and 6 MiB of smpl. The
    // points are shared, so nothing that large is made.
    const std::vector<int16_t> points(32768);
    SoundFont f = kit();
    f.samples.assign(65536, sample("big", points, 0, 0));
    EXPECT_FALSE(buildSoundFont(f));
}

}   // namespace
}   // namespace karvo
