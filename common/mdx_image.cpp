// The head scan, a state machine over the file's first bytes, and the load.
#include "mdx_image.h"

namespace karvo {
namespace {

constexpr uint32_t SCAN_LIMIT = 65534;   // the scan fetches at most 65,535 bytes

// A track-0 offset outside these bounds never closes the offset table.
bool validFirstTrack(uint32_t offset) {
    return offset % 2 == 0 && offset >= 4 && offset <= 2 + 2 * MAX_TRACKS_DECLARED;
}

}  // namespace

int header(MdxImage& image, std::FILE* in, std::FILE* trace) {
    image.headBytes.clear();
    uint32_t counter = 0;
    int state = 0;
    int i = 0;
    while (counter <= SCAN_LIMIT) {
        const int c = std::getc(in);
        const uint32_t index = counter++;
        if (c != EOF) {
            image.headBytes.push_back(static_cast<uint8_t>(c));
        }
        // The table ends where track 0 begins; that test looks only at the position,
        // so a file that ends right there still has a whole head.
        if (state == 6 && i > 0 && index == image.FileBase + image.MMLBase[0]) {
            return i;
        }
        if (c == EOF) {
            return -1;
        }
        const auto b = static_cast<uint32_t>(c);
        switch (state) {
        case 0:
            state = b == 0x0D ? 1 : 0;
            break;
        case 1:
        case 2: {
            const uint32_t expected = state == 1 ? 0x0A : 0x1A;
            // A CR may start the terminator again, as in "0D 0D 0A 1A" or a title
            // that ends with an empty line.
            state = b == expected ? state + 1 : (b == 0x0D ? 1 : 0);
            if (state == 3) {
                image.titleEnd = index - 2;   // the title stops where 0D 0A 1A begins
            }
            break;
        }
        case 3:
            if (b == 0x00) {
                image.FileBase = counter;
                state = 4;
            }
            break;
        case 4:
            image.VoiceBase = b << 8;
            state = 5;
            break;
        case 5:
            image.VoiceBase = (image.VoiceBase & 0xFF00) | b;
            state = 6;
            break;
        case 6:
            image.MMLBase[i] = b << 8;
            state = 7;
            break;
        case 7:
            image.MMLBase[i] += b;
            std::fprintf(trace, "base %x %x\n", static_cast<unsigned>(i), image.MMLBase[i]);
            if (i == 0 && !validFirstTrack(image.MMLBase[0])) {
                return -1;
            }
            ++i;
            state = 6;
            break;
        default:
            break;
        }
    }
    return -1;
}

bool loadImage(MdxImage& image, std::FILE* in) {
    image.Ibuf.clear();
    if (image.FileBase < image.headBytes.size()) {
        image.Ibuf.assign(image.headBytes.begin() + static_cast<std::ptrdiff_t>(image.FileBase),
                        image.headBytes.end());
    }
    bool whole = true;
    if (!std::feof(in)) {
        // One read for the rest of the image: fread stops short only at the end.
        const size_t have = image.Ibuf.size();
        if (have < IMAGE_SIZE) {
            image.Ibuf.resize(IMAGE_SIZE);
            const size_t got = std::fread(image.Ibuf.data() + have, 1, IMAGE_SIZE - have, in);
            image.Ibuf.resize(have + got);
        }
        if (image.Ibuf.size() == IMAGE_SIZE && std::getc(in) != EOF) {
            whole = false;
        }
    }
    return whole;
}

}  // namespace karvo
