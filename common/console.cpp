// The console lines and the order of the two standard streams.
#include "console.h"

#include "platform.h"

namespace karvo {
namespace {

constexpr size_t ERRORS_HELD = 1 << 16;   // gathered before they are written out

}  // namespace

void Console::error(const std::string& text) {
    m_errors += text;
    if (m_errors.size() >= ERRORS_HELD) {
        flushErrors();
    }
}

void Console::voiceSelected(int voice) {
    static constexpr char HEX[] = "0123456789abcdef";
    const auto v = static_cast<unsigned>(voice) & 0x7F;
    char line[] = "Voice @..\n";
    char* p = line + 7;
    if (v >= 16) {
        *p++ = HEX[v >> 4];
    }
    *p++ = HEX[v & 15];
    *p++ = '\n';
    m_errors.append(line, static_cast<size_t>(p - line));
    if (m_errors.size() >= ERRORS_HELD) {
        flushErrors();
    }
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
    if (!m_errors.empty()) {
        std::fwrite(m_errors.data(), 1, m_errors.size(), m_err);
        m_errors.clear();
    }
    std::fflush(m_err);
}

}  // namespace karvo
