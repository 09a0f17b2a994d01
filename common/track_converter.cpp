// The MDX track interpreter. Elements, told by their first byte:
//   00-7F  rest of b+1 ticks
//   80-DF  note (MIDI key b-125), then a duration byte d: d+1 ticks
//   E0-FF  command with 0 to 5 operand bytes (mdx_commands.h)
// An element that is not wholly inside the image ends the track as the end command
// would, and does nothing at all.
#include "track_converter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "mdx_commands.h"
#include "mdx_reader.h"
#include "software_lfo.h"

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
// So an FM note moved to its standard pitch always lands on a key.
static_assert(keyOf(FIRST_COMMAND - 1) + STANDARD_PITCH_SHIFT <= 127);

// What the element loop does with each first byte, derived from COMMANDS once, so
// that it dispatches on one table lookup: read over a command with 0 to 2 operand
// bytes (the step is the command's length, 1 to 3); a rest; a note; read over a
// software LFO or an extended command, whose first operand tells their length; or,
// from HANDLED on, a command's handler.
enum Step : uint8_t {
    SKIP_1_BYTE = 1,
    SKIP_2_BYTES,
    SKIP_3_BYTES,
    REST,
    NOTE,
    SKIP_LFO,
    SKIP_EXTENDED,
    HANDLED,
};
constexpr uint8_t stepOf(Handler handler) {
    return static_cast<uint8_t>(HANDLED + static_cast<uint8_t>(handler));
}
constexpr uint8_t END_STEP = stepOf(Handler::END);
static_assert(FIRST_COMMAND + 0x11 == MdxImage::PADDING_BYTE && COMMANDS[0x11].handler == Handler::END);

// timed: whether the run follows the driver's own timing, which acts on commands a
// plain conversion reads over.
constexpr std::array<uint8_t, 256> stepsFor(bool timed) {
    std::array<uint8_t, 256> steps{};
    for (size_t b = 0; b < steps.size(); ++b) {
        if (b < FIRST_NOTE) {
            steps[b] = REST;
        } else if (b < FIRST_COMMAND) {
            steps[b] = NOTE;
        } else if (const Command& c = COMMANDS[b - FIRST_COMMAND];
                   c.handler != Handler::IGNORED && (timed || !actsOnlyWhenTimed(c.handler))) {
            steps[b] = stepOf(c.handler);
        } else if (c.operands == Operands::LFO) {
            steps[b] = SKIP_LFO;
        } else if (c.operands == Operands::EXTENDED) {
            steps[b] = SKIP_EXTENDED;
        } else {
            steps[b] = static_cast<uint8_t>(1 + operandCount(c.operands, 0));
        }
    }
    return steps;
}
constexpr std::array<uint8_t, 256> STEPS = stepsFor(false);
constexpr std::array<uint8_t, 256> TIMED_STEPS = stepsFor(true);

// The operand bytes ahead of the reader, of a command whose first operand tells how
// many there are; without a first operand, as many as the first 0 gives.
uint32_t operandsAhead(const MdxReader& in, Operands operands) {
    uint8_t first = 0;
    in.peek(first);
    return operandCount(operands, first);
}

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

    bool operator==(const NoteState&) const = default;
};

// Everything a plain conversion's next elements depend on, besides the bytes they are
// read from: a repeat's pass that starts in the state the pass before it started in
// writes the same bytes and ends in that state again.
//
// Kept small, as every pass takes it at least twice: every count fits a byte.
struct PassState {
    NoteState notes;
    uint32_t pendingTicks;
    uint32_t unrepeatable;   // PCM key lookups and voice lines not written down, so far
    int16_t loopsLeft;
    int16_t currentVoice;
    uint8_t volume;
    uint8_t pcmBank;
    PcmForm pcmForm;
    bool pcm8;
    uint8_t level;
    uint8_t counts[RepeatStack::LEVELS];   // the open repeats'; 0 beyond them

    bool operator==(const PassState&) const = default;
};

// A pass of the repeat open at some level, as it started: behind the repeat start's
// operands, or where the repeat end jumped back to.
struct Pass {
    bool open = false;
    bool escapeRead = false;     // a repeat escape of this level was read in the pass
    uint32_t start = 0;          // the position
    size_t firstVoiceLine = 0;   // the pass's voice lines are m_voiceLines from here on
    uint32_t chunkSize = 0;      // the chunk's size
    int64_t left = 0;            // elements that may still act
    PassState state{};
};

// With -gate or -lfo, what the driver's own timing adds: when the next key-on and key-off
// come, the software LFOs, and the bends and expression they make. Times are ticks from
// the start of the track's elements, as the writer has them.
struct Timing {
    static constexpr uint64_t NEVER = UINT64_MAX;
    uint64_t now = 0;
    uint8_t gate = 8;         // F8: eighths of the note, or from 80 on, ticks before its end
    uint8_t keyOnDelay = 0;   // F0
    uint8_t lfoDelay = 0;     // E9
    bool keyed = false;       // a note is on in the MIDI file
    uint8_t keyedKey = 0;
    uint64_t keyOnAt = NEVER;
    uint8_t keyOnKey = 0;
    uint64_t keyOffAt = NEVER;
    uint64_t lfoRestartAt = NEVER;
    SoftwareLfo pitch{SoftwareLfo::Kind::PITCH};
    SoftwareLfo amplitude{SoftwareLfo::Kind::AMPLITUDE};
    bool pitchWanted = false;   // started by its command, whether or not the delay holds it
    bool amplitudeWanted = false;
    uint32_t bendBase = BEND_CENTRE;   // the bend without the pitch LFO, as today's file has it
    uint32_t bend = BEND_CENTRE;       // the bend last written
    uint8_t expression = 127;
    uint32_t attenuation = 0;   // the volume's

    uint64_t lfoAt = 0;     // the tick the LFOs' state stands at
    uint64_t due = NEVER;   // nextEvent(), while nothing above has changed
    bool changed = false;

    // The next tick something is due: a key-on, a key-off, the LFOs' restart, or the
    // next tick an LFO's output may change (ticks on which none can are passed over).
    uint64_t nextEvent() const {
        uint64_t next = std::min({keyOnAt, keyOffAt, lfoRestartAt});
        for (const SoftwareLfo* lfo : {&pitch, &amplitude}) {
            if (lfo->active()) {
                next = std::min(next, lfoAt + lfo->ticksToNextChange());
            }
        }
        return next;
    }
};

// The tick of the key-off that the gate time v gives a note of duration byte d (d + 1
// ticks), counted from its start: v eighths of d, and a tick; or, from 80 on, 100 - v
// ticks before the note's end, but at least one tick after its start.
constexpr uint32_t gatedLength(uint8_t v, uint8_t d) {
    if (v < 0x80) {
        return v * d / 8u + 1u;
    }
    const uint32_t k = 0x100u - v;
    return d >= k ? d + 1u - k : 1u;
}

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
          m_findingPcmKeys(options.findingPcmKeys), m_gate(options.gate), m_lfo(options.lfo && !m_pcm),
          m_keyShift(options.pitch && !m_pcm ? STANDARD_PITCH_SHIFT : 0) {}

    // Whether the track follows the driver's own timing.
    bool timed() const { return m_gate || m_lfo; }

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
    template <bool Timed>
    TrackResult elements(MdxReader& reader, MidiTrack::Writer& writer, uint32_t maxElements,
                         uint32_t maxChunk) {
        MdxReader in = reader;
        MidiTrack::Writer out = writer;
        out.stopAt(maxChunk);
        NoteState notes;
        // The key of a note byte; only a PCM track with keys to look up needs more.
        const auto keyBias = static_cast<uint8_t>(m_keyShift - 125);
        const bool keysLookedUp = m_pcm && m_pcmKeys != nullptr;
        // Elements that may still act. Each element counts as it is acted on or read over;
        // at 0 or below, the next one that would act ends the conversion.
        int64_t left = maxElements;
        bool whole = false;
        for (bool goOn = !out.full(); goOn;) {
            // At the image's end, or past it, the padding's end command: the loop looks
            // for the end only where an end command comes, which is seldom.
            const uint8_t b = in.peekPadded();
            const uint8_t step = Timed ? TIMED_STEPS[b] : STEPS[b];
            if (step < REST) [[likely]] {
                in.skip(step);
                --left;
                continue;
            }
            in.skip(1);
            // The hint is for the layout of the loop's code, which it makes shorter by a
            // few instructions an element (measured), not a claim about songs.
            if (step == REST) [[likely]] {
                if constexpr (Timed) {
                    advance(out, b + 1u);
                } else {
                    out.wait(b + 1u);
                }
                --left;
                continue;
            }
            if (step == NOTE) {
                if (left <= 0) [[unlikely]] {
                    break;
                }
                --left;
                const uint8_t key = keysLookedUp ? pcmKey(b) : static_cast<uint8_t>(b + keyBias);
                const bool goesOn = Timed ? timedNote(in, out, notes, key) : note(in, out, notes, key);
                if (!goesOn) {
                    whole = true;
                    break;
                }
                goOn = !out.full();
                continue;
            }
            // Commands read over whose first operand tells their length; each on its own
            // test, so that each length is worked out from a constant.
            if (step == SKIP_LFO) {
                in.skip(operandsAhead(in, Operands::LFO));
                --left;
                continue;
            }
            if (step == SKIP_EXTENDED) {
                in.skip(operandsAhead(in, Operands::EXTENDED));
                --left;
                continue;
            }
            if (step == END_STEP && in.beyondEnd() != 0) [[unlikely]] {
                // The padding: the last element was cut off by the image's end (this
                // one stands past it), or the image ends where this one starts, which
                // would be one more.
                whole = (in.beyondEnd() > 1 ? left : left - 1) >= 0;
                break;
            }
            if (left <= 0) [[unlikely]] {
                break;
            }
            --left;
            if (!command<Timed>(in, out, notes, left, step)) {
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
        // A bend of up to 8 bytes a tick, and room behind them for the rest of the note.
        out.reserve(8 * length + MidiTrack::Writer::ROOM);
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

    // ----- the driver's own timing (-gate, -lfo) ------------------------------------
    // Kept out of line: inlined, they cost the plain conversion's loop some of the
    // compiler's inlining there (measured: 6% more instructions on a real-size song).

    // Lets ticks pass, writing on the way every key-on and key-off that falls due and,
    // while a software LFO runs, the bend and expression of every tick.
    void advance(MidiTrack::Writer& out, uint32_t ticks) {
        Timing& t = m_timing;
        if (!t.changed && t.due > t.now + ticks) [[likely]] {
            out.wait(ticks);
            t.now += ticks;
            return;
        }
        advanceThroughEvents(out, ticks);
    }

    [[gnu::noinline]] void advanceThroughEvents(MidiTrack::Writer& out, uint32_t ticks) {
        Timing& t = m_timing;
        const uint64_t until = t.now + ticks;
        if (t.changed) {
            t.due = t.nextEvent();
            t.changed = false;
        }
        if (t.due > until) {
            out.wait(ticks);
            t.now = until;
            return;
        }
        for (uint64_t next = t.due; next <= until && !out.full(); next = t.nextEvent()) {
            out.wait(static_cast<uint32_t>(next - t.now));
            t.now = next;
            if (t.keyOffAt == next) {
                t.keyOffAt = Timing::NEVER;
                keyOff(out, 0x00);
            }
            if (t.keyOnAt == next) {
                t.keyOnAt = Timing::NEVER;
                keyOn(out, t.keyOnKey);
            }
            const bool lfos = t.pitch.active() || t.amplitude.active() || t.lfoRestartAt == next;
            catchUpLfos();
            if (t.lfoRestartAt == next) {
                t.lfoRestartAt = Timing::NEVER;
                if (t.pitchWanted) {
                    t.pitch.restart();
                }
                if (t.amplitudeWanted) {
                    t.amplitude.restart();
                }
            }
            if (lfos) {
                writeLfo(out);
            }
        }
        t.changed = true;
        out.wait(static_cast<uint32_t>(until - t.now));
        t.now = until;
        // The element that let the ticks pass goes on writing.
        out.reserve(MidiTrack::Writer::ROOM);
    }

    // The LFOs' state brought to now, across ticks on which their output stood still.
    [[gnu::always_inline]] void catchUpLfos() {
        Timing& t = m_timing;
        if (t.lfoAt < t.now && (t.pitch.active() || t.amplitude.active())) {
            t.pitch.tick(static_cast<uint32_t>(t.now - t.lfoAt));
            t.amplitude.tick(static_cast<uint32_t>(t.now - t.lfoAt));
            t.changed = true;
        }
        t.lfoAt = t.now;
    }

    // The voice select's extra tick, taken back where the writer still holds it.
    void takeBackTick(MidiTrack::Writer& out) {
        if (out.pendingTicks() != 0) {
            out.takeBackTick();
            --m_timing.now;
        }
    }

    // key on, then the note on before it off, on one tick: a legato pair.
    [[gnu::always_inline]] void handOver(MidiTrack::Writer& out, uint8_t key) {
        Timing& t = m_timing;
        out.noteOn(key, NOTE_VELOCITY);
        if (t.keyed) {
            out.noteOff(t.keyedKey, NOTE_VELOCITY);
        }
        t.keyed = true;
        t.keyedKey = key;
    }

    // The chip's key-on: a note already on under another key hands over to this one, as
    // a legato pair does; under the same key it goes on.
    [[gnu::always_inline]] void keyOn(MidiTrack::Writer& out, uint8_t key) {
        Timing& t = m_timing;
        if (!t.keyed || t.keyedKey != key) {
            handOver(out, key);
        }
        // With an LFO delay, both LFOs start again from nothing that many ticks later.
        if (m_lfo && t.lfoDelay != 0 && (t.pitchWanted || t.amplitudeWanted)) {
            catchUpLfos();
            t.pitch.pause();
            t.amplitude.pause();
            t.lfoRestartAt = t.now + t.lfoDelay;
            t.changed = true;
            writeLfo(out);
        }
    }

    [[gnu::always_inline]] void keyOff(MidiTrack::Writer& out, uint8_t velocity) {
        Timing& t = m_timing;
        if (t.keyed) {
            out.noteOff(t.keyedKey, velocity);
            t.keyed = false;
        }
    }

    // A note as the driver plays it: today's note, with its key-on delayed by the
    // key-on delay and its key-off where the gate time puts it, counted from the tick
    // today's note-on stands on.
    [[gnu::noinline]] bool timedNote(MdxReader& in, MidiTrack::Writer& out, NoteState& n, uint8_t key) {
        uint8_t duration = 0;
        if (!in.u8(duration)) {
            return false;
        }
        Timing& t = m_timing;
        const uint64_t start = t.now;
        const uint32_t length = duration + 1u;
        if (!n.has(NoteState::TIED_NOTE)) {
            if (n.has(NoteState::SOUNDING)) {
                keyOff(out, NOTE_VELOCITY);
            }
            // The driver starts each note afresh: what the last one left pending is gone.
            t.keyOffAt = Timing::NEVER;
            t.keyOnAt = Timing::NEVER;
            t.changed = true;
            const uint8_t delay = m_gate ? t.keyOnDelay : 0;
            if (delay == 0) {
                keyOn(out, key);
            } else {
                t.keyOnAt = start + delay;
                t.keyOnKey = key;
            }
            n.glideSum = 0;
            n.sounding = key;
        } else if (key != n.sounding) {
            // Legato: the new note sounds before the old one stops, on the same tick.
            if (t.keyOnAt != Timing::NEVER) {
                t.keyOnKey = key;   // the tied note was never keyed on: this one will be
            } else {
                handOver(out, key);
            }
            n.glideSum = 0;
            timedEndGlide(out, n);
            n.sounding = key;
        }
        n.set(NoteState::SOUNDING, true);

        // The key-off, unless a tie carries the note on: where today's note ends when the
        // gate is the whole note, else the gated length after the note-on (which may be
        // past the note's end: the next note then follows legato). One that comes
        // before the note's own key-on does nothing.
        const bool tied = n.has(NoteState::TIE_ASKED);
        const uint32_t gated = m_gate ? gatedLength(t.gate, duration) : length;
        const bool atEnd = !tied && gated == length;
        if (!tied && !atEnd && (t.keyOnAt == Timing::NEVER || start + gated > t.keyOnAt)) {
            t.keyOffAt = start + gated;
            t.changed = true;
        }
        if (n.has(NoteState::GLIDE)) {
            timedGlide(out, n, length);
        } else {
            advance(out, length);
        }
        if (!tied) {
            if (n.has(NoteState::VOICE_TICK)) {
                takeBackTick(out);
            }
            if (atEnd && t.keyOnAt == Timing::NEVER) {
                keyOff(out, 0x00);
            }
            n.set(NoteState::VOICE_TICK, false);
            timedEndGlide(out, n);
            n.set(NoteState::SOUNDING, false);
        }
        n.set(NoteState::TIED_NOTE, tied);
        n.set(NoteState::TIE_ASKED, false);
        return true;
    }

    // One bend a tick, as today's glide, with the pitch LFO on top.
    [[gnu::noinline]] void timedGlide(MidiTrack::Writer& out, NoteState& n, uint32_t length) {
        for (uint32_t i = 0; i < length; ++i) {
            out.reserve(MidiTrack::Writer::ROOM);
            n.glideSum += n.glideStep;   // wraps modulo 2^32
            const int32_t quotient = static_cast<int32_t>(n.glideSum) / 128;
            writeBend<true>(out, (static_cast<uint32_t>(quotient) + n.detune + BEND_CENTRE) & 0x3FFF);
            advance(out, 1);
        }
    }

    [[gnu::noinline]] void timedEndGlide(MidiTrack::Writer& out, NoteState& n) {
        if (n.has(NoteState::GLIDE)) {
            writeBend<true>(out, BEND_CENTRE);
            n.set(NoteState::GLIDE, false);
        }
    }

    // A bend today's file writes; with -lfo the pitch LFO's offset rides on it.
    template <bool Timed>
    [[gnu::always_inline]] void writeBend(MidiTrack::Writer& out, uint32_t base) {
        if constexpr (Timed) {
            m_timing.bendBase = base;
            m_timing.bend = withLfo(base);
            out.pitchBend(m_timing.bend);
        } else {
            out.pitchBend(base);
        }
    }

    uint32_t withLfo(uint32_t base) const {
        const int32_t bent = static_cast<int32_t>(base) + (m_lfo ? m_timing.pitch.bend() : 0);
        return static_cast<uint32_t>(std::clamp(bent, 0, 0x3FFF));
    }

    // The LFOs' bend and expression, where they changed.
    [[gnu::noinline]] void writeLfo(MidiTrack::Writer& out) {
        if (!m_lfo) {
            return;
        }
        const uint32_t bend = withLfo(m_timing.bendBase);
        if (bend != m_timing.bend) {
            m_timing.bend = bend;
            out.pitchBend(bend);
        }
        writeExpression(out);
    }

    // Expression carries what the amplitude LFO adds to the volume's attenuation, as
    // far as the chip's 127 steps go, on the volume controller's curve.
    [[gnu::noinline]] void writeExpression(MidiTrack::Writer& out) {
        if (!m_lfo) {
            return;
        }
        const uint32_t volume = m_timing.attenuation;
        const uint32_t added = std::min(volume + m_timing.amplitude.attenuation(), 127u) - volume;
        const uint8_t value = volumeValue(added);
        if (value != m_timing.expression) {
            m_timing.expression = value;
            out.controller(0x0B, value);
        }
    }

    [[gnu::noinline]] void softwareLfo(MidiTrack::Writer& out, bool pitch, const uint8_t* operands) {
        Timing& t = m_timing;
        catchUpLfos();
        SoftwareLfo& lfo = pitch ? t.pitch : t.amplitude;
        lfo.command(operands);
        t.changed = true;
        // One without an amplitude puts nothing out: the LFO delay need not restart it.
        (pitch ? t.pitchWanted : t.amplitudeWanted) = lfo.active();
        writeLfo(out);
    }

    // The key of a PCM track's note: its sample in the form the track set, looked up in
    // the song's PCM keys, or found for them. Without them, the note byte's own key.
    uint8_t pcmKey(uint8_t noteByte) {
        if (m_pcmKeys == nullptr) {
            return keyOf(noteByte);
        }
        const PcmSound sound{static_cast<uint16_t>(m_pcmBank * 96u + (noteByte - FIRST_NOTE)), m_pcmForm};
        ++m_unrepeatable;
        return m_findingPcmKeys ? m_pcmKeys->played(sound) : m_pcmKeys->keyOf(sound);
    }

    // A command with a handler, by its step. Returns false at the end of the track,
    // which a command whose operands are cut off also is.
    template <bool Timed>
    [[gnu::always_inline]] bool command(MdxReader& in, MidiTrack::Writer& out, NoteState& n, int64_t& left,
                                        uint8_t step) {
        const auto handler = static_cast<Handler>(step - HANDLED);
        const uint8_t* operands = nullptr;
        if (handler == Handler::CHIP_LFO ||
            (Timed && (handler == Handler::PITCH_LFO || handler == Handler::AMPLITUDE_LFO))) {
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
            writeBend<Timed>(out, (n.detune + BEND_CENTRE) & 0x3FFF);
            return true;
        case Handler::REPEAT_ESCAPE: return repeatEscape(in, readBe16(operands));
        case Handler::REPEAT_END: return repeatEnd<Timed>(in, out, n, left, readBe16(operands));
        case Handler::REPEAT_START: return repeatStart<Timed>(in, out, n, left, operands[0]);
        case Handler::TIE:
            // Asked twice, a tie cancels itself, and a tied note's continuation with it.
            if (n.has(NoteState::TIE_ASKED)) {
                n.set(NoteState::TIED_NOTE, false);
            }
            n.set(NoteState::TIE_ASKED, !n.has(NoteState::TIE_ASKED));
            return true;
        case Handler::VOLUME: return volume<Timed>(out, operands[0]);
        case Handler::PAN:
            out.controller(0x0A, operands[0] == 1 ? 0 : operands[0] == 2 ? 127 : 64);
            return true;
        case Handler::VOICE_SELECT: return voiceSelect<Timed>(out, n, operands[0]);
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
        case Handler::GATE_TIME: m_timing.gate = m_gate ? operands[0] : m_timing.gate; return true;
        case Handler::KEY_ON_DELAY:
            m_timing.keyOnDelay = m_gate ? operands[0] : m_timing.keyOnDelay;
            return true;
        case Handler::LFO_DELAY: m_timing.lfoDelay = m_lfo ? operands[0] : m_timing.lfoDelay; return true;
        case Handler::PITCH_LFO:
        case Handler::AMPLITUDE_LFO:
            if constexpr (Timed) {
                if (m_lfo) {
                    softwareLfo(out, handler == Handler::PITCH_LFO, operands);
                }
            }
            return true;
        }
        return true;
    }

    static constexpr auto FIXED_OPERANDS = [] {
        std::array<uint8_t, static_cast<size_t>(Handler::GATE_TIME) + 1> counts{};
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

    template <bool Timed>
    [[gnu::always_inline]] bool volume(MidiTrack::Writer& out, uint8_t v) {
        // 0-15 are volume steps, 80-FF direct attenuations; the values between have
        // no meaning and keep the track's volume as it is.
        if (v <= 15 || v >= 0x80) {
            const uint32_t attenuation = v <= 15 ? STEP_ATTENUATION[v] : v & 0x7Fu;
            m_volume = volumeValue(attenuation);
            if constexpr (Timed) {
                m_timing.attenuation = attenuation;
            }
        }
        out.controller(0x07, m_volume);
        if constexpr (Timed) {
            writeExpression(out);   // the LFO's share of what the chip can still take
        }
        return true;
    }

    template <bool Timed>
    [[gnu::always_inline]] bool voiceSelect(MidiTrack::Writer& out, NoteState& n, uint8_t operand) {
        if (m_pcm) {
            // A sample part has no voice; with the 8-channel extension it selects a
            // bank of 96 samples.
            m_pcmBank = m_song.pcm8 ? operand : 0;
            return true;
        }
        m_song.currentVoice = operand & 0x7F;
        printVoiceLine(m_song.currentVoice);
        out.programChange(static_cast<uint8_t>(m_song.currentVoice));
        // Whatever follows comes one tick later; the next note end takes it back.
        if constexpr (Timed) {
            advance(out, 1);
        } else {
            out.wait(1);
        }
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
    template <bool Timed>
    [[gnu::always_inline]] bool repeatStart(const MdxReader& in, const MidiTrack::Writer& out,
                                            const NoteState& n, int64_t left, uint8_t count) {
        RepeatStack& r = m_song.repeats;
        if (r.level == RepeatStack::LEVELS - 1) {
            return false;
        }
        ++r.level;
        r.counts[r.level] = count == 0 ? 1 : count;   // a count of 0 plays once
        if constexpr (!Timed) {
            startPass(in.position(), out.size(), out.pendingTicks(), n, left);
        }
        return true;
    }

    // Back to the repeat's start, a jump counted from behind the operand, while passes
    // are left. A repeat end with no repeat open is read over.
    //
    // A plain conversion writes most passes as copies: when a pass ends in the state
    // it started in (PassState), every pass after it would write the bytes it wrote and
    // print the voice lines it printed. So the passes still to come are written as
    // copies of its bytes, its voice lines printed again and its elements counted,
    // without reading them again; where an escape of the repeat was read, the last pass
    // is read, as it may leave the repeat early. Copies are made only where neither
    // guard could have cut one off, and not of passes with calls that a copy cannot
    // make again (PassState's unrepeatable).
    template <bool Timed>
    [[gnu::always_inline]] bool repeatEnd(MdxReader& in, MidiTrack::Writer& out, const NoteState& n,
                                          int64_t& left, uint16_t offset) {
        RepeatStack& r = m_song.repeats;
        if (r.level == 0) {
            return true;
        }
        const MdxReader back = [&] {
            MdxReader target = in;
            target.jump(in.position() + offset);
            return target;
        }();
        if constexpr (!Timed) {
            // The passes to come, but the last where an escape may leave the repeat.
            const Pass& pass = m_passes[static_cast<size_t>(r.level)];
            const int32_t copies = r.counts[r.level] - (pass.escapeRead ? 2 : 1);
            if (copies > 0 && pass.open && pass.start == back.position() &&
                passState(n, out.pendingTicks()) == pass.state) {
                left = copyPasses(out, pass, left, copies);
            }
        }
        if (--r.counts[r.level] != 0) {
            in = back;
            if constexpr (!Timed) {
                // The last pass has none after it to copy.
                if (r.counts[r.level] > 1) {
                    startPass(in.position(), out.size(), out.pendingTicks(), n, left);
                } else {
                    m_passes[static_cast<size_t>(r.level)].open = false;
                }
            }
        } else if (--r.level == 0) {
            m_voiceLineCount = 0;   // no pass is open
        }
        return true;
    }

    [[gnu::noinline]] void startPass(uint32_t start, uint32_t chunkSize, uint32_t pendingTicks, NoteState n,
                                     int64_t left) {
        m_passes[static_cast<size_t>(m_song.repeats.level)] = {
            true, false, start, m_voiceLineCount, chunkSize, left, passState(n, pendingTicks)};
    }

    // Writes copies passes more like the one that ends at the write position, unless
    // the guards could cut one off; returns the elements that may still act. Out of
    // line, as the loop it would be inlined into comes out longer (measured).
    [[gnu::noinline]] int64_t copyPasses(MidiTrack::Writer& out, const Pass& pass, int64_t left,
                                         int32_t copies) {
        const int64_t elements = pass.left - left;
        const uint64_t bytes = out.size() - pass.chunkSize;
        if (left - copies * elements < 0 || !out.staysShort(static_cast<uint64_t>(copies) * bytes)) {
            return left;
        }
        out.writeAgain(pass.chunkSize, static_cast<uint32_t>(copies));
        printVoiceLinesAgain(pass.firstVoiceLine, copies);
        m_song.repeats.counts[m_song.repeats.level] -= copies;
        return left - copies * elements;
    }

    // The voice lines of the pass that printed them from firstLine on, printed again
    // for each of its copies, and written down again for the passes around this one,
    // unless that passes the bound. Its LFO and noise captures are settings the pass
    // has just given: given again, they would change nothing.
    [[gnu::noinline]] void printVoiceLinesAgain(size_t firstLine, int32_t copies) {
        const size_t lines = m_voiceLineCount;
        const size_t perPass = lines - firstLine;
        const size_t more = static_cast<size_t>(copies) * perPass;
        if (more == 0) {
            return;
        }
        const bool writtenDown = reserveVoiceLines(lines + more);
        int* const written = m_voiceLines.get();
        if (writtenDown) [[likely]] {
            for (size_t k = lines; k < lines + more; k += perPass) {
                std::copy_n(written + firstLine, perPass, written + k);
            }
            m_voiceLineCount = lines + more;
        } else {
            ++m_unrepeatable;   // no pass around this one is copied
        }
        for (int32_t i = 0; i < copies; ++i) {
            for (size_t k = firstLine; k < lines; ++k) {
                m_listener.voiceSelected(written[k]);
            }
        }
    }

    // Tells the listener of a voice select, and while a repeat is open, writes it down
    // for the copies of the passes it is made in. Beyond a bound, it is not written
    // down, and no pass it is made in is copied.
    [[gnu::always_inline]] void printVoiceLine(int voice) {
        m_listener.voiceSelected(voice);
        if (m_song.repeats.level == 0) {
            return;
        }
        if (m_voiceLineCount == m_voiceLineRoom && !reserveVoiceLines(m_voiceLineCount + 1)) [[unlikely]] {
            ++m_unrepeatable;
            return;
        }
        m_voiceLines[m_voiceLineCount++] = voice;
    }
    // Room for n voice lines written down in all; false beyond the bound.
    [[gnu::noinline]] bool reserveVoiceLines(size_t n) {
        static constexpr size_t MOST = 1 << 16;
        if (n > MOST) {
            return false;
        }
        if (n <= m_voiceLineRoom) {
            return true;
        }
        size_t room = m_voiceLineRoom == 0 ? 256 : 2 * m_voiceLineRoom;
        while (room < n) {
            room *= 2;
        }
        auto lines = std::make_unique_for_overwrite<int[]>(room);
        std::copy_n(m_voiceLines.get(), m_voiceLineCount, lines.get());
        m_voiceLines = std::move(lines);
        m_voiceLineRoom = room;
        return true;
    }

    PassState passState(const NoteState& n, uint32_t pendingTicks) const {
        PassState state;
        state.notes = n;
        state.pendingTicks = pendingTicks;
        state.unrepeatable = m_unrepeatable;
        state.loopsLeft = static_cast<int16_t>(m_loopsLeft);
        state.currentVoice = static_cast<int16_t>(m_song.currentVoice);
        state.volume = m_volume;
        state.pcmBank = m_pcmBank;
        state.pcmForm = m_pcmForm;
        state.pcm8 = m_song.pcm8;
        const RepeatStack& r = m_song.repeats;
        state.level = static_cast<uint8_t>(r.level);
        std::memset(state.counts, 0, sizeof state.counts);
        for (int level = 1; level <= r.level; ++level) {
            state.counts[level] = static_cast<uint8_t>(r.counts[level]);
        }
        return state;
    }

    // On the last pass, out of the repeat: the offset counts to the matching repeat
    // end's operand, and the jump lands behind it.
    [[gnu::always_inline]] bool repeatEscape(MdxReader& in, uint16_t offset) {
        RepeatStack& r = m_song.repeats;
        if (r.level != 0 && r.counts[r.level] == 1) {
            in.jump(in.position() + offset + 2);
            if (--r.level == 0) {
                m_voiceLineCount = 0;
            }
        } else {
            m_passes[static_cast<size_t>(r.level)].escapeRead = true;
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
    const bool m_gate;
    const bool m_lfo;
    uint32_t m_unrepeatable = 0;   // PCM key lookups, and voice lines not written down
    // The voice lines printed since a repeat was opened at level 0.
    std::unique_ptr<int[]> m_voiceLines;
    size_t m_voiceLineCount = 0;
    size_t m_voiceLineRoom = 0;
    std::array<Pass, RepeatStack::LEVELS> m_passes;   // by repeat level
    const uint8_t m_keyShift;
    Timing m_timing;
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
    const TrackResult result =
        converter.timed()
            ? converter.elements<true>(reader, writer, ctx.maxTrackElements, ctx.maxTrackChunk)
            : converter.elements<false>(reader, writer, ctx.maxTrackElements, ctx.maxTrackChunk);
    out.end(writer);
    return result;
}

}   // namespace karvo
