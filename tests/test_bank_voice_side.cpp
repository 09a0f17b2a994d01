// The bank program's voice side: the voice table, voice names, the parameter map and the
// 9,248-byte bank file.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "bank_voice_side.h"
#include "mdx_builder.h"
#include "voice_fixtures.h"

namespace karvo {
namespace {

using test::Bytes;

const Bytes& RECORD = test::RECORD_130;

// clang-format off
const Bytes RESET_PRMS = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // CON FL AMS PMS NFRQ NE
    0x7F, 0x40, 0x40, 0x00, 0x40,         // LFRQ PMD AMD WF SLOT
    0x00, 0x1F, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,   // M1
    0x00, 0x1F, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,   // C1
    0x00, 0x1F, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,   // M2
    0x00, 0x1F, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,   // C2
};
// clang-format on

class Bank : public ::testing::Test {
protected:
    // Resets the side, lets capture() run as the conversion would, then decodes the
    // area under inputName and writes the bank.
    Bytes write(const std::string& inputName, const Bytes& area,
                const std::function<void(BankVoiceSide&)>& capture = nullptr) {
        side.reset();
        if (capture) {
            capture(side);
        }
        const std::string s = test::writeVoiceArea(side, inputName, area);
        return Bytes(s.begin(), s.end());
    }

    static Bytes block(const Bytes& bank, int slot) {
        const auto start = bank.begin() + 160 + 71 * slot;
        return Bytes(start, start + 71);
    }

    static Bytes resetBlock(int slot, const Bytes& prms = RESET_PRMS) {
        Bytes b = prms;
        const std::string name = "init-" + std::to_string(slot);
        b.insert(b.end(), name.begin(), name.end());
        b.resize(71, 0);
        return b;
    }

    BankVoiceSide side;
};

TEST_F(Bank, WritesTheResetBankForAFileWithoutVoices) {
    const Bytes bank = write("in.mdx", {});
    ASSERT_EQ(bank.size(), 9248u);
    // clang-format off
    const Bytes head = {
        'C', 'c', 'n', 'K', 0x00, 0x00, 0x00, 0x00,   // magic, byte size 0
        'F', 'B', 'C', 'h', 0x00, 0x00, 0x00, 0x01,   // opaque-chunk bank, version 1
        'Q', 'V', 'T', 'X', 0x00, 0x00, 0x00, 0x01,   // plug-in and its version
        0x00, 0x00, 0x00, 0x80,                       // 128 programs
    };
    // clang-format on
    EXPECT_EQ(Bytes(bank.begin(), bank.begin() + 28), head);
    EXPECT_EQ(Bytes(bank.begin() + 28, bank.begin() + 156), Bytes(128, 0));
    EXPECT_EQ(Bytes(bank.begin() + 156, bank.begin() + 160), (Bytes{0x00, 0x00, 0x23, 0x80}));
    for (int s = 0; s < 128; ++s) {
        EXPECT_EQ(block(bank, s), resetBlock(s)) << s;
    }
}

TEST_F(Bank, WritesADecodedVoiceWithItsCapturesFieldByField) {
    const Bytes bank = write("in.mdx", RECORD, [](BankVoiceSide& s) {
        s.captureLfo(2, decodeLfo(0x02, 0x35));   // WF 2, PMS 3, AMS 1
        s.captureNoise(2, decodeNoise(0x9F));     // NE on, NFRQ 31
    });
    // clang-format off
    Bytes expected = {
        2, 4, 1, 3, 31, 1,         // CON FL AMS PMS NFRQ, NE as a flag
        127, 64, 64, 2, 40,        // LFRQ, PMD before AMD, WF, SLOT
        // TL  AR D1R D1L D2R RR KS MUL DT1 DT2 AMS-EN as a flag
        0,   31, 0,  0,  31, 15, 0, 1,  0,  0,  1,   // M1, position 0
        128, 10, 19, 15, 2,  0,  2, 3,  2,  2,  1,   // C1, position 2: TL from 128 up unchanged
        127, 5,  31, 1,  1,  14, 1, 2,  1,  1,  0,   // M2, position 1
        255, 31, 0,  5,  3,  10, 3, 4,  7,  3,  0,   // C2, position 3
    };
    // clang-format on
    const std::string name = "in.mdx-@130";   // the number byte as read, not the slot
    expected.insert(expected.end(), name.begin(), name.end());
    expected.resize(71, 0);
    EXPECT_EQ(block(bank, 2), expected);
    EXPECT_EQ(side.voice(2).PAN, 192);
    for (int s = 0; s < 128; ++s) {
        if (s != 2) {
            EXPECT_EQ(block(bank, s), resetBlock(s)) << s;
        }
    }
}

TEST_F(Bank, AnswersEveryParameterIndexAndZeroOutsideThem) {
    write("in.mdx", RECORD, [](BankVoiceSide& s) { s.captureLfo(2, decodeLfo(0x02, 0x35)); });
    std::vector<int> prms;
    for (int i = 0; i < 74; ++i) {
        prms.push_back(side.parameter(2, i));
    }
    // clang-format off
    const std::vector<int> expected = {
        2, 4, 1, 3, 0, 0, 127, 64, 64, 2, 40,
        0, 31, 0, 0, 31, 15, 0, 1, 0, 0, 1,
        128, 10, 19, 15, 2, 0, 2, 3, 2, 2, 1,
        127, 5, 31, 1, 1, 14, 1, 2, 1, 1, 0,
        255, 31, 0, 5, 3, 10, 3, 4, 7, 3, 0,
        0,
        1, 0, 1, 0,                // 56-59: SLOT bits 3 to 6 of 40
        0, 0,
        0, 0, 1, 0,                // 62-65: WF 2
        0, 0, 1, 0, 0, 0, 0, 0,    // 66-73: CON 2
    };
    // clang-format on
    EXPECT_EQ(prms, expected);
    for (const int index : {-1, 74, 75, 1000, INT_MIN, INT_MAX}) {
        EXPECT_EQ(side.parameter(2, index), 0) << index;
    }
    for (const int slot : {-1, 128, INT_MIN}) {
        EXPECT_EQ(side.parameter(slot, 6), 0) << slot;
    }
    // The switches of another slot: SLOT 64 is bit 6 only; WF 0 and CON 0.
    EXPECT_EQ(side.parameter(3, 59), 1);
    EXPECT_EQ(side.parameter(3, 56), 0);
    EXPECT_EQ(side.parameter(3, 62), 1);
    EXPECT_EQ(side.parameter(3, 66), 1);
    EXPECT_EQ(side.parameter(3, 73), 0);
}

TEST_F(Bank, NamesVoicesInTheFifteenBytesOfTheField) {
    // "a-@100" over "init-100": the old name's last character stays behind the terminator.
    const Bytes named = block(write("a", test::voiceRecord(100, 0, 0, {})), 100);
    const Bytes field(named.begin() + 55, named.end());
    EXPECT_EQ(field, (Bytes{'a', '-', '@', '1', '0', '0', 0, '0', 0, 0, 0, 0, 0, 0, 0, 0}));

    // Exactly fifteen characters fill the field; the block's last byte stays 0.
    const Bytes full = block(write("dir/song.mdx", test::voiceRecord(7, 0, 0, {})), 7);
    EXPECT_EQ(std::string(full.begin() + 55, full.begin() + 70), "dir/song.mdx-@7");
    EXPECT_EQ(full[70], 0);

    // A longer text is cut after its fifteenth character.
    const Bytes cut = block(write("a/long/name.mdx", test::voiceRecord(12, 0, 0, {})), 12);
    EXPECT_EQ(std::string(cut.begin() + 55, cut.begin() + 70), "a/long/name.mdx");
    EXPECT_EQ(cut[70], 0);
}

TEST_F(Bank, LetsALaterRecordOfTheSameSlotWinFieldByField) {
    Bytes area = test::voiceRecord(5, 0x3F, 0x0F, Bytes(24, 0xFF));
    const Bytes second = test::voiceRecord(0x85, 0x09, 0x01, Bytes(24, 0x11));
    area.insert(area.end(), second.begin(), second.end());
    area.resize(area.size() + 3);   // a cut third record for slot 0: number, FL/CON, mask
    const Bytes bank = write("stdin", area);

    Bytes expected = {1, 1, 0, 0, 0, 0, 127, 64, 64, 0, 8};
    for (int k = 0; k < 4; ++k) {   // every operator byte 0x11
        expected.insert(expected.end(), {0x11, 0x11, 0x11, 0x01, 0x11, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00});
    }
    const std::string name = "stdin-@133";
    expected.insert(expected.end(), name.begin(), name.end());
    expected.resize(71, 0);
    EXPECT_EQ(block(bank, 5), expected);

    // The cut record keeps its name and the three fields it reached.
    Bytes cutPrms = RESET_PRMS;
    cutPrms[10] = 0;   // SLOT of mask 0
    Bytes cutBlock = cutPrms;
    const std::string cutName = "stdin-@0";   // longer than "init-0": nothing of it is left
    cutBlock.insert(cutBlock.end(), cutName.begin(), cutName.end());
    cutBlock.resize(71, 0);
    EXPECT_EQ(block(bank, 0), cutBlock);
}

TEST_F(Bank, KeepsTheFieldsOfALastRecordCutShort) {
    // Number, FL/CON, mask, four DT1/MUL bytes, four TL bytes, one KS/AR byte.
    // clang-format off
    const Bytes full = test::voiceRecord(9, 0x15, 0x03, {
        0x12, 0x12, 0x12, 0x12, 0x20, 0x21, 0x22, 0x23, 0xC1, 0xC1, 0xC1, 0xC1});
    // clang-format on
    const Bytes bank = write("in.mdx", Bytes(full.begin(), full.begin() + 12));
    Bytes expected = {5, 2, 0, 0, 0, 0, 127, 64, 64, 0, 24};
    expected.insert(expected.end(), {0x20, 1, 0, 0, 0, 4, 3, 2, 1, 0, 0});    // M1: TL, KS/AR, DT1/MUL read
    expected.insert(expected.end(), {0x22, 31, 0, 0, 0, 4, 0, 2, 1, 0, 0});   // C1: TL and DT1/MUL
    expected.insert(expected.end(), {0x21, 31, 0, 0, 0, 4, 0, 2, 1, 0, 0});   // M2
    expected.insert(expected.end(), {0x23, 31, 0, 0, 0, 4, 0, 2, 1, 0, 0});   // C2
    const std::string name = "in.mdx-@9";
    expected.insert(expected.end(), name.begin(), name.end());
    expected.resize(71, 0);
    EXPECT_EQ(block(bank, 9), expected);
}

}   // namespace
}   // namespace karvo
