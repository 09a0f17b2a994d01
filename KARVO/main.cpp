// KARVO: wires its voice side into the shared run.
#include "driver.h"
#include "text_voice_side.h"

int main(int argc, char** argv) {
    karvo::TextVoiceSide side;
    return karvo::runMain(argc, argv, karvo::TEXT_PROGRAM, side);
}
