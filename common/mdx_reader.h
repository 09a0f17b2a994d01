// The one cursor over the data image: a span, a position, and reads that check the end.
#pragma once

#include <cstdint>
#include <span>

#include "bytes.h"

namespace karvo {

// Running out of bytes is ordinary input: a read that does not fit returns false or
// nullptr and leaves the position as it was.
class MdxReader {
public:
    explicit MdxReader(std::span<const uint8_t> image, uint32_t position = 0)
        : m_data(image.data()), m_size(static_cast<uint32_t>(image.size())), m_position(position) {}

    uint32_t position() const { return m_position; }

    // The next n bytes, moving past them, or nullptr when fewer remain. The position
    // may stand beyond the image after a jump.
    const uint8_t* take(uint32_t n) {
        const uint32_t at = m_position;
        if (at >= m_size || m_size - at < n) {
            return nullptr;
        }
        m_position = at + n;
        return m_data + at;
    }
    bool u8(uint8_t& value) {
        const uint8_t* p = take(1);
        if (p != nullptr) {
            value = p[0];
        }
        return p != nullptr;
    }
    bool be16(uint16_t& value) {
        const uint8_t* p = take(2);
        if (p != nullptr) {
            value = readBe16(p);
        }
        return p != nullptr;
    }

    // The next byte without moving past it; false beyond the image.
    bool peek(uint8_t& value) const {
        if (m_position >= m_size) {
            return false;
        }
        value = m_data[m_position];
        return true;
    }

    // Moves to a position of the 16-bit offset space, which wraps; reading beyond the
    // image then finds no bytes.
    void jump(uint32_t position) { m_position = position & 0xFFFF; }

private:
    const uint8_t* m_data;
    uint32_t m_size;
    uint32_t m_position;
};

}  // namespace karvo
