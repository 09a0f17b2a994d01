// The voice decoder: the 27-byte voice record, field by field, and areas that end anywhere.
#include <gtest/gtest.h>

#include "mdx_builder.h"
#include "recording_side.h"
#include "voice_decoder.h"
#include "voice_fixtures.h"

namespace karvo {
namespace {

using test::Bytes;
using test::Call;

const Bytes& RECORD = test::RECORD_130;

const std::vector<Call> RECORD_CALLS = {
    {'n', -1, 0x82, 0},
    {'f', -1, 4, 2},    // FL, CON; bits 6-7 ignored
    {'s', -1, 40, 0},   // slot mask 0101 as SLOT; bits 4-7 ignored
    {'o', 0, 0, 1, DT1_MUL},
    {'o', 1, 1, 2, DT1_MUL},
    {'o', 2, 2, 3, DT1_MUL},
    {'o', 3, 7, 4, DT1_MUL},
    {'o', 0, 0, 0, TL_ONLY},
    {'o', 1, 127, 0, TL_ONLY},
    {'o', 2, 128, 0, TL_ONLY},
    {'o', 3, 255, 0, TL_ONLY},
    {'o', 0, 0, 31, KS_AR},
    {'o', 1, 1, 5, KS_AR},
    {'o', 2, 2, 10, KS_AR},
    {'o', 3, 3, 31, KS_AR},
    {'o', 0, 128, 0, AMSEN_D1R},
    {'o', 1, 0, 31, AMSEN_D1R},
    {'o', 2, 128, 19, AMSEN_D1R},
    {'o', 3, 0, 0, AMSEN_D1R},
    {'o', 0, 0, 31, DT2_D2R},
    {'o', 1, 1, 1, DT2_D2R},
    {'o', 2, 2, 2, DT2_D2R},
    {'o', 3, 3, 3, DT2_D2R},
    {'o', 0, 0, 15, D1L_RR},
    {'o', 1, 1, 14, D1L_RR},
    {'o', 2, 15, 0, D1L_RR},
    {'o', 3, 5, 10, D1L_RR},
};

// Decodes the area at voiceOffset of bytes.
std::vector<Call> decode(const Bytes& bytes, uint32_t voiceOffset) {
    const MdxImage image(bytes, voiceOffset, {});
    test::RecordingSide side;
    decodeVoiceRecords(image, "in", side);
    return side.calls;
}

TEST(DecodeVoiceRecords, DeliversEveryFieldOfARecordInOrder) { EXPECT_EQ(decode(RECORD, 0), RECORD_CALLS); }

TEST(DecodeVoiceRecords, StartsAtTheVoiceOffset) {
    Bytes image = {0xF1, 0xF1, 0xF1};
    image.insert(image.end(), RECORD.begin(), RECORD.end());
    EXPECT_EQ(decode(image, 3), RECORD_CALLS);
}

TEST(DecodeVoiceRecords, StopsDeliveringWhereTheAreaEndsInsideARecord) {
    for (const size_t length : {1u, 2u, 3u, 4u, 7u, 26u}) {
        const Bytes cut(RECORD.begin(), RECORD.begin() + static_cast<std::ptrdiff_t>(length));
        const std::vector<Call> expected(RECORD_CALLS.begin(),
                                         RECORD_CALLS.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(decode(cut, 0), expected) << length;
    }
}

TEST(DecodeVoiceRecords, DeliversNothingForAnEmptyAreaOrAnOffsetBeyondTheData) {
    EXPECT_TRUE(decode(RECORD, 27).empty());   // the offset is the end of the data
    EXPECT_TRUE(decode(RECORD, 28).empty());
    EXPECT_TRUE(decode(RECORD, 0xFFFF).empty());
    EXPECT_TRUE(decode(Bytes{}, 0).empty());
}

TEST(DecodeVoiceRecords, ReadsTrailingBytesAsFurtherRecords) {
    Bytes area = RECORD;
    area.insert(area.end(), RECORD.begin(), RECORD.end());
    area.insert(area.end(), {0x05, 0x3F, 0x0F});   // a third record: number, FL/CON, slot mask
    std::vector<Call> expected = RECORD_CALLS;
    expected.insert(expected.end(), RECORD_CALLS.begin(), RECORD_CALLS.end());
    expected.insert(expected.end(), {{'n', -1, 0x05, 0}, {'f', -1, 7, 7}, {'s', -1, 120, 0}});
    EXPECT_EQ(decode(area, 0), expected);
}

TEST(StoreOperatorField, FillsTheTwoFieldsOfEachGroup) {
    OperatorRecord op;
    storeOperatorField(op, DT1_MUL, 7, 15);
    storeOperatorField(op, TL_ONLY, 200, 99);   // TL takes no second field
    storeOperatorField(op, KS_AR, 3, 30);
    storeOperatorField(op, AMSEN_D1R, 128, 29);
    storeOperatorField(op, DT2_D2R, 2, 28);
    storeOperatorField(op, D1L_RR, 14, 13);
    EXPECT_EQ(std::vector<int>(
                  {op.DT1, op.MUL, op.TL, op.KS, op.AR, op.AMS_EN, op.D1R, op.DT2, op.D2R, op.D1L, op.RR}),
              std::vector<int>({7, 15, 200, 3, 30, 128, 29, 2, 28, 14, 13}));
}

}   // namespace
}   // namespace karvo
