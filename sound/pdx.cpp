// The sample file's name, its table of samples, and the ADPCM and PCM decoders.
#include "pdx.h"

#include <algorithm>
#include <array>
#include <limits>

#include "bytes.h"

namespace karvo {
namespace {

char toLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char toUpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

template <typename Convert>
std::string converted(std::string name, Convert convert) {
    std::transform(name.begin(), name.end(), name.begin(), convert);
    return name;
}

bool endsInPdx(std::string_view name) {
    constexpr std::string_view SUFFIX = ".pdx";
    if (name.size() < SUFFIX.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - SUFFIX.size());
    return std::equal(tail.begin(), tail.end(), SUFFIX.begin(),
                      [](char a, char b) { return toLowerAscii(a) == b; });
}

void addOnce(std::vector<std::string>& names, std::string name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(std::move(name));
    }
}

PdxSample tableRecord(std::span<const uint8_t> file, size_t entry) {
    const uint8_t* p = file.data() + entry * PDX_RECORD_SIZE;
    return {readBe32(p), readBe32(p + 4)};
}

// A sample's data must lie wholly between the end of the table and the end of the file.
bool liesInData(PdxSample sample, size_t tableEnd, size_t fileSize) {
    return sample.offset >= tableEnd && sample.offset <= fileSize &&
           sample.length <= fileSize - sample.offset;
}

// STEP[i] = floor(16 * 1.1^i). The fractional parts of 16 * 1.1^i for i = 1..48 lie
// between 0.06 and 0.96, and 48 products in double drift by far less than that, so
// truncating gives the exact steps.
constexpr size_t ADPCM_STEP_COUNT = 49;
constexpr std::array<uint16_t, ADPCM_STEP_COUNT> ADPCM_STEP = [] {
    std::array<uint16_t, ADPCM_STEP_COUNT> steps{};
    double step = 16.0;
    for (uint16_t& s : steps) {
        s = static_cast<uint16_t>(step);
        step *= 1.1;
    }
    return steps;
}();
static_assert(ADPCM_STEP[0] == 16 && ADPCM_STEP[ADPCM_STEP_COUNT - 1] == 1552);

// How far the step index moves after each nibble, by its magnitude bits.
constexpr std::array<int, 8> ADPCM_INDEX_ADJUST = {-1, -1, -1, -1, 2, 4, 6, 8};

constexpr int SIGNAL_MIN = -2048;   // the chip's signal is 12 bits
constexpr int SIGNAL_MAX = 2047;

// One nibble:
//   bit 3    sign: the difference is subtracted
//   bit 2    adds step
//   bit 1    adds step / 2
//   bit 0    adds step / 4
//   always   adds step / 8
class AdpcmDecoder {
public:
    int16_t next(uint32_t nibble) {
        const int step = ADPCM_STEP[m_index];
        int difference = step / 8;
        if ((nibble & 4) != 0) {
            difference += step;
        }
        if ((nibble & 2) != 0) {
            difference += step / 2;
        }
        if ((nibble & 1) != 0) {
            difference += step / 4;
        }
        m_signal =
            std::clamp(m_signal + ((nibble & 8) != 0 ? -difference : difference), SIGNAL_MIN, SIGNAL_MAX);
        m_index = static_cast<size_t>(std::clamp(static_cast<int>(m_index) + ADPCM_INDEX_ADJUST[nibble & 7],
                                                 0, static_cast<int>(ADPCM_STEP_COUNT) - 1));
        return static_cast<int16_t>(m_signal * 16);
    }

private:
    int m_signal = 0;
    size_t m_index = 0;
};

}   // namespace

std::string pdxNameInHead(std::span<const uint8_t> head) {
    constexpr std::array<uint8_t, 3> TITLE_END = {0x0D, 0x0A, 0x1A};
    const auto title = std::search(head.begin(), head.end(), TITLE_END.begin(), TITLE_END.end());
    if (title == head.end()) {
        return {};
    }
    const auto name = title + TITLE_END.size();
    const auto zero = std::find(name, head.end(), uint8_t{0});
    if (zero == head.end()) {
        return {};
    }
    return std::string(name, zero);
}

std::vector<std::string> pdxCandidates(std::string_view nameInHead) {
    // Either slash separates folders on one system or another; a candidate holds neither.
    // A Shift-JIS character whose second byte is 5C ('\') cuts the name there too,
    // which for a name from an untrusted file is the safe reading.
    std::string_view name = nameInHead;
    if (const size_t slash = name.find_last_of("/\\"); slash != std::string_view::npos) {
        name.remove_prefix(slash + 1);
    }
    if (name.empty() || name == "." || name == "..") {
        return {};
    }
    std::vector<std::string> asWritten = {std::string(name)};
    if (!endsInPdx(name)) {
        asWritten.push_back(std::string(name) + ".PDX");
        asWritten.push_back(std::string(name) + ".pdx");
    }
    // The files come from a system that ignores case and may have been copied in
    // either case. A Shift-JIS character's second byte can be an ASCII letter and
    // change with the case; the name as written still comes first.
    std::vector<std::string> names;
    for (const std::string& n : asWritten) {
        addOnce(names, n);
    }
    for (const std::string& n : asWritten) {
        addOnce(names, converted(n, toLowerAscii));
    }
    for (const std::string& n : asWritten) {
        addOnce(names, converted(n, toUpperAscii));
    }
    return names;
}

// How many blocks of 96 records the table holds: it ends where the first sample's
// data begins. Block 0 is always read. Another block is read while it would end at or
// before the lowest offset among the samples read so far, counting only records whose
// data lie wholly between the end of the blocks read and the end of the file. So a
// record that points into the table or past the end never moves the end: a file
// whose block 0 holds no sample has block 0 alone, and the table never covers the
// data of a sample it lists. Where the first data start between two block ends, the
// bytes from the last whole block up to them are unused.
std::optional<PdxTable> readPdxTable(std::span<const uint8_t> file) {
    const size_t size = file.size();
    if (size < PDX_BLOCK_SIZE) {
        return std::nullopt;
    }
    constexpr size_t NO_DATA = std::numeric_limits<size_t>::max();
    size_t lowest = NO_DATA;
    size_t blocks = 0;
    do {
        const size_t tableEnd = (blocks + 1) * PDX_BLOCK_SIZE;
        for (size_t note = 0; note < PDX_NOTES; ++note) {
            const PdxSample sample = tableRecord(file, blocks * PDX_NOTES + note);
            if (!sample.empty() && liesInData(sample, tableEnd, size)) {
                lowest = std::min<size_t>(lowest, sample.offset);
            }
        }
        ++blocks;
        // lowest <= size, so a next block that ends by lowest lies in the file.
    } while (lowest != NO_DATA && (blocks + 1) * PDX_BLOCK_SIZE <= lowest);

    PdxTable table;
    table.samples.resize(blocks * PDX_NOTES);
    const size_t tableEnd = blocks * PDX_BLOCK_SIZE;
    for (size_t entry = 0; entry < table.samples.size(); ++entry) {
        const PdxSample sample = tableRecord(file, entry);
        if (sample.empty()) {
            continue;
        }
        if (liesInData(sample, tableEnd, size)) {
            table.samples[entry] = sample;
        } else {
            ++table.leftOut;
        }
    }
    return table;
}

std::span<const uint8_t> pdxSampleBytes(std::span<const uint8_t> file, PdxSample sample) {
    if (!liesInData(sample, 0, file.size())) {
        return {};
    }
    return file.subspan(sample.offset, sample.length);
}

std::span<const uint16_t> adpcmSteps() { return ADPCM_STEP; }

std::vector<int16_t> decodeAdpcm(std::span<const uint8_t> data) {
    std::vector<int16_t> out;
    out.reserve(data.size() * 2);
    AdpcmDecoder decoder;
    for (const uint8_t byte : data) {
        out.push_back(decoder.next(byte & 0x0Fu));
        out.push_back(decoder.next(uint32_t(byte) >> 4));
    }
    return out;
}

std::vector<int16_t> decodePcm16(std::span<const uint8_t> data) {
    std::vector<int16_t> out(data.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const auto word = static_cast<uint16_t>((uint32_t(data[2 * i]) << 8) | uint32_t(data[2 * i + 1]));
        out[i] = static_cast<int16_t>(word);
    }
    return out;
}

std::vector<int16_t> decodePcm8(std::span<const uint8_t> data) {
    std::vector<int16_t> out(data.size());
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(static_cast<int8_t>(data[i]) * 256);
    }
    return out;
}

std::vector<int16_t> decodePdxSample(std::span<const uint8_t> data, PdxEncoding encoding) {
    switch (encoding) {
    case PdxEncoding::PCM16: return decodePcm16(data);
    case PdxEncoding::PCM8: return decodePcm8(data);
    case PdxEncoding::ADPCM: break;
    }
    return decodeAdpcm(data);
}

}   // namespace karvo
