// Every hostile input through both programs: the run ends with 0 or 1, a failure
// says why, and a finished run leaves a well-formed MIDI file and a whole voice output.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>

#include "bank_voice_side.h"
#include "driver.h"
#include "hostile_inputs.h"
#include "midi_shape.h"
#include "programs.h"
#include "run_helpers.h"
#include "text_voice_side.h"

#ifndef KARVO_EXAMPLE
#error "KARVO_EXAMPLE must name the example MDX file"
#endif

namespace karvo {
namespace {

using test::Bytes;

const std::vector<test::HostileInput>& inputs() {
    static const auto all = test::hostileInputs(test::readFile(KARVO_EXAMPLE));
    return all;
}

void convertBoth(const test::HostileInput& input) {
    test::TempDir dir;
    const std::string in = dir.path("in.mdx");
    test::writeFile(in, input.bytes);
    BankVoiceSide bank;
    TextVoiceSide text;
    for (VoiceSide* side : {static_cast<VoiceSide*>(&bank), static_cast<VoiceSide*>(&text)}) {
        const bool isBank = side == &bank;
        SCOPED_TRACE(isBank ? "KARVO2" : "KARVO");
        const std::string midi = dir.path("out.mid");
        const std::string voices = dir.path("voices");
        std::filesystem::remove(midi);
        std::filesystem::remove(voices);
        const test::RunResult r =
            test::runProgram(test::programOf(*side), *side, {in, "-midi", midi, "-o", voices});
        const int status = r.status;
        // The end of the console, which a runaway track can grow to megabytes.
        const std::string errTail = r.err.substr(r.err.size() > 4096 ? r.err.size() - 4096 : 0);

        ASSERT_TRUE(status == EXIT_DONE || status == EXIT_FAILED) << status;
        if (status == EXIT_FAILED) {
            EXPECT_NE(errTail.find("KARVO:"), std::string::npos) << errTail;
            EXPECT_FALSE(std::filesystem::exists(midi));   // a failed run leaves no file
            EXPECT_FALSE(std::filesystem::exists(voices));
            continue;
        }
        const char* fault = test::midiShapeFault(test::readFile(midi));
        EXPECT_EQ(fault, nullptr) << fault;
        const Bytes voiceBytes = test::readFile(voices);
        if (isBank) {
            EXPECT_EQ(voiceBytes.size(), BANK_SIZE);
        } else {
            ASSERT_FALSE(voiceBytes.empty());
            EXPECT_EQ(voiceBytes.back(), '\n');
        }
    }
}

class Hostile : public ::testing::TestWithParam<size_t> {};

TEST_P(Hostile, ConvertsWithoutHarm) { convertBoth(inputs()[GetParam()]); }

// One test per crafted input; the example's cuts run together below.
std::vector<size_t> craftedInputs() {
    std::vector<size_t> crafted;
    for (size_t k = 0; k < inputs().size(); ++k) {
        if (inputs()[k].name.rfind("example cut", 0) != 0) {
            crafted.push_back(k);
        }
    }
    return crafted;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Hostile, ::testing::ValuesIn(craftedInputs()),
                         [](const ::testing::TestParamInfo<size_t>& param) {
                             std::string name;
                             for (char c : inputs()[param.param].name) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(HostileExample, ConvertsWhenCutAtEveryLength) {
    size_t cuts = 0;
    for (const test::HostileInput& input : inputs()) {
        if (input.name.rfind("example cut", 0) == 0) {
            SCOPED_TRACE(input.name);
            convertBoth(input);
            ++cuts;
        }
    }
    EXPECT_EQ(cuts, test::readFile(KARVO_EXAMPLE).size() + 1);
}

}   // namespace
}   // namespace karvo
