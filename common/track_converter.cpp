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
constexpr uint8_t NOTE_VELOCITY = 0x64;
constexpr uint32_t BEND_CENTRE = 0x2000;
constexpr uint8_t FM_PROGRAM = 1;   // before the first voice select
constexpr uint8_t DRUM_KIT = 0;     // the standard kit on the percussion channel

// Attenuation of the volume steps 0 to 15.
constexpr uint8_t STEP_ATTENUATION[16] = {42, 40, 37, 34, 32, 29, 26, 24, 21, 18, 16, 13, 10, 8, 5, 2};

// The MIDI key of a note byte: 80 is key 3, DF key 98.
constexpr uint8_t keyOf(uint8_t noteByte) { return static_cast<uint8_t>(noteByte - 125); }

// What the element loop does with each first byte, derived from COMMANDS once, so
// that it dispatches on one table lookup: read over a command with 0 to 2 operand
// bytes; a rest; a note; read over a software LFO or an extended command, whose
// first operand tells their length; or, from HANDLED on, a command's handler.
enum Step : uint8_t {
    SKIP_0,
    SKIP_1,
    SKIP_2,
    REST,
    NOTE,
    SKIP_LFO,
    SKIP_EXTENDED,
    HANDLED,
};
constexpr uint8_t stepOf(Handler handler) {
    return static_cast<uint8_t>(HANDLED + static_cast<uint8_t>(handler));
}

constexpr std::array<uint8_t, 256> STEPS = [] {
    std::array<uint8_t, 256> steps{};
    for (size_t b = 0; b < steps.size(); ++b) {
        if (b < FIRST_NOTE) {
            steps[b] = REST;
        } else if (b < FIRST_COMMAND) {
            steps[b] = NOTE;
        } else if (const Command& c = COMMANDS[b - FIRST_COMMAND]; c.handler != Handler::IGNORED) {
            steps[b] = stepOf(c.handler);
        } else if (c.operands == Operands::LFO) {
            steps[b] = SKIP_LFO;
        } else if (c.operands == Operands::EXTENDED) {
            steps[b] = SKIP_EXTENDED;
        } else {
            steps[b] = static_cast<uint8_t>(operandCount(c.operands, 0));
        }
    }
    return steps;
}();

// The operand bytes of the command a handler acts on; every handler but the chip
// LFO's has a fixed number.
constexpr uint32_t operandsOf(Handler handler) {
    for (const Command& c : COMMANDS) {
        if (c.handler == handler) {
            return operandCount(c.operands, 0);
        }
    }
    return 0;
}

// What a track's notes have to remember from element to element. The flags are bits
// of one byte, so that the loop tells a plain note, with none of them set, by one
// comparison.
struct NoteState {
    static constexpr uint8_t TIE_ASKED = 1;    // the next note ends without a key-off
    static constexpr uint8_t TIED_NOTE = 2;    // the sounding note came through a tie: the next continues it
    static constexpr uint8_t SOUNDING = 4;     // a note is still on
    static constexpr uint8_t VOICE_TICK = 8;   // a voice select delayed what follows by a tick
    static constexpr uint8_t GLIDE = 16;       // armed by the portamento command for the next note
    uint8_t flags = 0;

    bool has(uint8_t flag) const { return (flags & flag) != 0; }
    void set(uint8_t flag, bool on) { flags = static_cast<uint8_t>(on ? flags | flag : flags & ~flag); }

    uint8_t sounding = 0;   // the key of the note still on, while SOUNDING
    uint32_t glideStep = 0;
    uint32_t glideSum = 0;
    uint16_t detune = 0;
};

// One track's conversion: the element loop and a handler for each kind of element.
// The loop holds the reader, the writer and the note state in local variables and
// hands them only to functions inlined into it, so that the compiler keeps them in
// registers while MIDI bytes are stored.
class TrackConverter {
public:
    TrackConverter(SongState& song, VoiceSide& voices, TrackListener& listener, int t,
                   const TrackOptions& options)
        : m_song(song), m_voices(voices), m_listener(listener), m_track(t), m_pcm(t >= FM_TRACKS),
          m_loopsLeft(options.loops - 1), m_pcmKeys(options.pcmKeys),
          m_findingPcmKeys(options.findingPcmKeys) {}

    void preamble(MidiTrack::Writer& out) const {
        out.programChange(m_pcm ? DRUM_KIT : FM_PROGRAM);
        static constexpr uint8_t CONTROLLERS[][2] = {
            {0x65, 0x00}, {0x64, 0x00},   // registered parameter 0: bend range
            {0x06, 0x20},                 // 32 semitones
            {0x0D, 0x00}, {0x0C, 0x00},   // the chip LFO command's depth controllers
        };
        for (const auto& cc : CONTROLLERS) {
            out.wait(1);
            out.controller(cc[0], cc[1]);
        }
        out.wait(1);
        out.pitchBend(BEND_CENTRE);
    }

    // Converts elements until the end of the track, or until the guards cut it off:
    // no element beyond the first maxElements is acted on, and none after the chunk
    // has reached maxChunk bytes.
    //
    // Rests and the commands read over are most of a song's elements. They write
    // nothing and change nothing but the pending ticks, and a run of them never
    // jumps, so it ends within the image. So the loop counts them without stopping
    // them, and looks at the guards only before an element that acts: what a cut-off
    // run would have left undone is ticks, which the end of the chunk drops anyway.
    // At the track's end, the element that ended it counts against maxElements.
    TrackResult elements(MdxReader& reader, MidiTrack::Writer& writer, uint32_t maxElements,
                         uint32_t maxChunk) {
        MdxReader in = reader;
        MidiTrack::Writer out = writer;
        out.stopAt(maxChunk);
        NoteState notes;
        int64_t left = maxElements;   // elements that may still act; below 0 once more are read
        bool whole = false;
        for (bool goOn = !out.full(); goOn;) {
            uint8_t b = 0;
            if (!in.u8(b)) [[unlikely]] {
                // The last element was cut off by the image's end, or the image ends
                // where the next would start, and would be one more.
                whole = (in.overran() ? left : left - 1) >= 0;
                break;
            }
            --left;
            const uint8_t step = STEPS[b];
            if (step < REST) [[likely]] {
                in.skip(step);
                continue;
            }
            if (step == REST) {
                out.wait(b + 1u);
                continue;
            }
            if (step == SKIP_LFO || step == SKIP_EXTENDED) {
                uint8_t first = 0;
                in.peek(first);
                in.skip(operandCount(step == SKIP_LFO ? Operands::LFO : Operands::EXTENDED, first));
                continue;
            }
            if (left < 0) [[unlikely]] {
                break;
            }
            if (!(step == NOTE ? note(in, out, notes, m_pcm ? pcmKey(b) : keyOf(b))
                               : command(in, out, notes, step))) {
                whole = true;
                break;
            }
            goOn = !out.full();
        }
        writer = out;
        return {whole, static_cast<uint32_t>(maxElements - (left > 0 ? left : 0))};
    }

private:
    // A note on key. Returns false when the note's duration is cut off: then not even
    // the sounding note is ended.
    [[gnu::always_inline]] static bool note(MdxReader& in, MidiTrack::Writer& out, NoteState& n,
                                            uint8_t key) {
        uint8_t duration = 0;
        if (!in.u8(duration)) {
            return false;
        }
        if (n.flags == 0) {
            // A plain note, as most are: on now, off when its length is over.
            out.note(key, NOTE_VELOCITY, duration + 1u, 0x00);
            return true;
        }
        if (n.flags == NoteState::VOICE_TICK) {
            // A plain note right after a voice select, which delayed it by a tick: it
            // ends where it would have ended.
            out.note(key, NOTE_VELOCITY, duration, 0x00);
            n.flags = 0;
            return true;
        }
        if ((n.flags & ~NoteState::VOICE_TICK) == (NoteState::TIED_NOTE | NoteState::SOUNDING) &&
            key == n.sounding) {
            // The note a tie carries on: it goes on sounding, and ends with this one.
            out.wait(duration + 1u);
            if (n.has(NoteState::VOICE_TICK)) {
                out.takeBackTick();
            }
            out.noteOff(key, 0x00);
            n.flags = 0;
            return true;
        }
        if (!n.has(NoteState::TIED_NOTE)) {
            if (n.has(NoteState::SOUNDING)) {
                out.noteOff(n.sounding, NOTE_VELOCITY);
            }
            out.noteOn(key, NOTE_VELOCITY);
            n.glideSum = 0;
            n.sounding = key;
        } else if (key != n.sounding) {
            // Legato: the new note sounds before the old one stops, on the same tick.
            out.noteOn(key, NOTE_VELOCITY);
            out.noteOff(n.sounding, NOTE_VELOCITY);
            n.glideSum = 0;
            endGlide(out, n);
            n.sounding = key;
        }
        n.set(NoteState::SOUNDING, true);

        const uint32_t length = duration + 1u;
        if (n.has(NoteState::GLIDE)) {
            glide(out, n, length);
        } else {
            out.wait(length);
        }

        if (!n.has(NoteState::TIE_ASKED)) {
            // The voice select's extra tick is taken back from the note it delayed.
            if (n.has(NoteState::VOICE_TICK)) {
                out.takeBackTick();
            }
            out.noteOff(n.sounding, 0x00);
            n.set(NoteState::VOICE_TICK, false);
            endGlide(out, n);
            n.set(NoteState::SOUNDING, false);
        }
        n.set(NoteState::TIED_NOTE, n.has(NoteState::TIE_ASKED));
        n.set(NoteState::TIE_ASKED, false);
        return true;
    }

    // One bend a tick; the sum goes on over a tied note of the same key.
    [[gnu::always_inline]] static void glide(MidiTrack::Writer& out, NoteState& n, uint32_t length) {
        for (uint32_t i = 0; i < length; ++i) {
            n.glideSum += n.glideStep;   // wraps modulo 2^32
            const int32_t quotient = static_cast<int32_t>(n.glideSum) / 128;
            out.pitchBend((static_cast<uint32_t>(quotient) + n.detune + BEND_CENTRE) & 0x3FFF);
            out.wait(1);
        }
    }

    // The centring bend drops the detune too; the detune value stays for later glides.
    [[gnu::always_inline]] static void endGlide(MidiTrack::Writer& out, NoteState& n) {
        if (n.has(NoteState::GLIDE)) {
            out.pitchBend(BEND_CENTRE);
            n.set(NoteState::GLIDE, false);
        }
    }

    // The key of a PCM track's note: its sample in the form the track set, looked up in
    // the song's PCM keys, or found for them. Without them, the note byte's own key.
    uint8_t pcmKey(uint8_t noteByte) {
        if (m_pcmKeys == nullptr) {
            return keyOf(noteByte);
        }
        const PcmSound sound{static_cast<uint16_t>(m_pcmBank * 96u + (noteByte - FIRST_NOTE)), m_pcmForm};
        return m_findingPcmKeys ? m_pcmKeys->played(sound) : m_pcmKeys->keyOf(sound);
    }

    // A command with a handler, by its step. Returns false at the end of the track,
    // which a command whose operands are cut off also is.
    [[gnu::always_inline]] bool command(MdxReader& in, MidiTrack::Writer& out, NoteState& n, uint8_t step) {
        const auto handler = static_cast<Handler>(step - HANDLED);
        const uint8_t* operands = nullptr;
        if (handler == Handler::CHIP_LFO) {
            uint8_t first = 0;
            in.peek(first);
            operands = in.take(operandCount(Operands::LFO, first));
        } else {
            operands = in.take(FIXED_OPERANDS[static_cast<uint8_t>(handler)]);
        }
        if (operands == nullptr) {
            return false;
        }
        switch (handler) {
        case Handler::IGNORED: return true;
        case Handler::END: return loopBack(in);
        case Handler::PORTAMENTO:
            // A signed 16-bit step, kept as its 32-bit two's complement.
            n.glideStep =
                static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(readBe16(operands))));
            n.glideSum = 0;
            n.set(NoteState::GLIDE, true);
            return true;
        case Handler::DETUNE:
            n.detune = static_cast<uint16_t>(readBe16(operands) * 2u);
            out.pitchBend((n.detune + BEND_CENTRE) & 0x3FFF);
            return true;
        case Handler::REPEAT_ESCAPE: return repeatEscape(in, readBe16(operands));
        case Handler::REPEAT_END: return repeatEnd(in, readBe16(operands));
        case Handler::REPEAT_START: return repeatStart(operands[0]);
        case Handler::TIE:
            // Asked twice, a tie cancels itself, and a tied note's continuation with it.
            if (n.has(NoteState::TIE_ASKED)) {
                n.set(NoteState::TIED_NOTE, false);
            }
            n.set(NoteState::TIE_ASKED, !n.has(NoteState::TIE_ASKED));
            return true;
        case Handler::VOLUME: return volume(out, operands[0]);
        case Handler::PAN:
            out.controller(0x0A, operands[0] == 1 ? 0 : operands[0] == 2 ? 127 : 64);
            return true;
        case Handler::VOICE_SELECT: return voiceSelect(out, n, operands[0]);
        case Handler::PCM_MODE:
            // The 8-channel extension is switched on from the first track.
            m_song.pcm8 = m_song.pcm8 || m_track == 0;
            return true;
        case Handler::TEMPO:
            // (256 - T) x 256 microseconds a tick, 48 ticks a quarter note.
            out.tempo((256u - operands[0]) * 12288u);
            return true;
        case Handler::CHIP_LFO: return chipLfo(out, operands);
        case Handler::NOISE:
            // Only the eighth channel of the chip has a noise generator; on a PCM track
            // the command sets the form of the notes after it.
            if (m_track == FM_TRACKS - 1) {
                m_voices.captureNoise(m_song.currentVoice, decodeNoise(operands[0]));
            } else if (m_pcm) {
                m_pcmForm = pcmFormOf(operands[0], m_song.pcm8);
            }
            return true;
        }
        return true;
    }

    static constexpr auto FIXED_OPERANDS = [] {
        std::array<uint8_t, static_cast<size_t>(Handler::PCM_MODE) + 1> counts{};
        for (size_t h = 0; h < counts.size(); ++h) {
            counts[h] = static_cast<uint8_t>(operandsOf(static_cast<Handler>(h)));
        }
        return counts;
    }();

    // The end command is followed by the loop's offset (be16, back to the loop point)
    // or by 00 when the track does not loop. Played again while plays are left, with
    // every state as it stands.
    [[gnu::always_inline]] bool loopBack(MdxReader& in) {
        if (m_loopsLeft <= 0) {
            return false;
        }
        const uint8_t* offset = in.take(2);
        if (offset == nullptr || offset[0] == 0) {
            return false;
        }
        in.jump(in.position() + readBe16(offset));
        --m_loopsLeft;
        return true;
    }

    [[gnu::always_inline]] bool volume(MidiTrack::Writer& out, uint8_t v) {
        // 0-15 are volume steps, 80-FF direct attenuations; the values between have
        // no meaning and keep the track's volume as it is.
        if (v <= 15) {
            m_volume = volumeValue(STEP_ATTENUATION[v]);
        } else if (v >= 0x80) {
            m_volume = volumeValue(v & 0x7Fu);
        }
        out.controller(0x07, m_volume);
        return true;
    }

    [[gnu::always_inline]] bool voiceSelect(MidiTrack::Writer& out, NoteState& n, uint8_t operand) {
        if (m_pcm) {
            // A sample part has no voice; with the 8-channel extension it selects a
            // bank of 96 samples.
            m_pcmBank = m_song.pcm8 ? operand : 0;
            return true;
        }
        m_song.currentVoice = operand & 0x7F;
        m_listener.voiceSelected(m_song.currentVoice);
        out.programChange(static_cast<uint8_t>(m_song.currentVoice));
        // Whatever follows comes one tick later; the next note end takes it back.
        out.wait(1);
        n.set(NoteState::VOICE_TICK, true);
        return true;
    }

    // Five operands: waveform, LFRQ, PMD, AMD, then PMS/AMS. The stop and restart
    // forms (80, 81) have only the first and do nothing here.
    [[gnu::always_inline]] bool chipLfo(MidiTrack::Writer& out, const uint8_t* operands) {
        if (operands[0] == 0x80 || operands[0] == 0x81) {
            return true;
        }
        out.controller(0x4C, static_cast<uint8_t>(operands[1] >> 1));     // LFO frequency
        out.controller(0x0D, static_cast<uint8_t>(operands[2] & 0x7F));   // PMD
        out.controller(0x0C, static_cast<uint8_t>(operands[3] & 0x7F));   // AMD
        if (!m_pcm) {
            m_voices.captureLfo(m_song.currentVoice, decodeLfo(operands[0], operands[4]));
        }
        return true;
    }

    // A repeat that would open an eighth level does not fit: the track ends there.
    [[gnu::always_inline]] bool repeatStart(uint8_t count) {
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
    [[gnu::always_inline]] bool repeatEnd(MdxReader& in, uint16_t offset) {
        RepeatStack& r = m_song.repeats;
        if (r.level == 0) {
            return true;
        }
        if (--r.counts[r.level] != 0) {
            in.jump(in.position() + offset);
        } else {
            --r.level;
        }
        return true;
    }

    // On the last pass, out of the repeat: the offset counts to the matching repeat
    // end's operand, and the jump lands behind it.
    [[gnu::always_inline]] bool repeatEscape(MdxReader& in, uint16_t offset) {
        RepeatStack& r = m_song.repeats;
        if (r.level != 0 && r.counts[r.level] == 1) {
            in.jump(in.position() + offset + 2);
            --r.level;
        }
        return true;
    }

    SongState& m_song;
    VoiceSide& m_voices;
    TrackListener& m_listener;
    const int m_track;
    const bool m_pcm;
    int m_loopsLeft;          // jumps back to the loop point still to make
    uint8_t m_volume = 127;   // repeated by volume operands without a meaning
    PcmKeys* m_pcmKeys;
    bool m_findingPcmKeys;
    PcmForm m_pcmForm = DEFAULT_PCM_FORM;
    uint8_t m_pcmBank = 0;
};

}   // namespace

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
    MidiTrack::Writer writer = out.begin(t >= FM_TRACKS ? PCM_CHANNEL : static_cast<uint8_t>(t));
    if (!options.name.empty()) {
        writer.sequenceName({reinterpret_cast<const uint8_t*>(options.name.data()), options.name.size()});
    }
    writer.wait(preambleStartTick(t));
    TrackConverter converter(song, voices, listener, t, options);
    converter.preamble(writer);
    writer.wait(firstElementTick(trackCount) - (preambleStartTick(t) + 6));
    MdxReader reader(image.bytes(), image.trackOffset(t));
    const TrackResult result = converter.elements(reader, writer, ctx.maxTrackElements, ctx.maxTrackChunk);
    out.end(writer);
    return result;
}

}   // namespace karvo
