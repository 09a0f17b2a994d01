// The console lines and the order of the two standard streams.
#include "console.h"

#include <algorithm>
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

// A song selects voices thousands of times: each line is put together in place.
void Console::voiceSelected(int voice) {
    static constexpr char HEX[] = "0123456789abcdef";
    if (ERRORS_HELD - m_held < LONGEST_VOICE_LINE) {
        flushErrors();
    }
    const auto v = static_cast<unsigned>(voice) & 0x7F;
    char* p = m_errors.get() + m_held;
    std::memcpy(p, "Voice @", 7);
    p += 7;
    if (v >= 16) {
        *p++ = HEX[v >> 4];
    }
    *p++ = HEX[v & 15];
    *p++ = '\n';
    m_held = static_cast<size_t>(p - m_errors.get());
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
