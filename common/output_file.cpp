#include "output_file.h"

namespace karvo {

bool OutputFile::open(const std::string& path, bool text) {
    discard();
    std::string realPath;
    switch (platform::outputTarget(path, realPath)) {
    case platform::Target::Refused: return false;
    case platform::Target::Direct:
        m_stream = platform::openDirect(path, text);
        m_direct = true;
        break;
    case platform::Target::Replace:
        if (!platform::createTemp(realPath, text, m_temp)) {
            return false;
        }
        m_stream = m_temp.stream;
        m_direct = false;
        break;
    }
    if (m_stream != nullptr) {
        // Every output comes in a few large pieces, a MIDI chunk or the voices at a
        // time: each goes straight to the file, with no copy through a buffer.
        std::setvbuf(m_stream, nullptr, _IONBF, 0);
    }
    return m_stream != nullptr;
}

bool OutputFile::close() {
    if (m_stream == nullptr) {
        return false;
    }
    bool written = std::fflush(m_stream) == 0 && std::ferror(m_stream) == 0;
    written = std::fclose(m_stream) == 0 && written;
    m_stream = nullptr;
    m_pending = written && !m_direct;
    if (!written && !m_direct) {
        platform::discardTemp(m_temp);
    }
    return written;
}

bool OutputFile::commit() {
    if (!m_pending) {
        return true;   // a direct target is in place as it is written
    }
    m_pending = false;
    return platform::commitTemp(m_temp);
}

void OutputFile::discard() {
    if (m_stream != nullptr) {
        std::fclose(m_stream);
        m_stream = nullptr;
    } else if (!m_pending) {
        return;
    }
    m_pending = false;
    if (!m_direct) {
        platform::discardTemp(m_temp);
    }
}

}   // namespace karvo
