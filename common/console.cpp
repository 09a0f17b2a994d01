// The console lines and the order of the two standard streams.
#include "console.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform.h"

namespace karvo {

void Console::error(const std::string& text) {
    if (ERRORS_HELD - m_held < text.size()) {
        flushErrors();
        if (text.size() >= ERRORS_HELD) {
            std::fwrite(text.data(), 1, text.size(), m_err);
            return;
        }
    }
    std::copy(text.begin(), text.end(), m_errors.get() + m_held);
    m_held += text.size();
}

namespace {

// Every voice line, made once: "Voice @<hex>\n" at the start of its slot, its length in
// the slot's last byte.
constexpr auto VOICE_LINES = [] {
    constexpr char HEX[] = "0123456789abcdef";
    std::array<std::array<char, Console::VOICE_LINE_SLOT>, 128> lines{};
    for (size_t v = 0; v < lines.size(); ++v) {
        auto& line = lines[v];
        std::copy_n("Voice @", 7, line.begin());
        size_t n = 7;
        if (v >= 16) {
            line[n++] = HEX[v >> 4];
        }
        line[n++] = HEX[v & 15];
        line[n++] = '\n';
        line.back() = static_cast<char>(n);
    }
    return lines;
}();

}   // namespace

// A song selects voices thousands of times: each line is one copy of a whole slot,
// of which only the line counts.
void Console::voiceSelected(int voice) {
    if (ERRORS_HELD - m_held < VOICE_LINE_SLOT) {
        flushErrors();
    }
    const auto& line = VOICE_LINES[static_cast<unsigned>(voice) & 0x7F];
    std::memcpy(m_errors.get() + m_held, line.data(), VOICE_LINE_SLOT);
    m_held += static_cast<size_t>(line.back());
}

void Console::print(const std::string& text) {
    flushErrors();
    std::fwrite(text.data(), 1, text.size(), m_out);
}

void Console::traceHead(const MdxHead& head) {
    flushErrors();
    for (size_t i = 0; i < head.trackOffsets.size(); ++i) {
        std::fprintf(m_out, "base %x %x\n", static_cast<unsigned>(i), head.trackOffsets[i]);
    }
    // The trace is on its way before any output that may share the descriptor.
    std::fflush(m_out);
}

void Console::writeVoices(const std::string& voices, bool text) {
    flushErrors();
    platform::streamMode(m_out, text);
    std::fwrite(voices.data(), 1, voices.size(), m_out);
}

bool Console::outputWritten() { return std::fflush(m_out) == 0 && std::ferror(m_out) == 0; }

void Console::flushErrors() {
    if (m_held != 0) {
        std::fwrite(m_errors.get(), 1, m_held, m_err);
        m_held = 0;
    }
    std::fflush(m_err);
}

}   // namespace karvo
