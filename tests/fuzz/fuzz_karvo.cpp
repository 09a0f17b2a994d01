// libFuzzer target: the whole run of KARVO on arbitrary bytes.
#include <string_view>

#include "fuzz_convert.h"
#include "text_voice_side.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    karvo::fuzz::convertOnce<karvo::TextVoiceSide>(
        karvo::TEXT_PROGRAM, data, size, [](const std::vector<uint8_t>& text) {
            // Every voice text starts with its header and is made of whole lines.
            constexpr std::string_view first = "//Veltrane sound bank Paramer Ver2001.02.26\n";
            return text.size() >= first.size() && std::equal(first.begin(), first.end(), text.begin()) &&
                   text.back() == '\n';
        });
    return 0;
}
