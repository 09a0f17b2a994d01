// The command bytes E0-FF of an MDX track: what each is called, how many operand
// bytes follow it, and which handler of the track converter acts on it.
#pragma once

#include <array>
#include <cstdint>

namespace karvo {

// How many operand bytes follow a command byte.
enum class Operands : uint8_t {
    NONE,
    ONE,
    TWO,
    EXTENDED,   // one; two when the first is 01
    LFO,        // one when the first is 80 (stop) or 81 (start again); else five
};

// What the converter does with a command. IGNORED commands are read over: they have
// no MIDI counterpart, or one the converter leaves out.
enum class Handler : uint8_t {
    IGNORED,
    END,   // end of the track, or its jump back to the loop point
    PORTAMENTO,
    DETUNE,
    REPEAT_ESCAPE,
    REPEAT_END,
    REPEAT_START,
    TIE,
    VOLUME,
    PAN,
    VOICE_SELECT,
    TEMPO,
    CHIP_LFO,
    NOISE,
    PCM_MODE,
    // Read over unless a run asks for the driver's own timing (-gate, -lfo).
    LFO_DELAY,
    AMPLITUDE_LFO,
    PITCH_LFO,
    KEY_ON_DELAY,
    GATE_TIME,
};

// The handlers a plain conversion reads over as if the command had none.
constexpr bool actsOnlyWhenTimed(Handler handler) { return handler >= Handler::LFO_DELAY; }

struct Command {
    const char* name;
    Operands operands;
    Handler handler;
};

constexpr uint8_t FIRST_COMMAND = 0xE0;

// Indexed by command byte - E0. The right-hand column says what the sound driver
// does with each on the machine.
constexpr std::array<Command, 32> COMMANDS = {{
    {"unused E0", Operands::NONE, Handler::IGNORED},
    {"unused E1", Operands::NONE, Handler::IGNORED},
    {"unused E2", Operands::NONE, Handler::IGNORED},
    {"unused E3", Operands::NONE, Handler::IGNORED},
    {"unused E4", Operands::NONE, Handler::IGNORED},
    {"unused E5", Operands::NONE, Handler::IGNORED},
    {"unused E6", Operands::NONE, Handler::IGNORED},
    {"extended command", Operands::EXTENDED, Handler::IGNORED},   // E7: fade-out and the like
    {"PCM mode switch", Operands::NONE, Handler::PCM_MODE},       // E8: eight PCM channels
    {"LFO delay", Operands::ONE, Handler::LFO_DELAY},             // E9: ticks before the LFOs start
    {"chip LFO", Operands::LFO, Handler::CHIP_LFO},               // EA: waveform, LFRQ, PMD, AMD, PMS/AMS
    {"amplitude LFO", Operands::LFO, Handler::AMPLITUDE_LFO},     // EB: software tremolo
    {"pitch LFO", Operands::LFO, Handler::PITCH_LFO},             // EC: software vibrato
    {"noise", Operands::ONE, Handler::NOISE},                     // ED: noise on the eighth channel
    {"sync wait", Operands::NONE, Handler::IGNORED},              // EE: waits for another track
    {"sync send", Operands::ONE, Handler::IGNORED},               // EF: wakes a waiting track
    {"key-on delay", Operands::ONE, Handler::KEY_ON_DELAY},       // F0: ticks before each key-on
    {"end of track", Operands::NONE, Handler::END},               // F1: a loop offset may follow
    {"portamento", Operands::TWO, Handler::PORTAMENTO},           // F2: signed pitch step per tick
    {"detune", Operands::TWO, Handler::DETUNE},                   // F3
    {"repeat escape", Operands::TWO, Handler::REPEAT_ESCAPE},     // F4: leaves on the last pass
    {"repeat end", Operands::TWO, Handler::REPEAT_END},           // F5: back to the repeat's start
    {"repeat start", Operands::TWO, Handler::REPEAT_START},       // F6: count, then a spare byte
    {"tie", Operands::NONE, Handler::TIE},                        // F7: no key-off before the next note
    {"gate time", Operands::ONE, Handler::GATE_TIME},             // F8: key-off before the note's end
    {"volume up", Operands::NONE, Handler::IGNORED},              // F9
    {"volume down", Operands::NONE, Handler::IGNORED},            // FA
    {"volume", Operands::ONE, Handler::VOLUME},                   // FB: step 0-15 or 80+attenuation
    {"pan", Operands::ONE, Handler::PAN},                         // FC: 1 left, 2 right, 3 centre
    {"voice select", Operands::ONE, Handler::VOICE_SELECT},       // FD
    {"register write", Operands::TWO, Handler::IGNORED},          // FE: register, value
    {"tempo", Operands::ONE, Handler::TEMPO},                     // FF: the timer's period
}};

constexpr const Command& commandFor(uint8_t byte) {
    return COMMANDS[static_cast<uint8_t>(byte - FIRST_COMMAND)];
}

// The operand bytes of a command, given its first operand byte where the count
// depends on it.
constexpr uint32_t operandCount(Operands operands, uint8_t first) {
    switch (operands) {
    case Operands::NONE: return 0;
    case Operands::ONE: return 1;
    case Operands::TWO: return 2;
    case Operands::EXTENDED: return first == 0x01 ? 2 : 1;
    case Operands::LFO: return first == 0x80 || first == 0x81 ? 1 : 5;
    }
    return 0;
}

}   // namespace karvo
