// The SoundFont 2 writer: the description checked whole, then every chunk framed in one buffer.
//
// The pdta records, every field little-endian:
//   phdr 38: +0 name[20]  +20 program  +22 bank  +24 first bag  +26 library, genre, morphology (32-bit)
//   inst 22: +0 name[20]  +20 first bag
//   pbag, ibag 4: +0 first generator  +2 first modulator
//   pmod, imod 10: +0 source  +2 destination  +4 amount  +6 amount source  +8 transform
//   pgen, igen 4: +0 generator number  +2 amount
//   shdr 46: +0 name[20]  +20 start  +24 end  +28 loop start  +32 loop end (32-bit, in points)
//            +36 sample rate (32-bit)  +40 original key  +41 correction  +42 linked sample  +44 type
// Each list ends in a terminal record; a header's or bag's successor marks where its zones,
// generators and modulators end.
#include "soundfont.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>
#include <tuple>

namespace karvo {
namespace {

constexpr size_t NAME_SIZE = 20;                    // preset, instrument and sample names
constexpr size_t SHORT_TEXT_SIZE = 256;             // INAM and ISFT, terminating zero included
constexpr size_t COMMENT_SIZE = 65536;              // ICMT, terminating zero included
constexpr uint64_t ZERO_POINTS_AFTER_SAMPLE = 46;   // room for a player's interpolation
constexpr size_t MAX_INDEX = 0xFFFF;                // record indices are 16-bit words
constexpr uint64_t MAX_CHUNK_SIZE = 0xFFFFFFFF;     // chunk lengths are 32-bit words
constexpr uint8_t MAX_MIDI_VALUE = 127;
constexpr uint16_t PERCUSSION_BANK = 128;
constexpr uint16_t MONO_SAMPLE = 1;

// The generators that link a zone to what it plays; always a zone's last.
constexpr uint16_t GENERATOR_INSTRUMENT = 41;
constexpr uint16_t GENERATOR_SAMPLE_ID = 53;
constexpr uint16_t GENERATOR_COUNT = 59;   // 59 and up are unused or mark the end

// Sets of generator numbers as bit masks.
constexpr uint64_t generatorSet(std::initializer_list<int> numbers) {
    uint64_t set = 0;
    for (int n : numbers) {
        set |= uint64_t(1) << n;
    }
    return set;
}
// Numbers the format leaves unused or reserved, below GENERATOR_COUNT.
constexpr uint64_t UNUSED_GENERATORS = generatorSet({14, 18, 19, 20, 42, 49, 55});
// What only an instrument zone may set: sample address offsets (0-4, 12, 45, 50), a fixed
// key or velocity (46, 47), and the sample's own settings (54, 57, 58).
constexpr uint64_t INSTRUMENT_ONLY_GENERATORS = generatorSet({0, 1, 2, 3, 4, 12, 45, 50, 46, 47, 54, 57, 58});

void appendLe16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void appendLe32(std::vector<uint8_t>& out, uint32_t value) {
    appendLe16(out, static_cast<uint16_t>(value));
    appendLe16(out, static_cast<uint16_t>(value >> 16));
}

// How many bytes of text fit in limit without cutting a UTF-8 character in two: a cut
// may not fall before a continuation byte (10xxxxxx).
size_t utf8Prefix(std::string_view text, size_t limit) {
    size_t n = std::min(text.size(), limit);
    while (n > 0 && n < text.size() && (uint8_t(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return n;
}

// A record's name field: always ends in a zero, padded with zeros.
void appendName(std::vector<uint8_t>& out, std::string_view name) {
    const size_t n = utf8Prefix(name, NAME_SIZE - 1);
    out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), NAME_SIZE - n, 0);
}

// An INFO text: zero-terminated, one more zero when that leaves it odd.
std::vector<uint8_t> infoText(std::string_view text, size_t size) {
    const size_t n = utf8Prefix(text, size - 1);
    std::vector<uint8_t> out(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    out.resize(n % 2 == 0 ? n + 2 : n + 1, 0);
    return out;
}

// Chunks framed in one growing buffer: tag, length (le32), body, and a pad byte after an
// odd body that the length leaves out. The length is filled in when the chunk ends.
class RiffWriter {
public:
    explicit RiffWriter(size_t capacity) { m_bytes.reserve(capacity); }

    void begin(const char (&tag)[5]) {
        m_open.push_back(m_bytes.size());
        m_bytes.insert(m_bytes.end(), tag, tag + 4);
        appendLe32(m_bytes, 0);
    }
    // A RIFF or LIST chunk and the type of its contents.
    void begin(const char (&tag)[5], const char (&type)[5]) {
        begin(tag);
        m_bytes.insert(m_bytes.end(), type, type + 4);
    }
    void end() {
        const size_t start = m_open.back();
        m_open.pop_back();
        const uint64_t length = m_bytes.size() - start - 8;
        if (length > MAX_CHUNK_SIZE) {
            m_tooLarge = true;
            return;
        }
        for (size_t i = 0; i < 4; ++i) {
            m_bytes[start + 4 + i] = static_cast<uint8_t>(length >> (8 * i));
        }
        if (length % 2 != 0) {
            m_bytes.push_back(0);
        }
    }
    void chunk(const char (&tag)[5], const std::vector<uint8_t>& body) {
        begin(tag);
        m_bytes.insert(m_bytes.end(), body.begin(), body.end());
        end();
    }
    std::vector<uint8_t>& body() { return m_bytes; }
    // The file, or nothing when a chunk outgrew its 32-bit length.
    std::optional<std::vector<uint8_t>> finish() {
        return m_tooLarge ? std::nullopt : std::optional(std::move(m_bytes));
    }

private:
    std::vector<uint8_t> m_bytes;
    std::vector<size_t> m_open;   // where each unfinished chunk's tag is
    bool m_tooLarge = false;
};

// Every sample checked, and the smpl chunk's size in bytes.
std::optional<uint64_t> sampleDataSize(const std::vector<Sample>& samples) {
    if (samples.empty()) {
        return std::nullopt;
    }
    uint64_t points = 0;
    for (const Sample& s : samples) {
        if (s.points.empty() || s.sampleRate == 0 || s.originalKey > MAX_MIDI_VALUE ||
            s.loopStart > s.loopEnd || s.loopEnd > s.points.size()) {
            return std::nullopt;
        }
        points += s.points.size() + ZERO_POINTS_AFTER_SAMPLE;
    }
    const uint64_t bytes = 2 * points;
    if (bytes > MAX_CHUNK_SIZE) {
        return std::nullopt;
    }
    return bytes;
}

// A zone's generators for a preset zone (presetLevel) or an instrument zone.
bool validGenerators(const std::vector<Generator>& generators, bool presetLevel) {
    uint64_t refused = UNUSED_GENERATORS | generatorSet({GENERATOR_INSTRUMENT, GENERATOR_SAMPLE_ID}) |
                       (presetLevel ? INSTRUMENT_ONLY_GENERATORS : 0);
    for (const Generator& g : generators) {
        if (g.number >= GENERATOR_COUNT || (refused & uint64_t(1) << g.number) != 0) {
            return false;
        }
        refused |= uint64_t(1) << g.number;   // once only
    }
    return true;
}

bool validZones(const std::optional<Zone>& global, const std::vector<Zone>& zones, size_t targets,
                bool presetLevel) {
    if (zones.empty() || (global && !validGenerators(global->generators, presetLevel))) {
        return false;
    }
    return std::all_of(zones.begin(), zones.end(), [&](const Zone& z) {
        return z.target < targets && z.target <= MAX_INDEX && validGenerators(z.generators, presetLevel);
    });
}

bool validPresets(const SoundFont& font) {
    std::vector<std::pair<uint16_t, uint8_t>> numbers;
    for (const Preset& p : font.presets) {
        if (p.program > MAX_MIDI_VALUE || p.bank > PERCUSSION_BANK ||
            !validZones(p.global, p.zones, font.instruments.size(), true)) {
            return false;
        }
        numbers.emplace_back(p.bank, p.program);
    }
    std::sort(numbers.begin(), numbers.end());
    return std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end();
}

// The four record lists of one level, presets or instruments: headers, bags (each a zone's
// first generator and modulator), modulators and generators.
struct LevelRecords {
    std::vector<uint8_t> headers;
    std::vector<uint8_t> bags;
    std::vector<uint8_t> modulators;
    std::vector<uint8_t> generators;
    size_t bagCount = 0;
    size_t modulatorCount = 0;
    size_t generatorCount = 0;
};

void appendModulator(std::vector<uint8_t>& out, const Modulator& m) {
    appendLe16(out, m.source);
    appendLe16(out, m.destination);
    appendLe16(out, static_cast<uint16_t>(m.amount));
    appendLe16(out, m.amountSource);
    appendLe16(out, m.transform);
}

void appendGenerator(std::vector<uint8_t>& out, const Generator& g) {
    appendLe16(out, g.number);
    appendLe16(out, g.amount);
}

// One bag and its records. Players read keyRange only as a zone's first generator and
// velRange only as the first or the one after keyRange, and take the linking generator
// as the zone's last; the rest keep the caller's order. Indices past 16 bits are written
// cut short here and refused with the terminal records.
void appendZone(LevelRecords& level, const Zone& zone, std::optional<Generator> link) {
    appendLe16(level.bags, static_cast<uint16_t>(level.generatorCount));
    appendLe16(level.bags, static_cast<uint16_t>(level.modulatorCount));
    ++level.bagCount;
    for (const Modulator& m : zone.modulators) {
        appendModulator(level.modulators, m);
    }
    level.modulatorCount += zone.modulators.size();

    auto rank = [](const Generator& g) {
        return g.number == Generator::KEY_RANGE ? 0 : g.number == Generator::VEL_RANGE ? 1 : 2;
    };
    for (int pass = 0; pass < 3; ++pass) {
        for (const Generator& g : zone.generators) {
            if (rank(g) == pass) {
                appendGenerator(level.generators, g);
            }
        }
    }
    if (link) {
        appendGenerator(level.generators, *link);
    }
    level.generatorCount += zone.generators.size() + (link ? 1 : 0);
}

void appendPresetHeader(std::vector<uint8_t>& out, std::string_view name, uint16_t program, uint16_t bank,
                        size_t bag) {
    appendName(out, name);
    appendLe16(out, program);
    appendLe16(out, bank);
    appendLe16(out, static_cast<uint16_t>(bag));
    out.insert(out.end(), 12, 0);   // library, genre, morphology: unused
}

void appendInstrumentHeader(std::vector<uint8_t>& out, std::string_view name, size_t bag) {
    appendName(out, name);
    appendLe16(out, static_cast<uint16_t>(bag));
}

// Start, end and loop points are absolute positions in smpl; end and loopEnd are the
// first point after the sample and after the loop. Readers refuse an empty loop even where
// sampleModes never loops, so a sample without one gets the whole sample as its loop.
void appendSampleHeader(std::vector<uint8_t>& out, const Sample& s, uint32_t start, uint16_t type) {
    const auto size = static_cast<uint32_t>(s.points.size());
    const bool looped = s.loopStart != s.loopEnd;
    appendName(out, s.name);
    appendLe32(out, start);
    appendLe32(out, start + size);
    appendLe32(out, start + (looped ? s.loopStart : 0));
    appendLe32(out, start + (looped ? s.loopEnd : size));
    appendLe32(out, s.sampleRate);
    out.push_back(s.originalKey);
    out.push_back(static_cast<uint8_t>(s.pitchCorrection));
    appendLe16(out, 0);   // no linked sample
    appendLe16(out, type);
}

// The records that close each list: a header after the last bag, a bag after the last
// generator and modulator, and an empty modulator, generator and sample. False when any of
// those counts does not fit its 16-bit word.
bool appendTerminalRecords(LevelRecords& presets, LevelRecords& instruments,
                           std::vector<uint8_t>& sampleHeaders) {
    for (LevelRecords* level : {&presets, &instruments}) {
        if (level->bagCount > MAX_INDEX || level->generatorCount > MAX_INDEX ||
            level->modulatorCount > MAX_INDEX) {
            return false;
        }
        appendLe16(level->bags, static_cast<uint16_t>(level->generatorCount));
        appendLe16(level->bags, static_cast<uint16_t>(level->modulatorCount));
        appendModulator(level->modulators, Modulator{});
        appendGenerator(level->generators, Generator{});
    }
    appendPresetHeader(presets.headers, "EOP", 0, 0, presets.bagCount);
    appendInstrumentHeader(instruments.headers, "EOI", instruments.bagCount);
    appendName(sampleHeaders, "EOS");
    sampleHeaders.insert(sampleHeaders.end(), 46 - NAME_SIZE, 0);
    return true;
}

// Presets go out sorted by bank, then program.
LevelRecords presetRecords(const std::vector<Preset>& presets) {
    std::vector<const Preset*> sorted;
    for (const Preset& p : presets) {
        sorted.push_back(&p);
    }
    std::sort(sorted.begin(), sorted.end(), [](const Preset* a, const Preset* b) {
        return std::tie(a->bank, a->program) < std::tie(b->bank, b->program);
    });
    LevelRecords level;
    for (const Preset* p : sorted) {
        appendPresetHeader(level.headers, p->name, p->program, p->bank, level.bagCount);
        if (p->global) {
            appendZone(level, *p->global, std::nullopt);
        }
        for (const Zone& z : p->zones) {
            appendZone(level, z, Generator{GENERATOR_INSTRUMENT, static_cast<uint16_t>(z.target)});
        }
    }
    return level;
}

LevelRecords instrumentRecords(const std::vector<Instrument>& instruments) {
    LevelRecords level;
    for (const Instrument& inst : instruments) {
        appendInstrumentHeader(level.headers, inst.name, level.bagCount);
        if (inst.global) {
            appendZone(level, *inst.global, std::nullopt);
        }
        for (const Zone& z : inst.zones) {
            appendZone(level, z, Generator{GENERATOR_SAMPLE_ID, static_cast<uint16_t>(z.target)});
        }
    }
    return level;
}

void appendInfo(RiffWriter& riff, const SoundFont& font) {
    riff.begin("LIST", "INFO");
    riff.chunk("ifil", {2, 0, 1, 0});   // version 2.01: major, minor (le16 each)
    riff.chunk("isng", infoText("EMU8000", SHORT_TEXT_SIZE));
    riff.chunk("INAM", infoText(font.name, SHORT_TEXT_SIZE));
    if (!font.comment.empty()) {
        riff.chunk("ICMT", infoText(font.comment, COMMENT_SIZE));
    }
    if (!font.software.empty()) {
        riff.chunk("ISFT", infoText(font.software, SHORT_TEXT_SIZE));
    }
    riff.end();
}

// Each sample's points, then its 46 zeros.
void appendSampleData(RiffWriter& riff, const std::vector<Sample>& samples) {
    riff.begin("LIST", "sdta");
    riff.begin("smpl");
    std::vector<uint8_t>& out = riff.body();
    for (const Sample& s : samples) {
        for (int16_t point : s.points) {
            appendLe16(out, static_cast<uint16_t>(point));
        }
        out.insert(out.end(), 2 * ZERO_POINTS_AFTER_SAMPLE, 0);
    }
    riff.end();
    riff.end();
}

}   // namespace

std::optional<std::vector<uint8_t>> buildSoundFont(const SoundFont& font) {
    const std::optional<uint64_t> dataSize = sampleDataSize(font.samples);
    if (!dataSize || !validPresets(font) ||
        !std::all_of(font.instruments.begin(), font.instruments.end(), [&](const Instrument& inst) {
            return validZones(inst.global, inst.zones, font.samples.size(), false);
        })) {
        return std::nullopt;
    }
    LevelRecords presets = presetRecords(font.presets);
    LevelRecords instruments = instrumentRecords(font.instruments);
    std::vector<uint8_t> sampleHeaders;
    uint64_t start = 0;   // fits: the data's size was checked
    for (const Sample& s : font.samples) {
        appendSampleHeader(sampleHeaders, s, static_cast<uint32_t>(start), MONO_SAMPLE);
        start += s.points.size() + ZERO_POINTS_AFTER_SAMPLE;
    }
    if (!appendTerminalRecords(presets, instruments, sampleHeaders)) {
        return std::nullopt;
    }

    size_t capacity = static_cast<size_t>(*dataSize) + font.comment.size() + sampleHeaders.size() + 1024;
    for (const LevelRecords* l : {&presets, &instruments}) {
        capacity += l->headers.size() + l->bags.size() + l->modulators.size() + l->generators.size();
    }
    RiffWriter riff(capacity);
    riff.begin("RIFF", "sfbk");
    appendInfo(riff, font);
    appendSampleData(riff, font.samples);
    riff.begin("LIST", "pdta");
    riff.chunk("phdr", presets.headers);
    riff.chunk("pbag", presets.bags);
    riff.chunk("pmod", presets.modulators);
    riff.chunk("pgen", presets.generators);
    riff.chunk("inst", instruments.headers);
    riff.chunk("ibag", instruments.bags);
    riff.chunk("imod", instruments.modulators);
    riff.chunk("igen", instruments.generators);
    riff.chunk("shdr", sampleHeaders);
    riff.end();
    riff.end();
    return riff.finish();
}

}   // namespace karvo
