// libFuzzer target: the whole run of KARVO2 on arbitrary bytes.
#include "bank_voice_side.h"
#include "fuzz_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    karvo::fuzz::convertOnce<karvo::BankVoiceSide>(
        karvo::BANK_PROGRAM, data, size,
        [](const std::vector<uint8_t>& bank) { return bank.size() == karvo::BANK_SIZE; });
    return 0;
}
