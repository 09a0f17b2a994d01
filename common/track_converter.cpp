// The MDX track interpreter. Elements, told by their first byte:
//   00-7F  rest of b+1 ticks
//   80-DF  note (MIDI key b-125), then a duration byte d: d+1 ticks
//   E0-FF  command with 0 to 5 operand bytes (mdx_commands.h)
// An element that is not wholly inside the image ends the track as the end command
// would, and does nothing at all.
#include "track_converter.h"

#include <array>
#include <cmath>

#include "mdx_commands.h"
#include "mdx_reader.h"

namespace karvo {
namespace {

constexpr uint8_t FIRST_NOTE = 0x80;
constexpr uint8_t NO_NOTE = 0xFF;
constexpr uint8_t NOTE_VELOCITY = 0x64;
constexpr uint32_t BEND_CENTRE = 0x2000;
constexpr uint8_t FM_PROGRAM = 1;     // before the first voice select
constexpr uint8_t DRUM_KIT = 0;       // the standard kit on the percussion channel

// Attenuation of the volume steps 0 to 15.
constexpr uint8_t STEP_ATTENUATION[16] = {42, 40, 37, 34, 32, 29, 26, 24, 21, 18, 16, 13, 10, 8, 5, 2};

// The MIDI key of a note byte: 80 is key 3, DF key 98.
constexpr uint8_t keyOf(uint8_t noteByte) { return static_cast<uint8_t>(noteByte - 125); }

class TrackConverter {
public:
    TrackConverter(const MdxImage& image, SongState& song, VoiceSide& voices, TrackListener& listener,
                   MidiTrack& out, int t, int loops)
        : m_reader(image.bytes(), image.trackOffset(t)), m_song(song), m_voices(voices),
          m_listener(listener), m_out(out), m_track(t), m_pcm(t >= FM_TRACKS), m_loopsLeft(loops - 1) {}

    void preamble() {
        m_out.programChange(m_pcm ? DRUM_KIT : FM_PROGRAM);
        static constexpr uint8_t CONTROLLERS[][2] = {
            {0x65, 0x00}, {0x64, 0x00},   // registered parameter 0: bend range
            {0x06, 0x20},                 // 32 semitones
            {0x0D, 0x00}, {0x0C, 0x00},   // the chip LFO command's depth controllers
        };
        for (const auto& cc : CONTROLLERS) {
            m_out.wait(1);
            m_out.controller(cc[0], cc[1]);
        }
        m_out.wait(1);
        m_out.pitchBend(BEND_CENTRE);
    }

    // Converts elements until the end of the track, or until the guards cut it off.
    TrackResult elements(uint32_t maxElements, uint32_t maxChunk) {
        TrackResult result;
        for (;;) {
            if (result.elements == maxElements || m_out.size() >= maxChunk) {
                result.whole = false;
                return result;
            }
            ++result.elements;
            const uint8_t* p = m_reader.take(1);
            if (p == nullptr) {
                return result;
            }
            const uint8_t b = *p;
            if (b < FIRST_NOTE) {
                m_out.wait(b + 1u);   // a rest
            } else if (!(b < FIRST_COMMAND ? note(b) : command(b))) {
                return result;
            }
        }
    }

private:
    // Returns false when the note's duration is cut off: then not even the sounding
    // note is ended.
    bool note(uint8_t noteByte) {
        uint8_t duration = 0;
        if (!m_reader.u8(duration)) {
            return false;
        }
        if (!m_tiedNote) {
            if (m_sounding != NO_NOTE) {
                m_out.noteOff(keyOf(m_sounding), NOTE_VELOCITY);
            }
            m_out.noteOn(keyOf(noteByte), NOTE_VELOCITY);
            m_glideSum = 0;
            m_sounding = noteByte;
        } else if (noteByte != m_sounding) {
            // Legato: the new note sounds before the old one stops, on the same tick.
            m_out.noteOn(keyOf(noteByte), NOTE_VELOCITY);
            m_out.noteOff(keyOf(m_sounding), NOTE_VELOCITY);
            m_glideSum = 0;
            endGlide();
            m_sounding = noteByte;
        }

        const uint32_t length = duration + 1u;
        if (m_glide) {
            // One bend a tick; the sum goes on over a tied note of the same key.
            for (uint32_t i = 0; i < length; ++i) {
                m_glideSum += m_glideStep;   // wraps modulo 2^32
                const int32_t quotient = static_cast<int32_t>(m_glideSum) / 128;
                m_out.pitchBend((static_cast<uint32_t>(quotient) + m_detune + BEND_CENTRE) & 0x3FFF);
                m_out.wait(1);
            }
        } else {
            m_out.wait(length);
        }

        if (!m_tieAsked) {
            // The voice select's extra tick is taken back from the note it delayed.
            if (m_voiceChangeTick) {
                m_out.takeBackTick();
            }
            m_out.noteOff(keyOf(m_sounding), 0x00);
            m_voiceChangeTick = false;
            endGlide();
            m_sounding = NO_NOTE;
        }
        m_tiedNote = m_tieAsked;
        m_tieAsked = false;
        return true;
    }

    // The centring bend drops the detune too; the detune value stays for later glides.
    void endGlide() {
        if (m_glide) {
            m_out.pitchBend(BEND_CENTRE);
            m_glide = false;
        }
    }

    // Returns false at the end of the track.
    bool command(uint8_t b) {
        const Command& c = commandFor(b);
        uint8_t first = 0;
        m_reader.peek(first);
        const uint32_t count = operandCount(c.operands, first);
        const uint8_t* operands = nullptr;
        if (count != 0 && (operands = m_reader.take(count)) == nullptr) {
            return false;
        }
        switch (c.handler) {
        case Handler::IGNORED: return true;
        case Handler::END: return loopBack();
        case Handler::PORTAMENTO:
            // A signed 16-bit step, kept as its 32-bit two's complement.
            m_glideStep = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(readBe16(operands))));
            m_glideSum = 0;
            m_glide = true;
            return true;
        case Handler::DETUNE:
            m_detune = static_cast<uint16_t>(readBe16(operands) * 2u);
            m_out.pitchBend((m_detune + BEND_CENTRE) & 0x3FFF);
            return true;
        case Handler::REPEAT_ESCAPE: return repeatEscape(readBe16(operands));
        case Handler::REPEAT_END: return repeatEnd(readBe16(operands));
        case Handler::REPEAT_START: return repeatStart(operands[0]);
        case Handler::TIE:
            // Asked twice, a tie cancels itself, and a tied note's continuation with it.
            m_tiedNote = m_tieAsked ? false : m_tiedNote;
            m_tieAsked = !m_tieAsked;
            return true;
        case Handler::VOLUME: return volume(operands[0]);
        case Handler::PAN:
            m_out.controller(0x0A, operands[0] == 1 ? 0 : operands[0] == 2 ? 127 : 64);
            return true;
        case Handler::VOICE_SELECT: return voiceSelect(operands[0]);
        case Handler::TEMPO:
            // (256 - T) x 256 microseconds a tick, 48 ticks a quarter note.
            m_out.tempo((256u - operands[0]) * 12288u);
            return true;
        case Handler::CHIP_LFO: return chipLfo(operands);
        case Handler::NOISE:
            // Only the eighth channel of the chip has a noise generator.
            if (m_track == FM_TRACKS - 1) {
                m_voices.captureNoise(m_song.currentVoice, decodeNoise(operands[0]));
            }
            return true;
        }
        return true;
    }

    // The end command is followed by the loop's offset (be16, back to the loop point)
    // or by 00 when the track does not loop. Played again while plays are left, with
    // every state as it stands.
    bool loopBack() {
        if (m_loopsLeft <= 0) {
            return false;
        }
        const uint8_t* offset = m_reader.take(2);
        if (offset == nullptr || offset[0] == 0) {
            return false;
        }
        m_reader.jump(m_reader.position() + readBe16(offset));
        --m_loopsLeft;
        return true;
    }

    bool volume(uint8_t v) {
        // 0-15 are volume steps, 80-FF direct attenuations; the values between have
        // no meaning and keep the track's volume as it is.
        if (v <= 15) {
            m_volume = volumeValue(STEP_ATTENUATION[v]);
        } else if (v >= 0x80) {
            m_volume = volumeValue(v & 0x7Fu);
        }
        m_out.controller(0x07, m_volume);
        return true;
    }

    bool voiceSelect(uint8_t operand) {
        if (m_pcm) {
            return true;   // a sample part has no voice to select
        }
        m_song.currentVoice = operand & 0x7F;
        m_listener.voiceSelected(m_song.currentVoice);
        m_out.programChange(static_cast<uint8_t>(m_song.currentVoice));
        // Whatever follows comes one tick later; the next note end takes it back.
        m_out.wait(1);
        m_voiceChangeTick = true;
        return true;
    }

    // Five operands: waveform, LFRQ, PMD, AMD, then PMS/AMS. The stop and restart
    // forms (80, 81) have only the first and do nothing here.
    bool chipLfo(const uint8_t* operands) {
        if (operands[0] == 0x80 || operands[0] == 0x81) {
            return true;
        }
        m_out.controller(0x4C, static_cast<uint8_t>(operands[1] >> 1));     // LFO frequency
        m_out.controller(0x0D, static_cast<uint8_t>(operands[2] & 0x7F));   // PMD
        m_out.controller(0x0C, static_cast<uint8_t>(operands[3] & 0x7F));   // AMD
        if (!m_pcm) {
            m_voices.captureLfo(m_song.currentVoice, decodeLfo(operands[0], operands[4]));
        }
        return true;
    }

    // A repeat that would open an eighth level does not fit: the track ends there.
    bool repeatStart(uint8_t count) {
        RepeatStack& r = m_song.repeats;
        if (r.level == RepeatStack::LEVELS - 1) {
            return false;
        }
        ++r.level;
        r.counts[r.level] = count == 0 ? 1 : count;   // a count of 0 plays once
        return true;
    }

    // Back to the repeat's start, a jump counted from behind the operand, while passes
    // are left. A repeat end with no repeat open is read over.
    bool repeatEnd(uint16_t offset) {
        RepeatStack& r = m_song.repeats;
        if (r.level == 0) {
            return true;
        }
        if (--r.counts[r.level] != 0) {
            m_reader.jump(m_reader.position() + offset);
        } else {
            --r.level;
        }
        return true;
    }

    // On the last pass, out of the repeat: the offset counts to the matching repeat
    // end's operand, and the jump lands behind it.
    bool repeatEscape(uint16_t offset) {
        RepeatStack& r = m_song.repeats;
        if (r.level != 0 && r.counts[r.level] == 1) {
            m_reader.jump(m_reader.position() + offset + 2);
            --r.level;
        }
        return true;
    }

    MdxReader m_reader;
    SongState& m_song;
    VoiceSide& m_voices;
    TrackListener& m_listener;
    MidiTrack& m_out;
    const int m_track;
    const bool m_pcm;
    int m_loopsLeft;                 // jumps back to the loop point still to make

    // The notes: ties, the sounding note, glides and the voice select's tick.
    bool m_tieAsked = false;         // the next note ends without a key-off
    bool m_tiedNote = false;         // the sounding note came through a tie: the next continues it
    uint8_t m_sounding = NO_NOTE;    // the note byte of the note still on
    bool m_glide = false;            // armed by the portamento command for the next note
    uint32_t m_glideStep = 0;
    uint32_t m_glideSum = 0;
    uint16_t m_detune = 0;
    bool m_voiceChangeTick = false;  // a voice select delayed what follows by a tick
    uint8_t m_volume = 127;          // repeated by volume operands without a meaning
};

}  // namespace

// Worked out once for every attenuation, as a song sets the volume thousands of times.
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

TrackResult convertTrack(const RunContext& ctx, const MdxImage& image, SongState& song, VoiceSide& voices,
                         TrackListener& listener, MidiTrack& out, int t, int trackCount,
                         const TrackOptions& options) {
    out.begin(t >= FM_TRACKS ? PCM_CHANNEL : static_cast<uint8_t>(t));
    if (!options.name.empty()) {
        out.sequenceName({reinterpret_cast<const uint8_t*>(options.name.data()), options.name.size()});
    }
    out.wait(preambleStartTick(t));
    TrackConverter converter(image, song, voices, listener, out, t, options.loops);
    converter.preamble();
    out.wait(firstElementTick(trackCount) - (preambleStartTick(t) + 6));
    const TrackResult result = converter.elements(ctx.maxTrackElements, ctx.maxTrackChunk);
    out.end();
    return result;
}

}  // namespace karvo
