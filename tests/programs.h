// Each program's identity from its voice side, for tests that run either program.
#pragma once

#include "bank_voice_side.h"
#include "text_voice_side.h"

namespace karvo::test {

inline const ProgramIdentity& programOf(const VoiceSide& side) {
    return dynamic_cast<const BankVoiceSide*>(&side) != nullptr ? BANK_PROGRAM : TEXT_PROGRAM;
}

}   // namespace karvo::test
