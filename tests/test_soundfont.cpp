// The SoundFont 2 writer, read back by a small RIFF reader of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "sound/sf2_helpers.h"
#include "soundfont.h"

namespace karvo {
namespace {

using test::zone;

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

uint16_t le16(View b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t le32(View b, size_t at) { return uint32_t(le16(b, at)) | uint32_t(le16(b, at + 2)) << 16; }
std::string tag(View b, size_t at) { return std::string(reinterpret_cast<const char*>(&b[at]), 4); }
Bytes bytes(View b) { return Bytes(b.begin(), b.end()); }

struct Chunk {
    std::string tag;
    std::string type;   // of a RIFF or LIST chunk
    View body;          // a RIFF or LIST chunk's after its type
    std::vector<Chunk> children;
};

// Every chunk in bytes, each length checked against what holds it; odd ones padded.
std::vector<Chunk> readChunks(View bytes) {
    std::vector<Chunk> chunks;
    size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 8 || le32(bytes, pos + 4) > bytes.size() - pos - 8) {
            ADD_FAILURE() << "chunk at " << pos << " runs past its parent";
            break;
        }
        const uint32_t length = le32(bytes, pos + 4);
        Chunk c{tag(bytes, pos), "", bytes.subspan(pos + 8, length), {}};
        if (c.tag == "RIFF" || c.tag == "LIST") {
            c.type = tag(c.body, 0);
            c.body = c.body.subspan(4);
            c.children = readChunks(c.body);
        }
        chunks.push_back(c);
        pos += 8 + length + length % 2;
    }
    EXPECT_EQ(pos, bytes.size()) << "the last chunk's pad byte is missing";
    return chunks;
}

std::vector<std::string> tags(const std::vector<Chunk>& chunks) {
    std::vector<std::string> out;
    for (const Chunk& c : chunks) {
        out.push_back(c.tag == "LIST" ? "LIST " + c.type : c.tag);
    }
    return out;
}

// The file's INFO, smpl and the nine pdta lists by tag, after checking how they nest.
struct Parsed {
    std::vector<Chunk> top;
    std::map<std::string, View> info;
    std::map<std::string, View> pdta;
    View smpl;
};

Parsed parse(const Bytes&& file) = delete;   // the views would outlive the bytes
Parsed parse(const Bytes& file) {
    Parsed p;
    p.top = readChunks(file);
    if (p.top.size() != 1 || p.top[0].tag != "RIFF" || p.top[0].type != "sfbk" ||
        tags(p.top[0].children) != std::vector<std::string>{"LIST INFO", "LIST sdta", "LIST pdta"}) {
        ADD_FAILURE() << "not RIFF sfbk { INFO, sdta, pdta }";
        return p;
    }
    const std::vector<Chunk>& lists = p.top[0].children;
    for (const Chunk& c : lists[0].children) {
        p.info[c.tag] = c.body;
    }
    EXPECT_EQ(tags(lists[1].children), std::vector<std::string>{"smpl"});
    p.smpl = lists[1].children.at(0).body;
    EXPECT_EQ(tags(lists[2].children), (std::vector<std::string>{"phdr", "pbag", "pmod", "pgen", "inst",
                                                                 "ibag", "imod", "igen", "shdr"}));
    for (const Chunk& c : lists[2].children) {
        p.pdta[c.tag] = c.body;
    }
    return p;
}

// The records of a pdta list, terminal record included.
std::vector<View> records(const Parsed& p, const std::string& list) {
    static const std::map<std::string, size_t> SIZES = {{"phdr", 38}, {"pbag", 4},  {"pmod", 10},
                                                        {"pgen", 4},  {"inst", 22}, {"ibag", 4},
                                                        {"imod", 10}, {"igen", 4},  {"shdr", 46}};
    const View body = p.pdta.at(list);
    const size_t size = SIZES.at(list);
    EXPECT_EQ(body.size() % size, 0u) << list;
    std::vector<View> out;
    for (size_t at = 0; size <= body.size() - at; at += size) {
        out.push_back(body.subspan(at, size));
    }
    return out;
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

// Two samples, two instruments, three presets given out of order; generators out of order.
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
        {"drums", 0, 128, std::nullopt, {zone(0, {})}},
        {"lead 2", 2, 0, zone(0, {Generator::value(Generator::COARSE_TUNE, 12)}), {zone(1, {})}},
        {"lead 1", 1, 0, std::nullopt, {zone(1, {Generator::range(Generator::KEY_RANGE, 0, 64)})}},
    };
    return f;
}

TEST(SoundFont, NestsItsChunksAsTheFormatDoesWithTerminalRecordsAtTheEnd) {
    const Bytes file = buildSoundFont(kit()).value();
    const Parsed p = parse(file);
    EXPECT_EQ(tags(p.top[0].children[0].children), (std::vector<std::string>{"ifil", "isng", "INAM"}));
    EXPECT_EQ(bytes(p.info.at("ifil")), (Bytes{2, 0, 1, 0}));   // 2.01
    EXPECT_EQ(bytes(p.info.at("isng")), (Bytes{'E', 'M', 'U', '8', '0', '0', '0', 0}));
    EXPECT_EQ(bytes(p.info.at("INAM")), (Bytes{'d', 'r', 'u', 'm', ' ', 'k', 'i', 't', 0, 0}));   // kept even

    // list, items, its terminal record's name (headers) or all zeros
    const std::vector<std::tuple<std::string, size_t, std::string>> lists = {
        {"phdr", 3, "EOP"}, {"pbag", 4, ""}, {"pmod", 0, ""},  {"pgen", 5, ""},   {"inst", 2, "EOI"},
        {"ibag", 4, ""},    {"imod", 1, ""}, {"igen", 10, ""}, {"shdr", 2, "EOS"}};
    for (const auto& [list, items, terminal] : lists) {
        const std::vector<View> r = records(p, list);
        ASSERT_EQ(r.size(), items + 1) << list;
        if (!terminal.empty()) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.back().data())), terminal);
        } else if (list != "pbag" && list != "ibag") {
            EXPECT_EQ(bytes(r.back()), Bytes(r.back().size(), 0)) << list;
        }
    }
}

// One level's lists, where a header holds its first bag, and the generator that links a zone.
struct Level {
    const char* headers;
    size_t bagAt;
    const char* bags;
    const char* modulators;
    const char* generators;
    uint16_t link;
};

TEST(SoundFont, BagsRunInOrderToTheRecordCountsAndKeepTheGeneratorOrderReadersNeed) {
    const Bytes file = buildSoundFont(kit()).value();
    const Parsed p = parse(file);
    for (const Level& level :
         {Level{"phdr", 24, "pbag", "pmod", "pgen", 41}, Level{"inst", 20, "ibag", "imod", "igen", 53}}) {
        const std::vector<View> headers = records(p, level.headers);
        const std::vector<View> bags = records(p, level.bags);
        const std::vector<View> gens = records(p, level.generators);
        std::vector<size_t> firstBags;
        for (const View& h : headers) {
            firstBags.push_back(le16(h, level.bagAt));
        }
        ASSERT_TRUE(std::is_sorted(firstBags.begin(), firstBags.end())) << level.headers;
        ASSERT_EQ(firstBags.back(), bags.size() - 1) << level.headers;
        EXPECT_EQ(le16(bags.back(), 0), gens.size() - 1) << level.bags;
        EXPECT_EQ(le16(bags.back(), 2), records(p, level.modulators).size() - 1) << level.bags;
        for (size_t b = 0; b + 1 < bags.size(); ++b) {
            const size_t first = le16(bags[b], 0);
            const size_t end = le16(bags[b + 1], 0);
            ASSERT_LE(first, end) << level.bags << " " << b;
            ASSERT_LE(le16(bags[b], 2), le16(bags[b + 1], 2)) << level.bags << " " << b;
            for (size_t g = first; g < end; ++g) {
                const uint16_t number = le16(gens[g], 0);
                if (number == Generator::KEY_RANGE) {
                    EXPECT_EQ(g, first) << level.generators << " keyRange not first in bag " << b;
                } else if (number == Generator::VEL_RANGE) {
                    EXPECT_TRUE(g == first ||
                                (g == first + 1 && le16(gens[first], 0) == Generator::KEY_RANGE))
                        << level.generators << " velRange misplaced in bag " << b;
                } else if (number == level.link) {
                    EXPECT_EQ(g, end - 1) << level.generators << " link not last in bag " << b;
                }
            }
            // Only a header's first zone may go without a link: it is the global zone.
            const bool linked = end > first && le16(gens[end - 1], 0) == level.link;
            const bool firstOfHeader = std::find(firstBags.begin(), firstBags.end(), b) != firstBags.end();
            EXPECT_TRUE(linked || firstOfHeader) << level.bags << " " << b;
        }
    }
}

TEST(SoundFont, FollowsEachSampleWithFortySixZerosAndPointsItsHeaderThere) {
    const Bytes file = buildSoundFont(kit()).value();
    const Parsed p = parse(file);
    const std::vector<View> shdr = records(p, "shdr");
    // start, end, loop start, loop end; the snare has no loop and gets the whole sample
    const std::array<std::array<uint32_t, 4>, 2> positions = {{{0, 5, 1, 4}, {51, 54, 51, 54}}};
    const std::array<std::span<const int16_t>, 2> points = {KICK, SNARE};
    ASSERT_EQ(p.smpl.size(), 2 * (5 + 46 + 3 + 46u));
    for (size_t i = 0; i < 2; ++i) {
        for (size_t field = 0; field < 4; ++field) {
            EXPECT_EQ(le32(shdr[i], 20 + 4 * field), positions[i][field]) << i << " field " << field;
        }
        EXPECT_EQ(le32(shdr[i], 36), 15625u);   // sample rate
        EXPECT_EQ(shdr[i][40], 36);             // original key
        EXPECT_EQ(int8_t(shdr[i][41]), -7);     // pitch correction
        EXPECT_EQ(le16(shdr[i], 42), 0);        // no linked sample
        EXPECT_EQ(le16(shdr[i], 44), 1);        // mono
        const size_t start = positions[i][0];
        for (size_t k = 0; k < points[i].size(); ++k) {
            EXPECT_EQ(int16_t(le16(p.smpl, 2 * (start + k))), points[i][k]) << i << " point " << k;
        }
        for (size_t k = positions[i][1]; k < positions[i][1] + 46; ++k) {
            EXPECT_EQ(le16(p.smpl, 2 * k), 0) << i << " zero point " << k;
        }
    }
}

TEST(SoundFont, WritesPresetsByBankThenProgramEachWithItsOwnZones) {
    const Bytes file = buildSoundFont(kit()).value();
    const Parsed p = parse(file);
    const std::vector<View> phdr = records(p, "phdr");
    const std::vector<View> pbag = records(p, "pbag");
    const std::vector<View> pgen = records(p, "pgen");
    // name, program, bank, the instrument of its last zone
    const std::vector<std::tuple<std::string, uint16_t, uint16_t, uint16_t>> expected = {
        {"lead 1", 1, 0, 1}, {"lead 2", 2, 0, 1}, {"drums", 0, 128, 0}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [name, program, bank, instrument] = expected[i];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(phdr[i].data())), name);
        EXPECT_EQ(le16(phdr[i], 20), program) << name;
        EXPECT_EQ(le16(phdr[i], 22), bank) << name;
        const size_t lastGen = le16(pbag[le16(phdr[i + 1], 24)], 0) - 1;
        EXPECT_EQ(le16(pgen[lastGen], 0), 41) << name;
        EXPECT_EQ(le16(pgen[lastGen], 2), instrument) << name;
    }
}

Bytes name20(const std::string& name) {
    Bytes out(name.begin(), name.end());
    out.resize(20, 0);
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(SoundFont, WritesTheRecordsOfAOneNoteFontByteForByte) {
    const std::array<int16_t, 4> points = {1, -1, 2, -2};
    SoundFont f;
    f.samples = {sample("s", points, 1, 3)};
    f.samples[0].sampleRate = 44100;
    f.samples[0].originalKey = 60;
    f.samples[0].pitchCorrection = 0;
    f.instruments = {{"i", std::nullopt, {zone(0, {LOOP, Generator::range(Generator::KEY_RANGE, 60, 72)})}}};
    f.presets = {{"p", 5, 0, zone(0, {}, {Modulator::pitchWheel(25400)}), {zone(0, {})}}};
    const Bytes file = buildSoundFont(f).value();
    const Parsed p = parse(file);
    const Bytes zeros12(12, 0);
    const Bytes expected = join({
        {'p', 'h', 'd', 'r', 76, 0, 0, 0},
        name20("p"),
        {5, 0, 0, 0, 0, 0},
        zeros12,   // program 5, bank 0, first bag 0
        name20("EOP"),
        {0, 0, 0, 0, 2, 0},
        zeros12,   // bags end at 2
        {'p', 'b', 'a', 'g', 12, 0, 0, 0},
        {0, 0, 0, 0},   // global zone: generator 0, modulator 0
        {0, 0, 1, 0},   // zone: generator 0, modulator 1
        {1, 0, 1, 0},   // end: 1 generator, 1 modulator
        {'p', 'm', 'o', 'd', 20, 0, 0, 0},
        {0x0E, 0x02, 52, 0, 0x38, 0x63, 0x10, 0, 0, 0},   // pitch wheel to fineTune, 25400, by sensitivity
        Bytes(10, 0),                                     // end
        {'p', 'g', 'e', 'n', 8, 0, 0, 0},
        {41, 0, 0, 0},   // instrument 0
        {0, 0, 0, 0},    // end
        {'i', 'n', 's', 't', 44, 0, 0, 0},
        name20("i"),
        {0, 0},   // first bag 0
        name20("EOI"),
        {1, 0},   // bags end at 1
        {'i', 'b', 'a', 'g', 8, 0, 0, 0},
        {0, 0, 0, 0},   // zone: generator 0, modulator 0
        {3, 0, 0, 0},   // end: 3 generators, no modulator
        {'i', 'm', 'o', 'd', 10, 0, 0, 0},
        Bytes(10, 0),   // end
        {'i', 'g', 'e', 'n', 16, 0, 0, 0},
        {43, 0, 60, 72},   // keyRange 60-72, moved first
        {54, 0, 1, 0},     // sampleModes: loop continuously
        {53, 0, 0, 0},     // sampleID 0, last
        {0, 0, 0, 0},      // end
        {'s', 'h', 'd', 'r', 92, 0, 0, 0},
        name20("s"),
        {0, 0, 0, 0, 4, 0, 0, 0},    // points 0 to 4
        {1, 0, 0, 0, 3, 0, 0, 0},    // loop 1 to 3
        {0x44, 0xAC, 0, 0, 60, 0},   // 44,100 Hz, key 60, no correction
        {0, 0, 1, 0},                // no link, mono
        name20("EOS"),
        Bytes(26, 0),
    });
    const View pdta = p.top.at(0).children.at(2).body;
    EXPECT_EQ(bytes(pdta), expected);
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
        f.name = std::string(300, 'x') + given;
        f.software = ka;
        const Bytes file = buildSoundFont(f).value();
        const Parsed p = parse(file);
        EXPECT_EQ(Bytes(p.pdta.at("shdr").begin(), p.pdta.at("shdr").begin() + 20), name20(kept)) << given;
        EXPECT_EQ(p.info.at("INAM").size(), 256u);
        EXPECT_EQ(p.info.at("INAM")[254], 'x');
        EXPECT_EQ(p.info.at("INAM")[255], 0);
        EXPECT_EQ(bytes(p.info.at("ISFT")), (Bytes{0xE3, 0x82, 0xAB, 0}));
        EXPECT_EQ(p.info.count("ICMT"), 0u);
    }
}

std::vector<Generator>& leadGenerators(SoundFont& f) { return f.instruments[1].zones[0].generators; }

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
        {"the caller's sampleID",
         [](SoundFont& f) {
             leadGenerators(f).push_back({53, 0});
         }},
        {"the caller's instrument",
         [](SoundFont& f) {
             f.presets[0].global = zone(0, {{41, 0}});
         }},
        {"a generator twice", [](SoundFont& f) { leadGenerators(f).push_back(LOOP); }},
        {"an unused generator",
         [](SoundFont& f) {
             leadGenerators(f).push_back({14, 0});
         }},
        {"no such generator",
         [](SoundFont& f) {
             leadGenerators(f).push_back({200, 0});
         }},
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

TEST(SoundFont, RefusesCountsPastItsSixteenBitIndices) {
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
}

TEST(SoundFont, RefusesSampleDataPastFourGibibytes) {
    // 65,536 samples of 32,768 points, 46 zeros after each: 4 GiB and 6 MiB of smpl. The
    // points are shared, so nothing that large is made.
    const std::vector<int16_t> points(32768);
    SoundFont f = kit();
    f.samples.assign(65536, sample("big", points, 0, 0));
    EXPECT_FALSE(buildSoundFont(f));
}

}   // namespace
}   // namespace karvo
