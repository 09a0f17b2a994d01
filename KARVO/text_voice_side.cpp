// The OPM voice text: what the text program captures of the voices while the tracks
// are converted, and one block of lines per voice record, printed as it is decoded.
#include "text_voice_side.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>

namespace karvo {
namespace {

constexpr const char* VOICE_TEXT_HEAD[] = {
    "//Veltrane sound bank Paramer Ver2001.02.26\n",
    "//LFO: LFRQ AMD PMD WF NFRQ\n",
    "//@:[Num] [Name]\n",
    "//CH: PAN\tFL CON AMS PMS SLOT NE\n",
    "//[OPname]: AR D1R D2R\tRR D1L\tTL\tKS MUL DT1 DT2 AMS-EN\n",
};

// Every value of a voice line is a byte, printed as " %3d". A song prints a few lines
// for each of its voices; each value is one copy from this table.
constexpr auto BLANK_AND_THREE_DIGITS = [] {
    std::array<std::array<char, 4>, 256> columns{};
    for (int v = 0; v < 256; ++v) {
        columns[static_cast<size_t>(v)] = {' ', v >= 100 ? static_cast<char>('0' + v / 100) : ' ',
                                           v >= 10 ? static_cast<char>('0' + v / 10 % 10) : ' ',
                                           static_cast<char>('0' + v % 10)};
    }
    return columns;
}();

// Writes the two letters of the name, ":" and the values, one blank apart, and the
// newline; returns the end.
template <size_t N>
char* writeLine(char* p, const char* name, const std::array<uint8_t, N>& values) {
    p[0] = name[0];
    p[1] = name[1];
    p += 2;
    for (const uint8_t v : values) {
        std::memcpy(p, BLANK_AND_THREE_DIGITS[v].data(), 4);
        p += 4;
    }
    p[-4 * static_cast<std::ptrdiff_t>(N)] = ':';   // in place of the first value's blank
    *p++ = '\n';
    return p;
}

// A number as "%d" prints it.
char* writeNumber(char* p, int value) { return std::to_chars(p, p + 12, value).ptr; }

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
    char head[16];
    char* p = head;
    p = std::copy_n("\n@:", 3, p);
    p = writeNumber(p, number);
    *p++ = ' ';
    out.append(head, static_cast<size_t>(p - head));
    out += inputName.c_str();
    char tail[64];
    p = std::copy_n("-@", 2, tail);
    p = writeNumber(p, m_slot);
    p = std::copy_n("\n\nLFO: 128 64 64 ", 17, p);
    p = writeNumber(p, lastWF);
    *p++ = ' ';
    p = writeNumber(p, lastNFRQ);
    *p++ = '\n';
    out.append(tail, static_cast<size_t>(p - tail));
}

void TextVoiceSide::onFlCon(uint8_t FL, uint8_t CON) {
    m_FL = FL;
    m_CON = CON;
}

void TextVoiceSide::onSlot(uint8_t SLOT) {
    const auto s = static_cast<size_t>(m_slot);
    char line[64];
    const std::array<uint8_t, 7> columns = {
        PAN_CENTRE, m_FL, m_CON, AMS[s], PMS[s], SLOT, static_cast<uint8_t>(NE[s] / 128)};
    m_out->append(line, static_cast<size_t>(writeLine(line, "CH", columns) - line));
}

void TextVoiceSide::onOperatorField(int position, OperatorField field, uint8_t a, uint8_t b) {
    storeOperatorField(m_op[static_cast<size_t>(position)], field, a, b);
    if (position != OPERATORS - 1 || field != D1L_RR) {
        return;
    }
    // The record's last byte: its four operators, as M1, C1, M2, C2.
    char lines[OPERATORS * 64];
    char* p = lines;
    for (const int k : OUTPUT_ORDER) {
        const OperatorRecord& op = m_op[static_cast<size_t>(k)];
        const std::array<uint8_t, 11> columns = {op.AR, op.D1R, op.D2R, op.RR,  op.D1L,   op.TL,
                                                 op.KS, op.MUL, op.DT1, op.DT2, op.AMS_EN};
        p = writeLine(p, OPERATOR_NAMES[static_cast<size_t>(k)], columns);
    }
    m_out->append(lines, static_cast<size_t>(p - lines));
}

void TextVoiceSide::beginVoices(std::string& out) {
    for (const char* line : VOICE_TEXT_HEAD) {
        out += line;
    }
    m_out = &out;
}

void TextVoiceSide::endVoices(std::string&) { m_out = nullptr; }

}   // namespace karvo
