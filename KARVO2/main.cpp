// KARVO2: wires its voice side into the shared run.
#include "bank_voice_side.h"
#include "driver.h"

int main(int argc, char** argv) {
    karvo::BankVoiceSide side;
    return karvo::runMain(argc, argv, karvo::BANK_PROGRAM, side);
}
