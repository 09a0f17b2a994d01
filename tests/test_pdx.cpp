// The PCM sample file: its name from the head, its table, the decoders, and the example's file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "bytes.h"
#include "pdx.h"
#include "run_helpers.h"

#ifndef KARVO_EXAMPLE_PDX
#error "KARVO_EXAMPLE_PDX must name the example's sample file"
#endif

namespace karvo {
namespace {

using test::Bytes;
using Names = std::vector<std::string>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(PdxName, IsTheHeadsBytesFromTheTitleEndToTheNextZero) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, std::string> cases[] = {
        {"t\r\n\032demo.pdx\0\x02\xa0"sv, "demo.pdx"},
        {"t\r\n\032\0\x02\xa0"sv, ""},                 // the song has none
        {"t\r\r\n\032a\r\n\032b\0"sv, "a\r\n\032b"},   // the first end counts
        {"t\r\n\032dem"sv, ""},                        // cut before the zero
        {"t\r\ndemo.pdx\0"sv, ""},                     // no title end
    };
    for (const auto& [head, name] : cases) {
        EXPECT_EQ(pdxNameInHead(bytesOf(head)), name) << head;
    }
}

TEST(PdxName, GivesTheCandidatesOfTheLastPathComponentOnly) {
    const struct {
        std::string name;
        Names candidates;
    } cases[] = {
        {"demo.pdx", {"demo.pdx", "DEMO.PDX"}},
        {"Drums", {"Drums", "Drums.PDX", "Drums.pdx", "drums", "drums.pdx", "DRUMS", "DRUMS.PDX"}},
        {"SONG.PdX", {"SONG.PdX", "song.pdx", "SONG.PDX"}},
        {"kit.pdx.bak",
         {"kit.pdx.bak", "kit.pdx.bak.PDX", "kit.pdx.bak.pdx", "KIT.PDX.BAK", "KIT.PDX.BAK.PDX"}},
        {"pdx", {"pdx", "pdx.PDX", "pdx.pdx", "PDX", "PDX.PDX"}},   // no dot: no suffix
        {".pdx", {".pdx", ".PDX"}},                                 // only a suffix
        {"...", {"...", "....PDX", "....pdx"}},
        {"../../home/me/.ssh/id_rsa", {"id_rsa", "id_rsa.PDX", "id_rsa.pdx", "ID_RSA", "ID_RSA.PDX"}},
        {"/etc/shadow", {"shadow", "shadow.PDX", "shadow.pdx", "SHADOW", "SHADOW.PDX"}},
        {"A:\\PCM\\kit.PDX", {"kit.PDX", "kit.pdx", "KIT.PDX"}},
        {"..\\../x.pdx", {"x.pdx", "X.PDX"}},
        {"\x82\xa0z\xff.pdx", {"\x82\xa0z\xff.pdx", "\x82\xa0Z\xff.PDX"}},   // only ASCII letters change
        {"", {}},
        {".", {}},
        {"..", {}},
        {"../..", {}},
        {"songs/", {}},
        {"songs\\..", {}},
        {"/", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pdxCandidates(c.name), c.candidates) << c.name;
    }
}

// ----- the table -----

struct Record {
    size_t entry;
    uint32_t offset;
    uint32_t length;
};

// A file of size bytes, 0xEE where no record is written (read as a record, that points
// past the end of any file here), with the records at their entries.
Bytes pdxFile(size_t size, const std::vector<Record>& records) {
    Bytes file(size, 0xEE);
    for (const Record& r : records) {
        writeBe32(&file[r.entry * PDX_RECORD_SIZE], r.offset);
        writeBe32(&file[r.entry * PDX_RECORD_SIZE + 4], r.length);
    }
    return file;
}

// Empty records for every entry of the given blocks, then the records.
Bytes pdxFileWithEmptyBlocks(size_t size, size_t blocks, std::vector<Record> records) {
    std::vector<Record> all;
    for (size_t e = 0; e < blocks * PDX_NOTES; ++e) {
        all.push_back({e, 0, 0});
    }
    all.insert(all.end(), records.begin(), records.end());
    return pdxFile(size, all);
}

using Entries = std::map<size_t, PdxSample>;

Entries nonEmpty(const PdxTable& table) {
    Entries entries;
    for (size_t e = 0; e < table.samples.size(); ++e) {
        if (!table.samples[e].empty()) {
            entries[e] = table.samples[e];
        }
    }
    return entries;
}

constexpr uint32_t B = PDX_BLOCK_SIZE;

TEST(PdxTable, KeepsTheRecordsInTheDataCountsTheOthersAndEndsWhereTheDataBegin) {
    constexpr size_t SIZE = 1500;   // data below 2 * 768: one block
    const struct {
        const char* what;
        Bytes file;
        size_t banks;
        Entries entries;
        uint32_t leftOut;
    } cases[] = {
        {"first, middle and last notes",
         pdxFileWithEmptyBlocks(SIZE, 1, {{0, B, 10}, {33, B + 10, 5}, {95, 1490, 10}}),
         1,
         {{0, {B, 10}}, {33, {B + 10, 5}}, {95, {1490, 10}}},
         0},
        {"a length of 0 is no sample, whatever the offset",
         pdxFileWithEmptyBlocks(SIZE, 1, {{0, B, 1}, {1, 900, 0}, {2, 0xFFFFFFFF, 0}}),
         1,
         {{0, {B, 1}}},
         0},
        {"into the table",
         pdxFileWithEmptyBlocks(SIZE, 1, {{0, B, 1}, {1, 0, 4}, {2, B - 1, 2}, {3, 100, 1}}),
         1,
         {{0, {B, 1}}},
         3},
        {"up to the end and past it",
         pdxFileWithEmptyBlocks(SIZE, 1,
                                {{0, SIZE - 4, 4}, {1, SIZE - 3, 4}, {2, SIZE, 1}, {3, SIZE + 1, 0}}),
         1,
         {{0, {SIZE - 4, 4}}},
         2},
        {"an end that wraps round 32 bits",
         pdxFileWithEmptyBlocks(SIZE, 1, {{0, B, 1}, {1, 0xFFFFFFF0, 0x20}, {2, B + 1, 0xFFFFFFFF}}),
         1,
         {{0, {B, 1}}},
         2},
        {"three banks",
         pdxFileWithEmptyBlocks(10 * B, 3, {{5, 3 * B, 8}, {96 + 5, 3 * B + 8, 8}, {287, 9 * B, B}}),
         3,
         {{5, {3 * B, 8}}, {101, {3 * B + 8, 8}}, {287, {9 * B, B}}},
         0},
        // The record in block 1 holds data lower than block 0's: the table stops there.
        {"a later block's lower data",
         pdxFileWithEmptyBlocks(10 * B, 2, {{0, 5 * B, 4}, {96, 2 * B + 10, 4}}),
         2,
         {{0, {5 * B, 4}}, {96, {2 * B + 10, 4}}},
         0},
        // Data 1 byte short of a second block: its bytes are unused, and not read as records.
        {"data between block ends",
         pdxFileWithEmptyBlocks(3 * B, 1, {{0, 2 * B - 1, 4}}),
         1,
         {{0, {2 * B - 1, 4}}},
         0},
        // Records that point into the table or past the end do not move its end: the
        // 0xEE bytes after block 0 are never read as further blocks.
        {"only bad records", pdxFile(10 * B, {{0, 0, 4}, {1, 20 * B, 4}, {2, B - 4, 8}}), 1, {}, 96},
        {"no records at all", pdxFileWithEmptyBlocks(10 * B, 1, {}), 1, {}, 0},
        // A record of block 1 that points into block 1 is left out and leaves the end alone.
        {"into a later block",
         pdxFileWithEmptyBlocks(10 * B, 2, {{0, 4 * B, 4}, {96, B + 10, 4}}),
         4,
         {{0, {4 * B, 4}}},
         96 * 2 + 1},
    };
    for (const auto& c : cases) {
        const std::optional<PdxTable> table = readPdxTable(c.file);
        ASSERT_TRUE(table) << c.what;
        EXPECT_EQ(table->samples.size() / PDX_NOTES, c.banks) << c.what;
        EXPECT_EQ(nonEmpty(*table), c.entries) << c.what;
        EXPECT_EQ(table->leftOut, c.leftOut) << c.what;
    }
}

TEST(PdxTable, RefusesAFileShorterThanOneBlock) {
    for (const size_t size : {size_t{0}, size_t{8}, size_t{B - 1}}) {
        EXPECT_FALSE(readPdxTable(Bytes(size, 0))) << size;
    }
    EXPECT_TRUE(readPdxTable(Bytes(B, 0)));
}

// ----- decoding -----

TEST(PdxDecode, ComputesTheChipsStepSizes) {
    const std::vector<uint16_t> expected = {
        16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,   45,   50,   55,   60,  66,  73,
        80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209,  230,  253,  279,  307, 337, 371,
        408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};
    const std::span<const uint16_t> steps = adpcmSteps();
    EXPECT_EQ(std::vector<uint16_t>(steps.begin(), steps.end()), expected);
}

// Nibbles in playing order, packed two a byte, the first in the low half.
Bytes nibbles(const std::vector<uint8_t>& values) {
    Bytes out((values.size() + 1) / 2, 0);
    for (size_t i = 0; i < values.size(); ++i) {
        out[i / 2] = static_cast<uint8_t>(out[i / 2] | (i % 2 == 0 ? values[i] : values[i] << 4));
    }
    return out;
}

// Every nibble once, each bit of the magnitude on its own first; signal and index
// after each, step = STEP[index before].
const std::vector<uint8_t> EVERY_NIBBLE = {0x0, 0x1, 0x2, 0x3, 0x4, 0x7, 0x9, 0xA,
                                           0xB, 0xC, 0x5, 0x6, 0xD, 0xE, 0xF, 0x8};
const std::vector<int16_t> EVERY_NIBBLE_DECODED = {
    2 * 16,      // 0 at step 16: +2; the index stays at 0
    8 * 16,      // 1: +2 +4
    18 * 16,     // 2: +2 +8
    32 * 16,     // 3: +2 +8 +4
    50 * 16,     // 4: +2 +16; index 2
    84 * 16,     // 7 at step 19: +2 +19 +9 +4; index 10
    69 * 16,     // 9 at step 41: -(5 +10); index 9
    47 * 16,     // A at step 37: -(4 +18); index 8
    18 * 16,     // B at step 34: -(4 +17 +8); index 7
    -16 * 16,    // C at step 31: -(3 +31); index 9
    34 * 16,     // 5 at step 37: +4 +37 +9; index 13
    122 * 16,    // 6 at step 55: +6 +55 +27; index 19
    -11 * 16,    // D at step 97: -(12 +97 +24); index 23
    -242 * 16,   // E at step 143: -(17 +143 +71); index 29
    -715 * 16,   // F at step 253: -(31 +253 +126 +63); index 37
    -783 * 16,   // 8 at step 544: -68; index 36
};

// Seven 7s climb to the index's top (8, 16, ..., 48, 48) and the signal's; then 8s.
const std::vector<uint8_t> TO_THE_TOP = {7, 7, 7, 7, 7, 7, 7, 8, 8, 8};
const std::vector<int16_t> TO_THE_TOP_DECODED = {
    30 * 16,   93 * 16,   229 * 16,  522 * 16,
    1153 * 16, 2047 * 16, 2047 * 16,   // 1153 + 1357 clamped; then index 56 clamped to 48
    1853 * 16, 1677 * 16, 1517 * 16,   // 8 at steps 1552, 1411, 1282: -194, -176, -160
};

const std::vector<uint8_t> TO_THE_BOTTOM = {0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0xF, 0x0};
const std::vector<int16_t> TO_THE_BOTTOM_DECODED = {
    -30 * 16,   -93 * 16,   -229 * 16,  -522 * 16,
    -1153 * 16, -2048 * 16, -2048 * 16, -1854 * 16,   // clamped twice; then 0 at step 1552: +194
};

TEST(PdxDecode, DecodesHandPickedAdpcmSamplesOfABuiltFile) {
    const Bytes every = nibbles(EVERY_NIBBLE);
    const Bytes top = nibbles(TO_THE_TOP);
    const Bytes bottom = nibbles(TO_THE_BOTTOM);
    // Bank 0 note 0, bank 0 note 95 and bank 1 note 10: two blocks, the data behind them.
    Bytes file = pdxFileWithEmptyBlocks(2 * B, 2,
                                        {{0, 2 * B, static_cast<uint32_t>(every.size())},
                                         {95, 2 * B + 8, static_cast<uint32_t>(top.size())},
                                         {106, 2 * B + 13, static_cast<uint32_t>(bottom.size())}});
    file.insert(file.end(), every.begin(), every.end());
    file.insert(file.end(), top.begin(), top.end());
    file.insert(file.end(), bottom.begin(), bottom.end());

    const std::optional<PdxTable> table = readPdxTable(file);
    ASSERT_TRUE(table);
    ASSERT_EQ(table->samples.size() / PDX_NOTES, 2u);
    const struct {
        size_t entry;
        const std::vector<int16_t>& decoded;
    } cases[] = {{0, EVERY_NIBBLE_DECODED}, {95, TO_THE_TOP_DECODED}, {106, TO_THE_BOTTOM_DECODED}};
    // Each sample starts from signal 0 and index 0, whatever the one before ended on.
    for (const auto& c : cases) {
        const std::span<const uint8_t> bytes = pdxSampleBytes(file, table->samples[c.entry]);
        EXPECT_EQ(decodePdxSample(bytes, PdxEncoding::ADPCM), c.decoded) << c.entry;
    }
}

TEST(PdxDecode, ReadsTheLinearFormats) {
    const struct {
        PdxEncoding encoding;
        Bytes data;
        std::vector<int16_t> decoded;
    } cases[] = {
        {PdxEncoding::PCM16, {0x7F, 0xFF, 0x80, 0x00, 0xFF, 0xFF, 0x01, 0x02}, {32767, -32768, -1, 258}},
        {PdxEncoding::PCM16, {0x12, 0x34, 0x56}, {0x1234}},   // half a sample at the end is dropped
        {PdxEncoding::PCM16, {0x56}, {}},
        {PdxEncoding::PCM8, {0x7F, 0x80, 0xFF, 0x00, 0x01}, {32512, -32768, -256, 0, 256}},
        {PdxEncoding::ADPCM, {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodePdxSample(c.data, c.encoding), c.decoded) << static_cast<int>(c.encoding);
    }
}

// ----- the example -----

TEST(PdxExample, HoldsAKickASnareAndAClosedHiHatThatNeitherClipNorAreSilent) {
    EXPECT_EQ(pdxNameInHead(test::readFile(KARVO_EXAMPLE)), "demo.pdx");

    const Bytes file = test::readFile(KARVO_EXAMPLE_PDX);
    const std::optional<PdxTable> table = readPdxTable(file);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->samples.size() / PDX_NOTES, 1u);
    EXPECT_EQ(table->leftOut, 0u);
    const std::vector<size_t> drums = {33, 35, 39};   // kick, snare, closed hi-hat
    for (size_t entry = 0; entry < table->samples.size(); ++entry) {
        const bool drum = std::find(drums.begin(), drums.end(), entry) != drums.end();
        EXPECT_EQ(table->samples[entry].empty(), !drum) << entry;
    }
    for (const size_t entry : drums) {
        const std::vector<int16_t> sound = decodeAdpcm(pdxSampleBytes(file, table->samples[entry]));
        EXPECT_LT(sound.size(), PDX_SAMPLE_RATE / 2) << entry;   // under half a second
        int peak = 0;
        for (const int16_t s : sound) {
            peak = std::max(peak, std::abs(int{s}));
        }
        // Around half of full scale, and short of the signal's ends, 2047 and -2048 times 16.
        EXPECT_GT(peak, 32768 / 4) << entry;
        EXPECT_LT(peak, 2047 * 16) << entry;
    }
}

}   // namespace
}   // namespace karvo
