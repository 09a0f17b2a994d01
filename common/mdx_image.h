// The MDX file head and the in-memory data image.
//
//   title ... 0D 0A 1A, sample file name ... 00, then the data area:
//   +0: voice offset (be16)
//   +2: track offsets (be16 each), up to the first byte of track 0
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

namespace karvo {

constexpr uint32_t IMAGE_SIZE = 65536;    // 16-bit offsets reach no further
constexpr int MAX_TRACKS_DECLARED = 16;   // track 0 at offset 34 at the most

// What the head scan reads of a file.
struct MdxHead {
    int declaredTracks = -1;   // -1: no whole head within the first 65,535 bytes
    uint32_t dataStart = 0;    // file position of the data area
    uint32_t voiceOffset = 0;
    std::vector<uint32_t> trackOffsets;   // every offset read, in file order, also of a head cut short
    std::vector<uint8_t> bytes;           // every byte the scan read, so that no seek is needed
    uint32_t titleLength = 0;             // the title is bytes[0] to bytes[titleLength - 1]

    bool complete() const { return declaredTracks >= 0; }
    std::span<const uint8_t> title() const { return {bytes.data(), titleLength}; }
};

// Reads the file head from in, byte by byte, as far as the first byte of track 0.
MdxHead scanHead(std::FILE* in);

// The data area, from the voice offset on, as the tracks and the voices read it.
// Every offset of the file is an index into it; it never changes once loaded.
//
// Behind its last byte lie END_PADDING end-of-track command bytes (F1), outside
// bytes(), so that the track loop may read the byte at its position, or a few past
// the end, without looking at the end first: what it finds there ends the track.
class MdxImage {
public:
    static constexpr uint32_t END_PADDING = 8;
    static constexpr uint8_t PADDING_BYTE = 0xF1;

    MdxImage() : MdxImage(std::make_unique_for_overwrite<uint8_t[]>(END_PADDING), 0, 0, {}) {}
    // bytes holds size bytes and room for the padding behind them.
    MdxImage(std::unique_ptr<uint8_t[]> bytes, uint32_t size, uint32_t voiceOffset,
             std::vector<uint32_t> trackOffsets)
        : m_bytes(std::move(bytes)), m_size(size), m_voiceOffset(voiceOffset),
          m_trackOffsets(std::move(trackOffsets)) {
        std::fill_n(m_bytes.get() + size, END_PADDING, PADDING_BYTE);
    }
    // A copy of bytes, as tests build an image.
    MdxImage(std::span<const uint8_t> bytes, uint32_t voiceOffset, std::vector<uint32_t> trackOffsets)
        : MdxImage(copyOf(bytes), static_cast<uint32_t>(bytes.size()), voiceOffset, std::move(trackOffsets)) {
    }

    std::span<const uint8_t> bytes() const { return {m_bytes.get(), m_size}; }
    uint32_t voiceOffset() const { return m_voiceOffset; }
    uint32_t trackOffset(int track) const { return m_trackOffsets[static_cast<size_t>(track)]; }

private:
    static std::unique_ptr<uint8_t[]> copyOf(std::span<const uint8_t> bytes) {
        auto copy = std::make_unique_for_overwrite<uint8_t[]>(bytes.size() + END_PADDING);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        return copy;
    }

    std::unique_ptr<uint8_t[]> m_bytes;
    uint32_t m_size = 0;
    uint32_t m_voiceOffset = 0;
    std::vector<uint32_t> m_trackOffsets;
};

// The data area of a whole head: the bytes the scan already read behind its start,
// then the rest of in, at most IMAGE_SIZE bytes. whole is false when the area was
// longer and has been cut.
MdxImage loadImage(const MdxHead& head, std::FILE* in, bool& whole);

}   // namespace karvo
