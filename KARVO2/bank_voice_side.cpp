// What the bank program knows of each of the 128 voices, and the bank file that hands
// them to the FM synthesiser plug-in.
#include "bank_voice_side.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "bytes.h"

namespace karvo {
namespace {

// A VST 2 bank whose programs travel as one opaque chunk.
constexpr std::array<uint8_t, 28> BANK_HEADER = {
    'C', 'c', 'n', 'K',   // +0: bank magic
    0, 0, 0, 0,           // +4: byte size, left 0
    'F', 'B', 'C', 'h',   // +8: opaque-chunk bank
    0, 0, 0, 1,           // +12: format version
    'Q', 'V', 'T', 'X',   // +16: plug-in identifier
    0, 0, 0, 1,           // +20: plug-in version
    0, 0, 0, 128,         // +24: number of programs
};
constexpr size_t BANK_RESERVED_SIZE = 128;   // +28: reserved, zero
constexpr uint32_t CHUNK_SIZE = VOICE_SLOTS * PROGRAM_BLOCK_SIZE;
static_assert(BANK_HEADER.size() + BANK_RESERVED_SIZE + 4 == BANK_HEAD_SIZE);
static_assert(CHUNK_SIZE == 9088);

constexpr int OPERATOR_PARAMETERS = 11;
constexpr int FIRST_OPERATOR_PARAMETER = 11;

// NE and AMS-EN are stored as the register bit (0 or 128); the plug-in takes 0 or 1.
int flag(uint8_t stored) { return stored == 128 ? 1 : 0; }

int operatorParameter(const OperatorRecord& op, int k) {
    switch (k) {
    case 0: return op.TL;
    case 1: return op.AR;
    case 2: return op.D1R;
    case 3: return op.D1L;
    case 4: return op.D2R;
    case 5: return op.RR;
    case 6: return op.KS;
    case 7: return op.MUL;
    case 8: return op.DT1;
    case 9: return op.DT2;
    case 10: return flag(op.AMS_EN);
    default: return 0;
    }
}

}  // namespace

const ProgramIdentity BANK_PROGRAM = {
    "KARVO2",
    {
        "\n\nKARVO Ver2.52+\n",
        "\t\t\t2002.6.21\n",
        "usage:KARVO2.exe [-h] InFileName [-o OutFileName(.fxb)] [-midi OutFileName(.mid)]\n",
        "-o OutFileName:Set Output VST Bank FileName(*.fxb).\n",
        "-midi OutFileName:Set Output SMF FileName(*.mid).\n",
    },
    false,
};

void BankVoiceSide::reset() {
    resetVoices();
    m_cursor = 0;
}

void BankVoiceSide::resetVoices() {
    for (int s = 0; s < VOICE_SLOTS; ++s) {
        VoiceRecord& v = m_voices[static_cast<size_t>(s)];
        const uint8_t pan = v.PAN;   // PAN is set only by a decoded voice
        v = VoiceRecord{};
        v.PAN = pan;
        std::memcpy(v.name.data(), "init-", 5);
        std::to_chars(v.name.data() + 5, v.name.data() + v.name.size() - 1, s);   // zero behind it
    }
}

// Before the run's first voice select there is no voice to hold the values.
void BankVoiceSide::captureLfo(int voice, const LfoSettings& lfo) {
    if (voice < 0) {
        return;
    }
    VoiceRecord& v = m_voices[static_cast<size_t>(voice)];
    v.WF = lfo.WF;
    lfo.applyTo(v.AMS, v.PMS);
}

void BankVoiceSide::captureNoise(int voice, const NoiseSettings& noise) {
    if (voice < 0) {
        return;
    }
    VoiceRecord& v = m_voices[static_cast<size_t>(voice)];
    v.NE = noise.NE;
    v.NFRQ = noise.NFRQ;
}

// The name is "<input>-@<number byte>", cut to the field's 15 characters. Only the
// text and its terminator are written: bytes behind them keep what an earlier,
// longer name left there, and go into the bank as they are.
void BankVoiceSide::onNumber(uint8_t number, const std::string& inputName) {
    m_cursor = number & 127;
    const std::string text = inputName + "-@" + std::to_string(number);
    auto& field = m_voices[static_cast<size_t>(m_cursor)].name;
    const size_t n = std::min(text.size(), field.size() - 1);
    std::memcpy(field.data(), text.data(), n);
    field[n] = '\0';
}

void BankVoiceSide::onFlCon(uint8_t FL, uint8_t CON) {
    VoiceRecord& v = m_voices[static_cast<size_t>(m_cursor)];
    v.FL = FL;
    v.CON = CON;
    v.PAN = PAN_CENTRE;
}

void BankVoiceSide::onSlot(uint8_t SLOT) { m_voices[static_cast<size_t>(m_cursor)].SLOT = SLOT; }

void BankVoiceSide::onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) {
    storeOperatorField(m_voices[static_cast<size_t>(m_cursor)].op[static_cast<size_t>(position)],
                       field, a, b);
}

int BankVoiceSide::parameter(int slot, int index) const {
    if (slot < 0 || slot >= VOICE_SLOTS) {
        return 0;
    }
    const VoiceRecord& v = m_voices[static_cast<size_t>(slot)];
    if (index >= FIRST_OPERATOR_PARAMETER && index < FIRST_OPERATOR_PARAMETER + OPERATORS * OPERATOR_PARAMETERS) {
        // The operator blocks come as M1, C1, M2, C2.
        const int k = index - FIRST_OPERATOR_PARAMETER;
        const auto position = static_cast<size_t>(OUTPUT_ORDER[static_cast<size_t>(k / OPERATOR_PARAMETERS)]);
        return operatorParameter(v.op[position], k % OPERATOR_PARAMETERS);
    }
    switch (index) {
    case 0: return v.CON;
    case 1: return v.FL;
    case 2: return v.AMS;
    case 3: return v.PMS;
    case 4: return v.NFRQ;
    case 5: return flag(v.NE);
    case 6: return v.LFRQ;
    case 7: return v.PMD;   // PMD before AMD: the plug-in's order, not the record's
    case 8: return v.AMD;
    case 9: return v.WF;
    case 10: return v.SLOT;
    case 56: case 57: case 58: case 59:   // the slot mask, one operator per index
        return (v.SLOT >> (index - 53)) & 1;
    case 62: case 63: case 64: case 65:   // waveform 0 to 3 as four switches
        return v.WF == index - 62 ? 1 : 0;
    case 66: case 67: case 68: case 69: case 70: case 71: case 72: case 73:   // connection 0 to 7
        return v.CON == index - 66 ? 1 : 0;
    default:
        return 0;
    }
}

std::vector<uint8_t> BankVoiceSide::bankFile() const {
    std::vector<uint8_t> bank(BANK_SIZE, 0);   // the reserved bytes stay zero
    std::copy(BANK_HEADER.begin(), BANK_HEADER.end(), bank.begin());
    writeBe32(&bank[BANK_HEADER.size() + BANK_RESERVED_SIZE], CHUNK_SIZE);
    uint8_t* block = &bank[BANK_HEAD_SIZE];
    for (int s = 0; s < VOICE_SLOTS; ++s, block += PROGRAM_BLOCK_SIZE) {
        for (int i = 0; i < BANK_PARAMETERS; ++i) {
            block[i] = static_cast<uint8_t>(parameter(s, i));
        }
        const auto& field = m_voices[static_cast<size_t>(s)].name;
        std::memcpy(block + BANK_PARAMETERS, field.data(), field.size() - 1);
        // The block's last byte stays 0, even under a name of 15 characters.
    }
    return bank;
}

void BankVoiceSide::endVoices(std::string& out) {
    const std::vector<uint8_t> bank = bankFile();
    out.append(bank.begin(), bank.end());
}

}  // namespace karvo
