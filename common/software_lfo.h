// The song driver's software LFOs, which it runs itself once a tick on each track: the
// pitch LFO (vibrato, command EC) and the amplitude LFO (tremolo, command EB).
//
//   EC/EB 80            stop: the offset returns to 0
//   EC/EB 81            start again from the stored settings
//   EC/EB w T(be16) A(be16)
//                       waveform w (its low two bits: 0 sawtooth, 1 square, 2 triangle,
//                       3 random), period T in ticks, amplitude A (signed)
//
// Counters are 16 bits, as the driver's: a period of 0 counts 65,536 ticks. The random
// waveform's values come from a 16-bit shift register (taps 16, 14, 13, 11) that each
// LFO starts at ACE1; the low byte of each new state, signed, is the value in 1/128.
//
// The pitch LFO's offset is in 1/16384 semitone, or in 1/64 semitone when the waveform
// byte is 4 or more. Each tick, while it runs:
//   sawtooth  the counter starts at T/2; the offset grows by A, and when the counter
//             runs out it is loaded with T and the offset changes sign
//   square    the offset is +A, and its sign flips every T ticks
//   triangle  the counter starts at T/2; the offset starts at A and moves by a step of
//             A, which changes sign whenever the counter runs out (then loaded with T)
//   random    every T ticks, a fresh random value times A
//
// The amplitude LFO's offset: its high byte is added to the track's attenuation, in the
// volume command's steps, where it raises it. Each tick, while it runs:
//   sawtooth  from max(-A x T, 0), grows by A; back to the start every T ticks
//   square    from max(-A, 0); every T ticks it grows by A, and A changes sign
//   triangle  from max(-A x T, 0), grows by A; A changes sign every T ticks
//   random    from max(-A, 0); every T ticks, a fresh random value times A
#pragma once

#include <cstdint>

namespace karvo {

class SoftwareLfo {
public:
    enum class Kind : uint8_t { PITCH, AMPLITUDE };
    explicit SoftwareLfo(Kind kind) : m_kind(kind) {}

    // The 80, 81 and five-byte forms; operands as the command holds them.
    void command(const uint8_t* operands);
    // Back to where the settings start it, as the LFO delay restarts it.
    void restart();
    // Stopped, with its offset back to 0 (the LFO delay's wait).
    void pause();
    void tick();
    bool active() const { return m_active; }
    // The ticks until what the LFO puts out may change: its offset stays on the same
    // bend or attenuation for ticks - 1 ticks. At least 1, at most to its next turn.
    uint32_t ticksToNextChange() const;
    // Lets ticks pass at once, at most ticksToNextChange() of them.
    void tick(uint32_t ticks);

    // The pitch LFO's offset as pitch-bend units of the MIDI file's detune scale: 2 for
    // each 1/64 semitone.
    int32_t bend() const;
    // The amplitude LFO's attenuation, 0 to 127.
    uint32_t attenuation() const;

private:
    int32_t nextRandom();   // -128..127
    uint32_t ticksToTurn() const { return m_counter == 0 ? 0x10000u : m_counter; }
    int64_t stepPerTick() const;   // how the offset moves on the ticks between turns

    Kind m_kind;
    uint8_t m_waveform = 0;
    uint16_t m_period = 0;
    int32_t m_amplitude = 0;
    bool m_active = false;
    uint16_t m_counter = 0;
    int64_t m_offset = 0;
    int64_t m_step = 0;    // the triangle's step, the amplitude LFO's A as it turns
    int64_t m_start = 0;   // the amplitude LFO's starting offset
    uint16_t m_random = 0xACE1;
};

}   // namespace karvo
