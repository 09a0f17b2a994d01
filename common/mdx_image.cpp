// MDX head: title ... 0D 0A 1A, sample file name ... 00, then the data area:
//   +0: voice offset (be16)
//   +2: track offsets (be16 each), up to the first byte of track 0
#include "mdx_image.h"

#include <algorithm>

namespace karvo {
namespace {

constexpr uint32_t SCAN_LIMIT = 65534;   // the scan fetches at most 65,535 bytes

// A track-0 offset outside these bounds never closes the offset table.
bool validFirstTrack(uint32_t offset) {
    return offset % 2 == 0 && offset >= 4 && offset <= 2 + 2 * MAX_TRACKS_DECLARED;
}

}  // namespace

int header(RunContext& ctx) {
    ctx.headBytes.clear();
    uint32_t counter = 0;
    int state = 0;
    int i = 0;
    while (counter <= SCAN_LIMIT) {
        const int c = std::getc(ctx.fin);
        const uint32_t index = counter++;
        if (c != EOF) {
            ctx.headBytes.push_back(static_cast<uint8_t>(c));
        }
        // The table ends where track 0 begins; that test looks only at the position,
        // so a file that ends right there still has a whole head.
        if (state == 6 && i > 0 && index == ctx.FileBase + ctx.MMLBase[0]) {
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
            break;
        }
        case 3:
            if (b == 0x00) {
                ctx.FileBase = counter;
                state = 4;
            }
            break;
        case 4:
            ctx.VoiceBase = b << 8;
            state = 5;
            break;
        case 5:
            ctx.VoiceBase = (ctx.VoiceBase & 0xFF00) | b;
            state = 6;
            break;
        case 6:
            ctx.MMLBase[i] = b << 8;
            state = 7;
            break;
        case 7:
            ctx.MMLBase[i] += b;
            std::fprintf(ctx.sout, "base %x %x\n", static_cast<unsigned>(i), ctx.MMLBase[i]);
            if (i == 0 && !validFirstTrack(ctx.MMLBase[0])) {
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

bool loadImage(RunContext& ctx) {
    ctx.Ibuf.clear();
    if (ctx.FileBase < ctx.headBytes.size()) {
        ctx.Ibuf.assign(ctx.headBytes.begin() + static_cast<std::ptrdiff_t>(ctx.FileBase),
                        ctx.headBytes.end());
    }
    bool whole = true;
    if (!std::feof(ctx.fin)) {
        uint8_t chunk[4096];
        while (ctx.Ibuf.size() < IMAGE_SIZE) {
            const size_t want = std::min(sizeof chunk, IMAGE_SIZE - ctx.Ibuf.size());
            const size_t got = std::fread(chunk, 1, want, ctx.fin);
            ctx.Ibuf.insert(ctx.Ibuf.end(), chunk, chunk + got);
            if (got < want) {
                break;
            }
        }
        if (ctx.Ibuf.size() == IMAGE_SIZE && std::getc(ctx.fin) != EOF) {
            whole = false;
        }
    }
    return whole;
}

}  // namespace karvo
