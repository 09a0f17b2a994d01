// The OPM voice text: what the text program captures of the voices while the tracks
// are converted, and one block of lines per voice record, printed as it is decoded.
#include "text_voice_side.h"

#include <charconv>

namespace karvo {
namespace {

constexpr const char* VOICE_TEXT_HEAD[] = {
    "//Veltrane sound bank Paramer Ver2001.02.26\n",
    "//LFO: LFRQ AMD PMD WF NFRQ\n",
    "//@:[Num] [Name]\n",
    "//CH: PAN\tFL CON AMS PMS SLOT NE\n",
    "//[OPname]: AR D1R D2R\tRR D1L\tTL\tKS MUL DT1 DT2 AMS-EN\n",
};

// The values of a CH or operator line, each as "%3d" would print it, one blank apart,
// and the end of the line. A song has a few lines for each of its voices, and a
// formatted print costs several times as much; the line is put together in place and
// appended once.
template <size_t N>
void appendColumns(std::string& out, const int (&values)[N]) {
    char line[N * 12 + 1];   // a blank and at most 11 characters a value, then the newline
    char* p = line;
    for (const int v : values) {
        if (p != line) {
            *p++ = ' ';
        }
        if (v >= 0 && v < 1000) {   // every value of a voice
            p[0] = v >= 100 ? static_cast<char>('0' + v / 100) : ' ';
            p[1] = v >= 10 ? static_cast<char>('0' + v / 10 % 10) : ' ';
            p[2] = static_cast<char>('0' + v % 10);
            p += 3;
            continue;
        }
        char digits[12];
        const auto n = static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits);
        for (size_t k = n; k < 3; ++k) {
            *p++ = ' ';
        }
        for (size_t k = 0; k < n; ++k) {
            *p++ = digits[k];
        }
    }
    *p++ = '\n';
    out.append(line, static_cast<size_t>(p - line));
}

// A number as "%d" prints it.
void appendNumber(std::string& out, int value) {
    char digits[12];
    out.append(digits,
               static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits));
}

}   // namespace

const ProgramIdentity TEXT_PROGRAM = {
    "KARVO",
    {
        "\n\nKARVO Ver1.52+\n",
        "\t\t\t2002.4.22\n",
        "usage:KARVO.exe [-h] InFileName [-o OutFileName(.opm)] [-midi OutFileName(.mid)]\n",
        "-o OutFileName:Set Output Text FileName(.opm). \n",
        "-midi OutFileName:Set Output SMF FileName(.mid).\n",
    },
    true,
};

void TextVoiceSide::reset() {
    AMS.fill(0);
    PMS.fill(0);
    NE.fill(0);
    lastWF = 0;
    lastNFRQ = 0;
}

// WF and NFRQ are kept once for the run, so they are taken even before the first
// voice select; the per-voice values then have no voice to go to.
void TextVoiceSide::captureLfo(int voice, const LfoSettings& lfo) {
    lastWF = lfo.WF;
    if (voice < 0) {
        return;
    }
    const auto v = static_cast<size_t>(voice);
    lfo.applyTo(AMS[v], PMS[v]);
}

void TextVoiceSide::captureNoise(int voice, const NoiseSettings& noise) {
    lastNFRQ = noise.NFRQ;
    if (voice >= 0) {
        NE[static_cast<size_t>(voice)] = noise.NE;
    }
}

// The voice names its slot here, where the bank names the number byte as read.
void TextVoiceSide::onNumber(uint8_t number, const std::string& inputName) {
    m_slot = number & 127;
    // "\n@:%d %s-@%d\n", then "\nLFO: 128 64 64 %d %d\n"; the name ends at a zero byte,
    // as %s would end it.
    std::string& out = *m_out;
    out += "\n@:";
    appendNumber(out, number);
    out += ' ';
    out += inputName.c_str();
    out += "-@";
    appendNumber(out, m_slot);
    out += "\n\nLFO: 128 64 64 ";
    appendNumber(out, lastWF);
    out += ' ';
    appendNumber(out, lastNFRQ);
    out += '\n';
}

void TextVoiceSide::onFlCon(uint8_t FL, uint8_t CON) {
    m_FL = FL;
    m_CON = CON;
}

void TextVoiceSide::onSlot(uint8_t SLOT) {
    const auto s = static_cast<size_t>(m_slot);
    *m_out += "CH:";
    const int columns[] = {PAN_CENTRE, m_FL, m_CON, AMS[s], PMS[s], SLOT, NE[s] / 128};
    appendColumns(*m_out, columns);
}

void TextVoiceSide::onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) {
    storeOperatorField(m_op[static_cast<size_t>(position)], field, a, b);
    if (position != OPERATORS - 1 || field != D1L_RR) {
        return;
    }
    // The record's last byte: its four operators, as M1, C1, M2, C2.
    for (const int p : OUTPUT_ORDER) {
        const OperatorRecord& op = m_op[static_cast<size_t>(p)];
        *m_out += OPERATOR_NAMES[static_cast<size_t>(p)];
        *m_out += ':';
        const int columns[] = {op.AR, op.D1R, op.D2R, op.RR,  op.D1L,   op.TL,
                               op.KS, op.MUL, op.DT1, op.DT2, op.AMS_EN};
        appendColumns(*m_out, columns);
    }
}

void TextVoiceSide::beginVoices(std::string& out) {
    for (const char* line : VOICE_TEXT_HEAD) {
        out += line;
    }
    m_out = &out;
}

void TextVoiceSide::endVoices(std::string&) { m_out = nullptr; }

}   // namespace karvo
