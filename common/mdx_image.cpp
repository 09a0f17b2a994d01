// The head scan, a state machine over the file's first bytes, and the load.
#include "mdx_image.h"

namespace karvo {
namespace {

constexpr uint32_t SCAN_LIMIT = 65534;   // the scan fetches at most 65,535 bytes

// A track-0 offset outside these bounds never closes the offset table.
bool validFirstTrack(uint32_t offset) {
    return offset % 2 == 0 && offset >= 4 && offset <= 2 + 2 * MAX_TRACKS_DECLARED;
}

// Where the scan stands in the head.
enum class HeadState {
    TITLE,         // looking for 0D
    TITLE_CR,      // 0D seen, 0A expected
    TITLE_CR_LF,   // 0D 0A seen, 1A expected
    SAMPLE_NAME,   // up to its 00
    VOICE_HIGH,
    VOICE_LOW,
    TRACK_HIGH,   // a track offset begins, unless track 0 begins here
    TRACK_LOW,
};

}   // namespace

MdxHead scanHead(std::FILE* in) {
    MdxHead head;
    HeadState state = HeadState::TITLE;
    uint32_t offset = 0;
    for (uint32_t counter = 0; counter <= SCAN_LIMIT;) {
        const int c = std::getc(in);
        const uint32_t index = counter++;
        if (c != EOF) {
            head.bytes.push_back(static_cast<uint8_t>(c));
        }
        // The table ends where track 0 begins; that test looks only at the position,
        // so a file that ends right there still has a whole head.
        if (state == HeadState::TRACK_HIGH && !head.trackOffsets.empty() &&
            index == head.dataStart + head.trackOffsets[0]) {
            head.declaredTracks = static_cast<int>(head.trackOffsets.size());
            return head;
        }
        if (c == EOF) {
            return head;
        }
        const auto b = static_cast<uint32_t>(c);
        switch (state) {
        case HeadState::TITLE: state = b == 0x0D ? HeadState::TITLE_CR : HeadState::TITLE; break;
        case HeadState::TITLE_CR:
        case HeadState::TITLE_CR_LF: {
            const bool cr = state == HeadState::TITLE_CR;
            // A CR may start the terminator again, as in "0D 0D 0A 1A" or a title
            // that ends with an empty line.
            if (b == (cr ? 0x0Au : 0x1Au)) {
                state = cr ? HeadState::TITLE_CR_LF : HeadState::SAMPLE_NAME;
            } else {
                state = b == 0x0D ? HeadState::TITLE_CR : HeadState::TITLE;
            }
            if (state == HeadState::SAMPLE_NAME) {
                head.titleLength = index - 2;   // the title stops where 0D 0A 1A begins
            }
            break;
        }
        case HeadState::SAMPLE_NAME:
            if (b == 0x00) {
                head.dataStart = counter;
                state = HeadState::VOICE_HIGH;
            }
            break;
        case HeadState::VOICE_HIGH:
            head.voiceOffset = b << 8;
            state = HeadState::VOICE_LOW;
            break;
        case HeadState::VOICE_LOW:
            head.voiceOffset |= b;
            state = HeadState::TRACK_HIGH;
            break;
        case HeadState::TRACK_HIGH:
            offset = b << 8;
            state = HeadState::TRACK_LOW;
            break;
        case HeadState::TRACK_LOW:
            head.trackOffsets.push_back(offset | b);
            if (head.trackOffsets.size() == 1 && !validFirstTrack(head.trackOffsets[0])) {
                return head;
            }
            state = HeadState::TRACK_HIGH;
            break;
        }
    }
    return head;
}

MdxImage loadImage(const MdxHead& head, std::FILE* in, bool& whole) {
    // Room for the largest image, left unwritten where the file has no bytes.
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(IMAGE_SIZE + MdxImage::END_PADDING);
    size_t size = 0;
    if (head.dataStart < head.bytes.size()) {
        size = head.bytes.size() - head.dataStart;   // the head is shorter than an image
        std::copy(head.bytes.begin() + static_cast<std::ptrdiff_t>(head.dataStart), head.bytes.end(),
                  bytes.get());
    }
    whole = true;
    if (!std::feof(in)) {
        // One read for the rest of the image: fread stops short only at the end.
        size += std::fread(bytes.get() + size, 1, IMAGE_SIZE - size, in);
        if (size == IMAGE_SIZE && std::getc(in) != EOF) {
            whole = false;
        }
    }
    return MdxImage(std::move(bytes), static_cast<uint32_t>(size), head.voiceOffset, head.trackOffsets);
}

}   // namespace karvo
