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
    0,   0,   0,   0,     // +4: byte size, left 0
    'F', 'B', 'C', 'h',   // +8: opaque-chunk bank
    0,   0,   0,   1,     // +12: format version
    'Q', 'V', 'T', 'X',   // +16: plug-in identifier
    0,   0,   0,   1,     // +20: plug-in version
    0,   0,   0,   128,   // +24: number of programs
};
constexpr size_t BANK_RESERVED_SIZE = 128;   // +28: reserved, zero
constexpr uint32_t CHUNK_SIZE = VOICE_SLOTS * PROGRAM_BLOCK_SIZE;
static_assert(BANK_HEADER.size() + BANK_RESERVED_SIZE + 4 == BANK_HEAD_SIZE);
static_assert(CHUNK_SIZE == 9088);

constexpr int PARAMETERS = 74;   // the plug-in's parameter indices

// NE and AMS-EN are stored as the register bit (0 or 128); the plug-in takes 0 or 1.
uint8_t flag(uint8_t stored) { return stored == 128 ? 1 : 0; }

// Every parameter of a voice in the plug-in's numbering:
//    0-10  CON FL AMS PMS NFRQ NE LFRQ PMD AMD WF SLOT   (PMD before AMD: the plug-in's order)
//   11-54  the operators as M1, C1, M2, C2, each TL AR D1R D1L D2R RR KS MUL DT1 DT2 AMS-EN
//   55     0
//   56-59  the slot mask, one operator an index (bits 3-6 of SLOT)
//   60-61  0
//   62-65  waveform 0 to 3 as four switches
//   66-73  connection 0 to 7 as eight switches
std::array<uint8_t, PARAMETERS> parametersOf(const VoiceRecord& v) {
    std::array<uint8_t, PARAMETERS> p{};
    const uint8_t voice[] = {v.CON,  v.FL,  v.AMS, v.PMS, v.NFRQ, flag(v.NE),
                             v.LFRQ, v.PMD, v.AMD, v.WF,  v.SLOT};
    std::copy(std::begin(voice), std::end(voice), p.begin());
    uint8_t* at = p.data() + std::size(voice);
    for (const int position : OUTPUT_ORDER) {
        const OperatorRecord& op = v.op[static_cast<size_t>(position)];
        const uint8_t fields[] = {op.TL, op.AR,  op.D1R, op.D1L, op.D2R,         op.RR,
                                  op.KS, op.MUL, op.DT1, op.DT2, flag(op.AMS_EN)};
        at = std::copy(std::begin(fields), std::end(fields), at);
    }
    for (int k = 0; k < 4; ++k) {
        p[static_cast<size_t>(56 + k)] = static_cast<uint8_t>((v.SLOT >> (3 + k)) & 1);
    }
    p[static_cast<size_t>(62 + (v.WF & 3))] = v.WF <= 3 ? 1 : 0;
    p[static_cast<size_t>(66 + (v.CON & 7))] = v.CON <= 7 ? 1 : 0;
    return p;
}

}   // namespace

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
    m_voices[static_cast<size_t>(voice)].take(lfo);
}

void BankVoiceSide::captureNoise(int voice, const NoiseSettings& noise) {
    if (voice < 0) {
        return;
    }
    m_voices[static_cast<size_t>(voice)].take(noise);
}

// The name is "<input>-@<number byte>", cut to the field's 15 characters. Only the
// text and its terminator are written: bytes behind them keep what an earlier,
// longer name left there, and go into the bank as they are.
void BankVoiceSide::onNumber(uint8_t number, const std::string& inputName) {
    m_cursor = number & 127;
    auto& field = m_voices[static_cast<size_t>(m_cursor)].name;
    constexpr size_t MOST = VOICE_NAME_SIZE - 1;
    char text[MOST + 5];   // as much of the input name as fits, "-@" and three digits
    const size_t kept = std::min(inputName.size(), MOST);
    std::memcpy(text, inputName.data(), kept);
    char* end = std::copy_n("-@", 2, text + kept);
    end = std::to_chars(end, end + 3, number).ptr;
    const size_t n = std::min(static_cast<size_t>(end - text), MOST);
    std::memcpy(field.data(), text, n);
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
    storeOperatorField(m_voices[static_cast<size_t>(m_cursor)].op[static_cast<size_t>(position)], field, a,
                       b);
}

int BankVoiceSide::parameter(int slot, int index) const {
    if (slot < 0 || slot >= VOICE_SLOTS || index < 0 || index >= PARAMETERS) {
        return 0;
    }
    return parametersOf(m_voices[static_cast<size_t>(slot)])[static_cast<size_t>(index)];
}

void BankVoiceSide::appendBank(std::string& out) const {
    const size_t start = out.size();
    out.resize(start + BANK_SIZE);   // the reserved bytes and each block's last stay zero
    auto* bank = reinterpret_cast<uint8_t*>(out.data() + start);
    std::copy(BANK_HEADER.begin(), BANK_HEADER.end(), bank);
    writeBe32(bank + BANK_HEADER.size() + BANK_RESERVED_SIZE, CHUNK_SIZE);
    uint8_t* block = bank + BANK_HEAD_SIZE;
    for (const VoiceRecord& v : m_voices) {
        const auto parameters = parametersOf(v);
        std::copy(parameters.begin(), parameters.begin() + BANK_PARAMETERS, block);
        // 15 name bytes as stored, terminator or not
        std::memcpy(block + BANK_PARAMETERS, v.name.data(), v.name.size() - 1);
        block += PROGRAM_BLOCK_SIZE;
    }
}

void BankVoiceSide::endVoices(std::string& out) { appendBank(out); }

}   // namespace karvo
