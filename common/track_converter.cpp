// The MDX track interpreter. Elements, told by their first byte:
//   00-7F  rest of b+1 ticks
//   80-DF  note (MIDI key b-125), then a duration byte d: d+1 ticks
//   E0-FF  command with 0 to 5 operand bytes
// An element that is not wholly inside the image ends the track as the end
// command would, and does nothing at all.
#include "track_converter.h"

#include <array>
#include <cmath>
#include <cstring>

#include "bytes.h"

namespace karvo {
namespace {

constexpr uint8_t NO_NOTE = 0xFF;
constexpr uint8_t NOTE_VELOCITY = 0x64;
constexpr uint32_t BEND_CENTRE = 0x2000;

// Attenuation of the volume steps 0 to 15.
constexpr uint8_t Volume[16] = {42, 40, 37, 34, 32, 29, 26, 24, 21, 18, 16, 13, 10, 8, 5, 2};

// The voice selects' console lines, "Voice @<hex>\n", gathered and written in one go:
// a song has thousands of them.
class VoiceLines {
public:
    explicit VoiceLines(std::FILE* log) : m_log(log) {}
    ~VoiceLines() { flush(); }
    VoiceLines(const VoiceLines&) = delete;
    VoiceLines& operator=(const VoiceLines&) = delete;

    void add(unsigned voice) {
        if (sizeof m_buf - m_used < LONGEST) {
            flush();
        }
        static constexpr char HEX[] = "0123456789abcdef";
        char* p = m_buf + m_used;
        std::memcpy(p, "Voice @", 7);
        p += 7;
        if (voice >= 16) {
            *p++ = HEX[voice >> 4];
        }
        *p++ = HEX[voice & 15];
        *p++ = '\n';
        m_used = static_cast<size_t>(p - m_buf);
    }

    void flush() {
        std::fwrite(m_buf, 1, m_used, m_log);
        m_used = 0;
    }

private:
    static constexpr size_t LONGEST = 10;   // "Voice @7f\n"
    std::FILE* m_log;
    size_t m_used = 0;
    char m_buf[8192];
};

class TrackConverter {
public:
    TrackConverter(const RunContext& ctx, MdxImage& image, SongState& song, VoiceSide& side,
                   MidiTrack& track, int t, int loops)
        : m_image(image), m_song(song), m_side(side), m_out(track), m_voiceLines(ctx.serr),
          m_data(image.Ibuf.data()), m_size(static_cast<uint32_t>(image.Ibuf.size())),
          m_t(static_cast<uint8_t>(t)), m_pcm(t >= FIRST_PCM_TRACK), m_jumpsLeft(loops - 1) {}

    void preamble() {
        // Program 1 for an FM track, the standard drum kit for a PCM track.
        m_out.event(0xC0, m_pcm ? 0x00 : 0x01);
        static constexpr uint8_t CONTROLLERS[][2] = {
            {0x65, 0x00}, {0x64, 0x00},            // registered parameter 0: bend range
            {0x06, 0x20},                          // 32 semitones
            {0x0D, 0x00}, {0x0C, 0x00},            // the LFO command's depth controllers
        };
        for (const auto& cc : CONTROLLERS) {
            m_out.wait(1);
            m_out.event(0xB0, cc[0], cc[1]);
        }
        m_out.wait(1);
        bend(BEND_CENTRE);
    }

    // Handles one element. Returns false at the end of the track.
    bool step() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        const uint8_t b = p[0];
        if (b < 0x80) {
            m_out.wait(b + 1u);
            return true;
        }
        if (b < 0xE0) {
            return note(b);
        }
        return command(b);
    }

private:
    // The next n bytes at Ipos, or nullptr when the image ends before them.
    const uint8_t* take(uint32_t n) {
        const uint32_t pos = m_image.Ipos;
        if (pos >= m_size || m_size - pos < n) {
            return nullptr;
        }
        m_image.Ipos = pos + n;
        return m_data + pos;
    }

    void bend(uint32_t value) {
        m_out.event(0xE0, static_cast<uint8_t>(value & 0x7F), static_cast<uint8_t>((value >> 7) & 0x7F));
    }

    static uint8_t key(uint8_t noteByte) { return static_cast<uint8_t>(noteByte - 125); }
    void noteOn(uint8_t n) { m_out.event(0x90, key(n), NOTE_VELOCITY); }
    void noteOff(uint8_t n, uint8_t velocity) { m_out.event(0x80, key(n), velocity); }

    void endGlide() {
        if (m_porta) {
            bend(BEND_CENTRE);
            m_porta = false;
        }
    }

    bool note(uint8_t b) {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;   // no duration: not even the sounding note is ended
        }
        const uint32_t length = p[0] + 1u;

        if (m_tie == 0 || m_tie == 1) {
            if (m_sounding != NO_NOTE) {
                noteOff(m_sounding, NOTE_VELOCITY);
            }
            noteOn(b);
            m_portaSum = 0;
            m_sounding = b;
        } else if (b != m_sounding) {
            // Legato: the new note sounds before the old one stops, on the same tick.
            noteOn(b);
            noteOff(m_sounding, NOTE_VELOCITY);
            m_portaSum = 0;
            endGlide();
            m_sounding = b;
        }

        if (m_porta) {
            for (uint32_t i = 0; i < length; ++i) {
                m_portaSum += m_portaStep;   // wraps modulo 2^32
                const int32_t quotient = static_cast<int32_t>(m_portaSum) / 128;
                bend((static_cast<uint32_t>(quotient) + m_detune + BEND_CENTRE) & 0x3FFF);
                m_out.wait(1);
            }
        } else {
            m_out.wait(length);
        }

        if (m_tie == 0 || m_tie == 2) {
            // The voice select's extra tick is taken back from the note it delayed.
            if (m_voiceChange) {
                m_out.takeBackTick();
            }
            noteOff(m_sounding, 0x00);
            m_voiceChange = false;
            endGlide();
            m_sounding = NO_NOTE;
        }
        m_tie = (m_tie == 1 || m_tie == 3) ? 2 : 0;
        return true;
    }

    bool command(uint8_t b) {
        switch (b) {
        case 0xF1:
            return loopBack();
        case 0xF2: {
            const uint8_t* p = take(2);
            if (p == nullptr) {
                return false;
            }
            // The step is a signed 16-bit value, kept as its 32-bit two's complement.
            m_portaStep = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(readBe16(p))));
            m_portaSum = 0;
            m_porta = true;
            return true;
        }
        case 0xF7:
            m_tie = (m_tie == 0) ? 1 : (m_tie == 2) ? 3 : 0;
            return true;
        case 0xF3: return detune();
        case 0xF4: return repeatEscape();
        case 0xF5: return repeatEnd();
        case 0xF6: return repeatStart();
        case 0xFB: return volume();
        case 0xFC: return pan();
        case 0xFD: return voiceSelect();
        case 0xFF: return tempo();
        case 0xEA: return lfo();
        case 0xED: return noise();
        case 0xE7: {
            const uint8_t* p = take(1);
            return p != nullptr && (p[0] != 0x01 || take(1) != nullptr);
        }
        case 0xEB:
        case 0xEC: {
            const uint8_t* p = take(1);
            return p != nullptr && (p[0] == 0x80 || p[0] == 0x81 || take(4) != nullptr);
        }
        case 0xE9:
        case 0xEF:
        case 0xF0:
        case 0xF8:
            return take(1) != nullptr;
        case 0xFE:
            return take(2) != nullptr;
        default:   // E0-E6, E8, EE, F9, FA: no operands, nothing to do
            return true;
        }
    }

    bool tempo() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        // (256 - T) * 256 microseconds per tick, 48 ticks per quarter note.
        const uint32_t usPerQuarter = (256u - p[0]) * 12288u;
        const uint8_t tempo[3] = {static_cast<uint8_t>(usPerQuarter >> 16),
                                  static_cast<uint8_t>(usPerQuarter >> 8),
                                  static_cast<uint8_t>(usPerQuarter)};
        m_out.meta(0x51, tempo);
        return true;
    }

    bool volume() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        const uint8_t v = p[0];
        // 0-15 are volume steps, 80-FF direct attenuations; the values between have
        // no meaning and keep the track's volume as it is.
        if (v <= 15) {
            m_volume = volumeValue(Volume[v]);
        } else if (v >= 0x80) {
            m_volume = volumeValue(v & 0x7Fu);
        }
        m_out.event(0xB0, 0x07, m_volume);
        return true;
    }

    bool pan() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        const uint8_t value = p[0] == 1 ? 0 : p[0] == 2 ? 127 : 64;
        m_out.event(0xB0, 0x0A, value);
        return true;
    }

    // The end command is followed by the loop's offset (be16, back to the loop point)
    // or by 00 when the track does not loop. Played again while plays are left, with
    // every state as it stands.
    bool loopBack() {
        const uint32_t pos = m_image.Ipos;
        if (m_jumpsLeft <= 0 || pos >= m_size || m_data[pos] == 0 || m_size - pos < 2) {
            return false;
        }
        m_image.Ipos = (pos + 2 + readBe16(m_data + pos)) & 0xFFFF;
        --m_jumpsLeft;
        return true;
    }

    bool voiceSelect() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        if (m_pcm) {
            return true;   // a sample part has no voice to select
        }
        m_song.curVoice = p[0] & 0x7F;
        m_voiceLines.add(static_cast<unsigned>(m_song.curVoice));
        m_out.event(0xC0, static_cast<uint8_t>(m_song.curVoice));
        // Whatever follows comes one tick later; the next note end takes it back.
        m_out.wait(1);
        m_voiceChange = true;
        return true;
    }

    bool detune() {
        const uint8_t* p = take(2);
        if (p == nullptr) {
            return false;
        }
        m_detune = static_cast<uint16_t>(readBe16(p) * 2u);
        bend((m_detune + BEND_CENTRE) & 0x3FFF);
        return true;
    }

    bool lfo() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        const uint8_t first = p[0];
        if (first == 0x80 || first == 0x81) {
            return true;
        }
        const uint8_t* q = take(4);
        if (q == nullptr) {
            return false;
        }
        m_out.event(0xB0, 0x4C, static_cast<uint8_t>(q[0] >> 1));   // LFO frequency
        m_out.event(0xB0, 0x0D, static_cast<uint8_t>(q[1] & 0x7F));  // PMD
        m_out.event(0xB0, 0x0C, static_cast<uint8_t>(q[2] & 0x7F));  // AMD
        if (!m_pcm) {
            m_side.setLfoPrm(m_song.curVoice, decodeLfo(first, q[3]));
        }
        return true;
    }

    bool noise() {
        const uint8_t* p = take(1);
        if (p == nullptr) {
            return false;
        }
        // Only the eighth channel of the chip has a noise generator.
        if (m_t == 7) {
            m_side.setNoisePrm(m_song.curVoice, decodeNoise(p[0]));
        }
        return true;
    }

    // Repeats. Level 0 means no repeat is open; the outermost uses counter 1.
    bool repeatStart() {
        const uint8_t* p = take(2);
        if (p == nullptr || m_song.repLevel == REPEAT_LEVELS - 1) {
            return false;   // an eighth level does not fit: the track ends
        }
        ++m_song.repLevel;
        m_song.repCount[m_song.repLevel] = p[0] == 0 ? 1 : p[0];   // a count of 0 plays once
        return true;
    }

    bool repeatEnd() {
        const uint8_t* p = take(2);
        if (p == nullptr) {
            return false;
        }
        if (m_song.repLevel == 0) {
            return true;   // no repeat open
        }
        if (--m_song.repCount[m_song.repLevel] != 0) {
            m_image.Ipos = (m_image.Ipos + readBe16(p)) & 0xFFFF;
        } else {
            --m_song.repLevel;
        }
        return true;
    }

    // The offset counts to the matching repeat end's operand; the jump lands behind it.
    bool repeatEscape() {
        const uint8_t* p = take(2);
        if (p == nullptr) {
            return false;
        }
        if (m_song.repLevel != 0 && m_song.repCount[m_song.repLevel] == 1) {
            m_image.Ipos = (m_image.Ipos + readBe16(p) + 2) & 0xFFFF;
            --m_song.repLevel;
        }
        return true;
    }

    MdxImage& m_image;
    SongState& m_song;
    VoiceSide& m_side;
    MidiTrack& m_out;
    VoiceLines m_voiceLines;
    const uint8_t* const m_data;   // the image, which no track changes
    const uint32_t m_size;
    const uint8_t m_t;
    const bool m_pcm;
    int m_jumpsLeft;      // loop jumps still to make
    int m_tie = 0;
    uint8_t m_sounding = NO_NOTE;
    bool m_porta = false;
    uint32_t m_portaStep = 0;
    uint32_t m_portaSum = 0;
    uint16_t m_detune = 0;
    bool m_voiceChange = false;
    uint8_t m_volume = 127;   // repeated by volume operands without a meaning
};

}  // namespace

// 127 x sqrt(10^(-0.0375 a)), truncated: worked out once for every attenuation, as a
// song sets the volume thousands of times.
uint8_t volumeValue(uint32_t attenuation) {
    static const std::array<uint8_t, 128> VALUES = [] {
        std::array<uint8_t, 128> values{};
        values[0] = 127;
        for (uint32_t a = 1; a < values.size(); ++a) {
            values[a] = static_cast<uint8_t>(127.0 * std::sqrt(std::pow(10.0, -0.0375 * a)));
        }
        return values;
    }();
    return VALUES[attenuation & 127];
}

bool convertTrack(const RunContext& ctx, MdxImage& image, SongState& song, VoiceSide& side,
                  MidiTrack& track, int t, int n, const TrackOptions& options) {
    image.Ipos = image.MMLBase[t];
    track.begin(t >= FIRST_PCM_TRACK ? PCM_CHANNEL : static_cast<uint8_t>(t));
    if (!options.name.empty()) {
        track.meta(0x03, {reinterpret_cast<const uint8_t*>(options.name.data()), options.name.size()});
    }
    track.wait(static_cast<uint32_t>(t) * 8 + 1);
    TrackConverter converter(ctx, image, song, side, track, t, options.loops);
    converter.preamble();
    // Every track's first element falls on tick 8n + 9.
    track.wait(static_cast<uint32_t>(n - t) * 8 + 2);

    bool whole = true;
    const uint32_t maxElements = ctx.maxTrackElements;
    const uint32_t maxChunk = ctx.maxTrackChunk;
    for (uint32_t elements = 0;; ++elements) {
        if (elements == maxElements || track.size() >= maxChunk) {
            whole = false;
            break;
        }
        if (!converter.step()) {
            break;
        }
    }
    track.end();
    return whole;
}

}  // namespace karvo
