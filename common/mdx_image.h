// MDX file head scan and the in-memory data image.
//
//   title ... 0D 0A 1A, sample file name ... 00, then the data area:
//   +0: voice offset (be16)
//   +2: track offsets (be16 each), up to the first byte of track 0
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace karvo {

constexpr uint32_t IMAGE_SIZE = 65536;       // 16-bit offsets reach no further
constexpr int MAX_TRACKS_DECLARED = 16;      // track 0 at offset 34 at the most

// What one run learns from the file: the head scan's results and the data image.
// Every offset is an index into Ibuf.
struct MdxImage {
    uint32_t FileBase = 0;
    uint32_t VoiceBase = 0;
    uint32_t MMLBase[MAX_TRACKS_DECLARED] = {};
    std::vector<uint8_t> headBytes;  // what the head scan read, so that no seek is needed
    uint32_t titleEnd = 0;           // the title is headBytes[0] to [titleEnd - 1]

    // The file from FileBase on, at most IMAGE_SIZE bytes; Ipos reads it.
    std::vector<uint8_t> Ibuf;
    uint32_t Ipos = 0;

    // Index of the last byte loaded; -1 for an empty data area.
    int32_t EndPos() const { return static_cast<int32_t>(Ibuf.size()) - 1; }

    // Bytes the image holds from index pos on; never wraps.
    uint32_t available(uint32_t pos) const {
        const auto size = static_cast<uint32_t>(Ibuf.size());
        return pos < size ? size - pos : 0;
    }
};

// Reads the file head from in byte by byte and sets FileBase, VoiceBase and MMLBase.
// Returns the number of tracks the file declares, or -1 when no complete head is
// found within the first 65,535 bytes. Prints one "base" trace line per track
// offset to trace. The bytes read are kept in headBytes.
int header(MdxImage& image, std::FILE* in, std::FILE* trace);

// Puts the data area (the file from FileBase on) into Ibuf, taking the bytes the head
// scan already read and then the rest of in, at most IMAGE_SIZE bytes. Returns false
// when the data area was longer and has been cut.
bool loadImage(MdxImage& image, std::FILE* in);

}  // namespace karvo
