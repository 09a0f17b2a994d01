// The one cursor over the data image: a span, a position, and reads that check the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "bytes.h"

namespace karvo {

// Running out of bytes is ordinary input: a read that does not fit returns false or
// nullptr and leaves the position as it was. The position may pass the end only by
// skip(), which reads nothing; reading there then fails, and beyondEnd() tells how
// many of the bytes skipped were not there.
class MdxReader {
public:
    explicit MdxReader(std::span<const uint8_t> image, uint32_t position = 0)
        : m_data(image.data()), m_size(image.size()) {
        jump(position);
    }

    uint32_t position() const { return static_cast<uint32_t>(m_position); }

    // The next n bytes (n at most a few), moving past them, or nullptr when fewer
    // remain. The position is never more than a few bytes past the end, so adding n
    // cannot wrap.
    const uint8_t* take(uint32_t n) {
        const size_t at = m_position;
        if (at + n > m_size) {
            return nullptr;
        }
        m_position = at + n;
        return m_data + at;
    }
    bool u8(uint8_t& value) {
        if (m_position >= m_size) {
            return false;
        }
        value = m_data[m_position++];
        return true;
    }
    bool be16(uint16_t& value) {
        const uint8_t* p = take(2);
        if (p != nullptr) {
            value = readBe16(p);
        }
        return p != nullptr;
    }
    // The next byte without moving past it; false at the end.
    bool peek(uint8_t& value) const {
        if (m_position >= m_size) {
            return false;
        }
        value = m_data[m_position];
        return true;
    }

    // The next byte without moving past it, over an image padded behind its end as
    // MdxImage is: at the end, or a few bytes past it, a padding byte.
    uint8_t peekPadded() const { return m_data[m_position]; }
    // How many bytes the position stands past the end; 0 up to the end.
    size_t beyondEnd() const { return m_position > m_size ? m_position - m_size : 0; }

    // Moves past n bytes without reading them (n is at most a few), even past the end.
    void skip(uint32_t n) { m_position += n; }

    // Moves to a position of the 16-bit offset space, which wraps; one beyond the
    // image stands at its end.
    void jump(uint32_t position) {
        const size_t at = position & 0xFFFF;
        m_position = at < m_size ? at : m_size;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;   // 64 bits wide, so that it indexes the bytes as it is
};

}   // namespace karvo
