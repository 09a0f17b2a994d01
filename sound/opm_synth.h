// Our model of the four-operator FM chip that MDX voices are written for, clocked at
// 4 MHz as on the computer MDX music was made on: a voice, the chip-wide LFO and noise
// settings and a key code in, one channel's mono 16-bit samples out at clock / 64.
//
// Output scale: each operator puts out the chip's 14-bit signed value, so a lone carrier
// at TL 0 peaks at +-8168 (OPM_OPERATOR_PEAK); a sample is the sum of the connection's
// carriers, clamped to int16, with no further gain. Four carriers at full level reach
// +-32672 and the noise at most +-4088. Mixing FM against the ADPCM drums starts from this.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace karvo {

constexpr uint32_t OPM_CLOCK_HZ = 4'000'000;
constexpr uint32_t OPM_SAMPLE_RATE = OPM_CLOCK_HZ / 64;   // 62,500 Hz
constexpr int32_t OPM_OPERATOR_PEAK = 8168;
constexpr double OPM_ATTENUATION_STEP_DB = 0.09375;   // one envelope level step

// The pitch registers, decoded:
//   28-2F  -OOONNNN  KC: octave 0-7, note code 0-14:
//          0 C#  1 D  2 D#  4 E  5 F  6 F#  8 G  9 G#  10 A  12 A#  13 B  14 C
//          (codes 3, 7, 11 and 15 are skipped; each sounds as the code after it)
//   30-37  KKKKKK--  KF: 0-63, in 1/64 semitone above KC
// At the 3,579,545 Hz clock the chip's note table was drawn up for, KC 0x4A is 440 Hz.
struct KeyCode {
    uint8_t KC = 0;
    uint8_t KF = 0;
};

// The key code whose frequency at 4 MHz is nearest to MIDI note midiNote in equal
// temperament (69 = A at 440 Hz). Against the note table's clock, 4 MHz sounds 192 cents
// sharp, so the A at 440 Hz is KC 0x48 (G) with KF 5. Notes beyond the chip's range
// (about MIDI 15 to 110) get its lowest or highest key.
KeyCode keyCodeFor(double midiNote);

// The frequency in Hz that key sounds at 4 MHz with MUL 1 and no detune.
double keyCodeFrequency(KeyCode key);

// One operator's fields, decoded as the voice record gives them, with the register
// each comes from (one register per operator slot):
//   40-5F  -DDDMMMM  DT1 0-7 (5-7 detune down as 1-3 do up), MUL 0-15 (0 = x1/2)
//   60-7F  -TTTTTTT  TL 0-127, 0.75 dB a step
//   80-9F  KK-AAAAA  KS 0-3, AR 0-31
//   A0-BF  E--DDDDD  AMS-EN, D1R 0-31
//   C0-DF  TT-DDDDD  DT2 0-3, D2R 0-31
//   E0-FF  LLLLRRRR  D1L 0-15 (3 dB a step; 15 is 93 dB), RR 0-15
// Every field is masked to its width on entry, as the register does: a record's TL of
// 128-255 is its low seven bits. The defaults are the chip's reset values.
struct OpmOperator {
    uint8_t TL = 0;
    uint8_t AR = 0;
    uint8_t D1R = 0;
    uint8_t D1L = 0;
    uint8_t D2R = 0;
    uint8_t RR = 0;
    uint8_t KS = 0;
    uint8_t MUL = 0;
    uint8_t DT1 = 0;
    uint8_t DT2 = 0;
    bool AMS_EN = false;
};

// A voice: connection, M1's feedback, the operators it keys on, the LFO sensitivities
// and the four operators in the voice record's order (positions 0-3: M1, M2, C1, C2).
//   20-27  RRFFFCCC  FL 0-7 (M1's self-feedback: 0, pi/16 .. 4 pi), CON 0-7
//   38-3F  -PPP--AA  PMS 0-7, AMS 0-3
//   08     -SSSSCCC  key on: S, bits 3-6, keys M1, C1, M2, C2 in that order (the chip's
//                    key-on register, checked against its documentation), C the channel
struct OpmVoice {
    uint8_t CON = 0;
    uint8_t FL = 0;
    uint8_t slotMask = 0;   // bit 0 M1, bit 1 C1, bit 2 M2, bit 3 C2
    uint8_t AMS = 0;
    uint8_t PMS = 0;
    std::array<OpmOperator, 4> op{};
};

// The chip-wide LFO and noise settings:
//   0F  E--NNNNN  NE, NFRQ 0-31: noise instead of C2's sine on channel 8
//   18  FFFFFFFF  LFRQ 0-255: 0.0009 Hz to 59 Hz at 4 MHz
//   19  0AAAAAAA  AMD 0-127, or with bit 7 set, PMD 0-127
//   1B  CC----WW  WF 0-3: sawtooth, square, triangle, noise
// The model renders one channel and treats it as channel 8 for the noise.
struct OpmLfo {
    uint8_t LFRQ = 0;
    uint8_t AMD = 0;
    uint8_t PMD = 0;
    uint8_t WF = 0;
    bool NE = false;
    uint8_t NFRQ = 0;
};

// The envelope's four phases. A decay that reaches the floor (94.5 dB) drops to
// silence and goes over to Release, as on the chip, even while the key is held.
enum class EnvelopePhase : uint8_t { Attack, Decay1, Decay2, Release };

struct OperatorState {
    EnvelopePhase phase;
    uint16_t attenuation;   // the envelope's level, 0-1023 in 0.09375 dB steps (1023
                            // silent), before TL and the LFO are added
};

// What an envelope rate comes to at 4 MHz, for a sampler to set lengths and loops by.
// envelopeRate takes the register's rate for the phase (AR, D1R or D2R 0-31, or RR 0-15,
// which the chip scales to 2RR + 1) and adds the key scaling of KS at the key code,
// raised by the operator's DT2 as the chip raises it.
struct EnvelopeRate {
    uint8_t rate = 0;             // effective rate 0-63; 0 holds the level
    double dbPerSecond = 0.0;     // Decay1, Decay2, Release: the slope, linear in dB
    double attackSeconds = 0.0;   // Attack: from silence to peak (0 at rates 62-63,
                                  // infinite at rate 0)
};
EnvelopeRate envelopeRate(EnvelopePhase phase, uint8_t rate, uint8_t KS, KeyCode key, uint8_t DT2 = 0);

namespace opm {

// The phase generator: the pitch index (KC and KF, plus DT2 and the LFO's swing) read
// from the note table, detuned by DT1 and multiplied by MUL, summed into a phase of
// which the top ten bits address the sine. The chip's phase has 20 bits and its low
// octaves drift by a few cents; this one has 32, so every octave keeps equal temperament.
class PhaseGenerator {
public:
    void setPitch(uint32_t index, const OpmOperator& op);
    void restart() { m_phase = 0; }
    void advance() { m_phase += m_step; }
    uint32_t sineIndex() const { return m_phase >> 22; }
    uint32_t keyCode() const { return m_keyCode; }

private:
    uint32_t m_phase = 0;
    uint32_t m_step = 0;
    uint32_t m_keyCode = 0;
};

// The envelope generator: attack (exponential), first decay to the D1L level, second
// decay, release (linear in dB), one step every three samples at the rates of
// effectiveRate and envelopeIncrement.
class EnvelopeGenerator {
public:
    void keyOn(const OpmOperator& op, uint32_t keyCode);
    void keyOff() { m_phase = EnvelopePhase::Release; }
    void tick(const OpmOperator& op, uint32_t keyCode, uint32_t counter);
    EnvelopePhase phase() const { return m_phase; }
    uint32_t level() const { return m_level; }

private:
    EnvelopePhase m_phase = EnvelopePhase::Release;
    uint32_t m_level = 1023;
};

// One operator: its fields, its two generators, and whether its key is on.
struct Operator {
    OpmOperator fields;
    PhaseGenerator phase;
    EnvelopeGenerator envelope;
    bool keyed = false;
};

// The LFO: an 8-bit position advancing by (16 + LFRQ % 16) << (LFRQ / 16) in 2^-30 of
// a cycle a sample (the manual's 0.0008 Hz at LFRQ 0 to 52.9 Hz at 255, at 3.58 MHz),
// shaped by WF into an AM value (attenuation, 0-255) and a PM value (-128..127):
//   WF  AM                             PM
//   0   sawtooth, 255 falling to 0     0 rising to 127, then -128 rising to 0
//   1   square, 255 then 0             127, then -128
//   2   triangle, 255 to 0 to 255      0 to 127 to 0 to -128 to 0
//   3   noise, a new value each step   the same value as signed
// each then scaled by AMD or PMD (127 = full).
class Lfo {
public:
    // Advances one sample; true when AM or PM may have changed.
    bool advance(const OpmLfo& lfo, uint32_t noise);
    void invalidate() { m_position = ~0u; }
    uint32_t am() const { return m_am; }
    int32_t pm() const { return m_pm; }

private:
    uint32_t m_counter = 0;
    uint32_t m_position = ~0u;
    uint32_t m_am = 0;
    int32_t m_pm = 0;
};

// The noise generator: a 17-stage shift register stepped at clock / (32 x (32 - NFRQ)),
// 3.9 kHz at NFRQ 0 up to twice a sample at 31.
class NoiseGenerator {
public:
    void advance(uint32_t NFRQ);
    bool bit() const { return (m_state & 1) != 0; }
    uint32_t byte() const { return m_state & 255; }

private:
    uint32_t m_state = 1;
    uint32_t m_count = 0;
};

}   // namespace opm

// One channel of the chip. Deterministic: the same calls give the same samples.
class OpmSynth {
public:
    static constexpr int M1 = 0;   // operator positions, the voice record's order
    static constexpr int M2 = 1;
    static constexpr int C1 = 2;
    static constexpr int C2 = 3;

    // The chip after reset: every field zero, every operator silent and released.
    void reset() { *this = OpmSynth(); }
    void setVoice(const OpmVoice& voice);
    void setLfo(const OpmLfo& lfo);
    void setKeyCode(KeyCode key);
    // Writes the key-on register with the voice's slot mask: the operators in it start
    // their attack (one already keyed carries on, as the chip starts an attack only on
    // the key's rising edge), the others are keyed off.
    void keyOn();
    void keyOff();
    // Fills out with the next samples.
    void render(std::span<int16_t> out);
    // The envelope of the operator at position 0-3 (M1, M2, C1, C2).
    OperatorState operatorState(int position) const;

private:
    void updatePitch();
    uint32_t totalAttenuation(const opm::Operator& op) const;
    int32_t channelOutput();

    OpmVoice m_voice;
    OpmLfo m_lfo;
    std::array<opm::Operator, 4> m_op{};
    opm::Lfo m_lfoUnit;
    opm::NoiseGenerator m_noise;
    uint32_t m_pitchIndex = 0;   // KC and KF
    int32_t m_pitchSwing = 0;    // the LFO's, in 1/64 semitone
    uint32_t m_envelopeCounter = 0;
    uint32_t m_envelopeDivider = 0;
    std::array<int32_t, 2> m_m1Out{};   // M1's last two outputs, for feedback
    int32_t m_c1Out = 0;                // C1's last output
};

}   // namespace karvo
