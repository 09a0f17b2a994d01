// The text program's voice side: the OPM voice text, one block per voice record.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "mdx_builder.h"
#include "text_voice_side.h"
#include "voice_fixtures.h"

namespace karvo {
namespace {

using test::Bytes;

const std::string HEAD =
    "//Veltrane sound bank Paramer Ver2001.02.26\n"
    "//LFO: LFRQ AMD PMD WF NFRQ\n"
    "//@:[Num] [Name]\n"
    "//CH: PAN\tFL CON AMS PMS SLOT NE\n"
    "//[OPname]: AR D1R D2R\tRR D1L\tTL\tKS MUL DT1 DT2 AMS-EN\n";

// Voice 1: FL 7, CON 2, SLOT 120; M1 AR 31, D1R 10, D2R 0, RR 15, D1L 3, TL 27, KS 1,
// MUL 1, DT1 3, DT2 0, AMS-EN 0.
// clang-format off
const Bytes VOICE_1 = test::voiceRecord(1, 0x3A, 0x0F, {
    0x31, 0x02, 0x71, 0x45,   // DT1/MUL of M1, M2, C1, C2
    0x1B, 0x30, 0x00, 0xC8,   // TL
    0x5F, 0x1C, 0xDF, 0x12,   // KS/AR
    0x0A, 0x85, 0x1F, 0x80,   // AMS-EN/D1R
    0x00, 0x43, 0xDF, 0x0E,   // DT2/D2R
    0x3F, 0x27, 0xFF, 0x96,   // D1L/RR
});
// clang-format on

const std::string VOICE_1_OPERATORS =
    "M1: 31  10   0  15   3  27   1   1   3   0   0\n"
    "C1: 31  31  31  15  15   0   3   1   7   3   0\n"
    "M2: 28   5   3   7   2  48   0   2   0   1 128\n"
    "C2: 18   0  14   6   9 200   0   5   4   0 128\n";

class Text : public ::testing::Test {
protected:
    std::string write(const std::string& inputName, const Bytes& area,
                      const std::function<void(TextVoiceSide&)>& capture = nullptr) {
        side.reset();
        if (capture) {
            capture(side);
        }
        return test::writeVoiceArea(side, inputName, area);
    }

    TextVoiceSide side;
};

TEST_F(Text, WritesTheHeaderOnlyForAFileWithoutVoices) { EXPECT_EQ(write("song.mdx", {}), HEAD); }

TEST_F(Text, WritesTheWorkedExampleLineForLine) {
    EXPECT_EQ(write("song.mdx", VOICE_1), HEAD +
                                              "\n"
                                              "@:1 song.mdx-@1\n"
                                              "\n"
                                              "LFO: 128 64 64 0 0\n"
                                              "CH:192   7   2   0   0 120   0\n" +
                                              VOICE_1_OPERATORS);
}

TEST_F(Text, NamesTheSlotAndShowsWhatWasCapturedForIt) {
    Bytes area = VOICE_1;
    area[0] = 130;   // slot 2
    const std::string text = write("dir/a name that is longer than fifteen.mdx", area, [](TextVoiceSide& s) {
        s.captureLfo(2, decodeLfo(0x03, 0x72));   // voice 2: AMS 2, PMS 7; WF 3 for the run
        s.captureNoise(2, decodeNoise(0x85));     // voice 2: noise on; NFRQ 5 for the run
        s.captureLfo(9, decodeLfo(0x01, 0x00));   // another voice: the run's WF becomes 1
    });
    EXPECT_EQ(text, HEAD +
                        "\n"
                        "@:130 dir/a name that is longer than fifteen.mdx-@2\n"
                        "\n"
                        "LFO: 128 64 64 1 5\n"
                        "CH:192   7   2   2   7 120   1\n" +
                        VOICE_1_OPERATORS);
}

TEST_F(Text, WritesEveryRecordInAreaOrderAndThenTheLinesACutRecordReached) {
    Bytes area = VOICE_1;
    area.insert(area.end(), VOICE_1.begin(), VOICE_1.end());   // the same number again
    const std::string block =
        "\n@:1 in-@1\n\nLFO: 128 64 64 0 0\nCH:192   7   2   0   0 120   0\n" + VOICE_1_OPERATORS;
    EXPECT_EQ(write("in", area), HEAD + block + block);

    const std::string voiceLines = "\n@:1 in-@1\n\nLFO: 128 64 64 0 0\n";
    const std::string channelLine = "CH:192   7   2   0   0 120   0\n";
    for (const size_t length : {1u, 2u}) {
        EXPECT_EQ(write("in", Bytes(VOICE_1.begin(), VOICE_1.begin() + static_cast<std::ptrdiff_t>(length))),
                  HEAD + voiceLines)
            << length;
    }
    for (const size_t length : {3u, 4u, 26u}) {
        EXPECT_EQ(write("in", Bytes(VOICE_1.begin(), VOICE_1.begin() + static_cast<std::ptrdiff_t>(length))),
                  HEAD + voiceLines + channelLine)
            << length;
    }
}

TEST_F(Text, StartsEachRunFromClearedTables) {
    write("in", VOICE_1, [](TextVoiceSide& s) {
        s.captureLfo(1, decodeLfo(0x02, 0x33));
        s.captureNoise(1, decodeNoise(0xFF));
    });
    EXPECT_EQ(
        write("in", VOICE_1),
        HEAD + "\n@:1 in-@1\n\nLFO: 128 64 64 0 0\nCH:192   7   2   0   0 120   0\n" + VOICE_1_OPERATORS);
}

}   // namespace
}   // namespace karvo
