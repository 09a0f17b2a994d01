// The FM chip model, measured from its samples: pitch, levels, connections, envelope
// times, LFO and noise against the chip's documented tables, and hostile voices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "opm_synth.h"

namespace karvo {
namespace {

using Samples = std::vector<int16_t>;
constexpr int M1 = OpmSynth::M1, M2 = OpmSynth::M2, C1 = OpmSynth::C1, C2 = OpmSynth::C2;
// Each position's key-on bit: the register keys M1, C1, M2, C2 with bits 3-6.
constexpr std::array<uint8_t, 4> SLOT_BIT = {1, 4, 2, 8};

// A lone sine: connection 7, one operator keyed, at full volume while the key is held.
OpmVoice carrier(int position, uint8_t TL = 0) {
    OpmVoice voice;
    voice.CON = 7;
    voice.slotMask = SLOT_BIT[size_t(position)];
    voice.op[size_t(position)] = {.TL = TL, .AR = 31, .RR = 15, .MUL = 1};
    return voice;
}

// A keyed note: the synth after count samples, and the samples.
struct Note {
    OpmSynth synth;
    Samples out;
};
Note note(const OpmVoice& voice, KeyCode key, size_t count, const OpmLfo& lfo = {}) {
    Note n{OpmSynth(), Samples(count)};
    n.synth.setVoice(voice);
    n.synth.setLfo(lfo);
    n.synth.setKeyCode(key);
    n.synth.keyOn();
    n.synth.render(n.out);
    return n;
}
Samples play(const OpmVoice& voice, KeyCode key, size_t count, const OpmLfo& lfo = {}) {
    return note(voice, key, count, lfo).out;
}

// From the rising zero crossings, interpolated between samples.
double frequencyOf(std::span<const int16_t> s) {
    double first = -1.0;
    double last = -1.0;
    int cycles = 0;
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            last = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
            cycles += first >= 0.0 ? 1 : 0;
            first = first >= 0.0 ? first : last;
        }
    }
    return cycles / (last - first) * OPM_SAMPLE_RATE;
}

double cents(double f, double reference) { return 1200.0 * std::log2(f / reference); }
double decibels(double level, double reference) { return 20.0 * std::log10(level / reference); }

double rms(std::span<const int16_t> s) {
    double sum = 0.0;
    for (const int16_t v : s) {
        sum += double(v) * v;
    }
    return std::sqrt(sum / double(s.size()));
}

// The power of harmonic h of f0 as a share of the whole.
double harmonicShare(std::span<const int16_t> s, double f0, int h) {
    double c = 0.0;
    double q = 0.0;
    const double step = 2.0 * std::acos(-1.0) * f0 * h / OPM_SAMPLE_RATE;
    for (size_t n = 0; n < s.size(); ++n) {
        c += s[n] * std::cos(step * double(n));
        q += s[n] * std::sin(step * double(n));
    }
    const double amplitude = 2.0 * std::hypot(c, q) / double(s.size());
    return amplitude * amplitude / 2.0 / (rms(s) * rms(s));
}

TEST(OpmPitch, ACarrierSoundsTheMidiNoteWithinOneCent) {
    for (const double note : {69.0, 15.0, 21.0, 33.0, 48.0, 60.0, 60.5, 75.0, 90.0, 100.0, 110.0}) {
        const size_t length = note < 30 ? 3 * OPM_SAMPLE_RATE : OPM_SAMPLE_RATE;
        const Samples s = play(carrier(C2), keyCodeFor(note), length);
        EXPECT_NEAR(cents(frequencyOf(s), 440.0 * std::exp2((note - 69.0) / 12.0)), 0.0, 1.0) << note;
    }
    // KC * 64 + KF. 4 MHz plays 192 cents above the note table, so A is written as G with
    // KF 5; beyond the range, the lowest key or the highest.
    for (const auto& [note, code] : std::vector<std::pair<double, int>>{
             {69.0, 0x48 * 64 + 5}, {std::nan(""), 0}, {-1e9, 0}, {0.0, 0}, {1e9, 0x7E * 64 + 63}}) {
        EXPECT_EQ(keyCodeFor(note).KC * 64 + keyCodeFor(note).KF, code) << note;
    }
}

TEST(OpmPitch, MulAndDt2SetTheOperatorsRatio) {
    struct Row {
        uint8_t MUL;
        uint8_t DT2;
        double cents;
    };
    // x1.41, 1.57 and 1.73 from DT2; x1/2 from MUL 0, and MUL 2-15 as themselves.
    std::vector<Row> rows = {{1, 1, 600.0}, {1, 2, 781.0}, {1, 3, 950.0}, {0, 0, -1200.0}};
    for (uint8_t mul = 2; mul < 16; ++mul) {
        rows.push_back({mul, 0, 1200.0 * std::log2(mul)});
    }
    const KeyCode key = keyCodeFor(52.0);
    const double base = frequencyOf(play(carrier(C1), key, OPM_SAMPLE_RATE));
    for (const Row& row : rows) {
        OpmVoice voice = carrier(C1);
        voice.op[C1].MUL = row.MUL;
        voice.op[C1].DT2 = row.DT2;
        EXPECT_NEAR(cents(frequencyOf(play(voice, key, OPM_SAMPLE_RATE)), base), row.cents, 1.0)
            << "MUL " << int(row.MUL) << " DT2 " << int(row.DT2);
    }
}

TEST(OpmPitch, Dt1DetunesByTheManualTable) {
    // In 2^-20 cycle a sample (0.0596 Hz at 4 MHz), by the key code's top five bits.
    struct Row {
        uint8_t KC;
        uint8_t DT1;
        int units;
    };
    for (const Row& row : std::vector<Row>{
             {0x7E, 3, 22}, {0x7E, 7, -22}, {0x40, 2, 5}, {0x40, 5, -2}, {0x29, 1, 1}, {0x00, 3, 2}}) {
        const size_t length = row.KC < 0x20 ? 3 * OPM_SAMPLE_RATE : OPM_SAMPLE_RATE;
        OpmVoice voice = carrier(M2);
        const double plain = frequencyOf(play(voice, {row.KC, 0}, length));
        voice.op[M2].DT1 = row.DT1;
        const double hz = frequencyOf(play(voice, {row.KC, 0}, length)) - plain;
        EXPECT_NEAR(hz * 1048576.0 / OPM_SAMPLE_RATE, row.units, 0.25) << int(row.KC) << " " << int(row.DT1);
    }
}

TEST(OpmLevel, TlStepsByThreeQuartersAndD1lByThreeDecibels) {
    const KeyCode key = keyCodeFor(69.0);
    const double full = rms(play(carrier(C2), key, OPM_SAMPLE_RATE / 4));
    EXPECT_NEAR(full, OPM_OPERATOR_PEAK / std::sqrt(2.0), 20.0);
    struct Row {
        uint8_t TL;
        uint8_t D1L;
    };
    const std::vector<Row> rows = {
        {1, 0}, {2, 0}, {4, 0}, {8, 0}, {16, 0}, {32, 0}, {48, 0},   // TL
        {0, 1}, {0, 2}, {0, 5}, {0, 8}, {0, 15},                     // D1L
    };
    for (const Row row : rows) {
        OpmVoice voice = carrier(C2, row.TL);
        voice.op[C2].D1R = 31;
        voice.op[C2].D1L = row.D1L;
        const Note n = note(voice, key, OPM_SAMPLE_RATE / 2);
        const double d1l = row.D1L == 15 ? 93.0 : 3.0 * row.D1L;
        EXPECT_EQ(n.synth.operatorState(C2).phase, EnvelopePhase::Decay2);
        const double envelopeDb = n.synth.operatorState(C2).attenuation * OPM_ATTENUATION_STEP_DB;
        EXPECT_NEAR(envelopeDb, d1l, 0.75) << int(row.D1L);
        // Measured down to -36 dB, where the exponent table's lost low bits cost 0.2 dB.
        const double level = rms(std::span(n.out).last(OPM_SAMPLE_RATE / 4));
        if (row.D1L < 15) {
            EXPECT_NEAR(decibels(level, full), -0.75 * row.TL - d1l, 0.25)
                << int(row.TL) << " " << int(row.D1L);
        }
    }
    // A record's TL of 128-255 is its low seven bits; 127 is below the output's last bit.
    EXPECT_EQ(play(carrier(C2, 200), key, 4000), play(carrier(C2, 72), key, 4000));
    EXPECT_EQ(play(carrier(C2, 127), key, 4000), Samples(4000, 0));
}

TEST(OpmConnection, EachWiresTheOperatorsAsTheManualDrawsAndSevenAddsThem) {
    struct Link {
        int from;
        int to;
    };
    struct Row {
        uint8_t CON;
        std::vector<Link> links;
        std::vector<int> carriers;
    };
    for (const Row& row : std::vector<Row>{
             {0, {{M1, C1}, {C1, M2}, {M2, C2}}, {C2}},
             {1, {{M1, M2}, {C1, M2}, {M2, C2}}, {C2}},
             {2, {{M1, C2}, {C1, M2}, {M2, C2}}, {C2}},
             {3, {{M1, C1}, {C1, C2}, {M2, C2}}, {C2}},
             {4, {{M1, C1}, {M2, C2}}, {C1, C2}},
             {5, {{M1, C1}, {M1, M2}, {M1, C2}}, {C1, M2, C2}},
             {6, {{M1, C1}}, {C1, M2, C2}},
             {7, {}, {M1, C1, M2, C2}},
         }) {
        // Whether p, among the keyed positions, reaches the output: as a carrier or
        // through an operator it modulates.
        const auto reaches = [&row](unsigned keyed, int p, auto&& self) -> bool {
            return ((keyed >> p) & 1) != 0 &&
                   (std::count(row.carriers.begin(), row.carriers.end(), p) != 0 ||
                    std::any_of(row.links.begin(), row.links.end(),
                                [&](const Link& l) { return l.from == p && self(keyed, l.to, self); }));
        };
        const auto render = [&row](unsigned keyed) {
            OpmVoice voice{.CON = row.CON, .FL = 5};
            for (uint8_t p = 0; p < 4; ++p) {
                voice.slotMask = static_cast<uint8_t>(voice.slotMask | (((keyed >> p) & 1) * SLOT_BIT[p]));
                voice.op[p] = {.TL = static_cast<uint8_t>(4 * p),
                               .AR = 31,
                               .D1R = 12,
                               .D1L = 4,
                               .RR = 15,
                               .MUL = static_cast<uint8_t>(p + 1)};
            }
            return play(voice, keyCodeFor(64.0), 3000);
        };
        for (unsigned keyed = 1; keyed < 16; ++keyed) {
            const Samples with = render(keyed);
            for (int p = 0; p < 4; ++p) {
                if (((keyed >> p) & 1) != 0) {
                    EXPECT_EQ(with != render(keyed & ~(1u << p)), reaches(keyed, p, reaches))
                        << "CON " << int(row.CON) << " keyed " << keyed << " position " << p;
                }
            }
        }
        if (row.CON == 7) {   // sample for sample the sum of its four carriers alone
            std::vector<int> sum(3000, 0);
            for (const unsigned alone : {1u, 2u, 4u, 8u}) {
                std::transform(sum.begin(), sum.end(), render(alone).begin(), sum.begin(), std::plus<>());
            }
            const Samples all = render(15);
            EXPECT_TRUE(std::equal(sum.begin(), sum.end(), all.begin()));
        }
    }
}

TEST(OpmConnection, FeedbackAddsHarmonicsAsItRises) {
    const KeyCode key = keyCodeFor(57.0);
    const double f0 = keyCodeFrequency(key);
    // FL 1-3 at full level: feedback of index b = pi/16, pi/8, pi/4, and the second
    // harmonic is J2(2b) / 2 J1(b) of the first.
    for (uint8_t fl = 1; fl <= 3; ++fl) {
        OpmVoice voice = carrier(M1);
        voice.FL = fl;
        const Samples s = play(voice, key, OPM_SAMPLE_RATE / 2);
        const double b = std::acos(-1.0) / double(1 << (5 - fl));
        const double expected = std::cyl_bessel_j(2.0, 2.0 * b) / (2.0 * std::cyl_bessel_j(1.0, b));
        const double second = std::sqrt(harmonicShare(s, f0, 2) / harmonicShare(s, f0, 1));
        EXPECT_NEAR(second, expected, 0.03 * expected) << int(fl);
    }
    // At a modulator's level (TL 24, -18 dB; at full level FL 5 and up turn to noise)
    // the power off the fundamental at least doubles with each step.
    double previous = 0.0;
    for (uint8_t fl = 0; fl < 8; ++fl) {
        OpmVoice voice = carrier(M1, 24);
        voice.FL = fl;
        const double off = 1.0 - harmonicShare(play(voice, key, OPM_SAMPLE_RATE / 2), f0, 1);
        EXPECT_TRUE(fl == 0 ? off < 1e-4 : off > 2.0 * previous) << int(fl) << ": " << off;
        previous = off;
    }
}

// The chip's rate table at 4 MHz: time from silence to peak, and for 96 dB of decay.
struct RateRow {
    uint8_t rate;
    double attackMs;
    double decayMs;
};
const std::vector<RateRow> RATE_TABLE = {
    {20, 445.4, 6291.5}, {32, 55.70, 786.43}, {38, 18.65, 262.14}, {40, 13.94, 196.61}, {43, 7.99, 112.35},
    {45, 5.59, 78.643},  {48, 3.504, 49.152}, {49, 2.856, 39.322}, {51, 2.136, 28.087}, {52, 1.920, 24.576},
    {54, 1.320, 16.384}, {56, 1.008, 12.288}, {59, 0.528, 7.022},  {60, 0.480, 6.144},  {62, 0.0, 6.144},
};

// Within 3% and a slack.
bool within(double measured, double expected, double slack) {
    return std::abs(measured - expected) <= 0.03 * expected + slack;
}

TEST(OpmEnvelope, AttackAndDecayTimesFollowTheRateTable) {
    const double msPerSample = 1000.0 / OPM_SAMPLE_RATE;
    for (const RateRow& row : RATE_TABLE) {
        // Even rates from 2R alone (key code 4 at KS 0), odd ones with key code 1 (KS 3).
        const bool odd = (row.rate & 1) != 0;
        const KeyCode key{static_cast<uint8_t>(odd ? 0x04 : 0x10), 0};
        const auto KS = static_cast<uint8_t>(odd ? 3 : 0);
        const auto R = static_cast<uint8_t>(row.rate / 2);
        OpmVoice voice = carrier(M1);
        voice.op[M1] = {.AR = R, .D1R = R, .D1L = 15, .RR = 15, .KS = KS, .MUL = 1};
        Note n = note(voice, key, 0);
        // Time, a sample at a time, until the envelope's level passes a test (20 s at most).
        const auto until = [&n](auto done) {
            size_t count = 0;
            int16_t s = 0;
            for (; !done(n.synth.operatorState(M1).attenuation) && count < 20 * OPM_SAMPLE_RATE; ++count) {
                n.synth.render(std::span(&s, 1));
            }
            return double(count) * 1000.0 / OPM_SAMPLE_RATE;
        };
        const double attackMs = until([](uint32_t level) { return level == 0; });
        until([](uint32_t level) { return level >= 96; });
        const double decayMs = until([](uint32_t level) { return level >= 864; }) * 1024.0 / 768.0;
        EXPECT_TRUE(within(attackMs, row.attackMs, 3 * msPerSample)) << int(row.rate) << ": " << attackMs;
        EXPECT_TRUE(within(decayMs, row.decayMs, 3 * msPerSample)) << int(row.rate) << ": " << decayMs;
        const EnvelopeRate attack = envelopeRate(EnvelopePhase::Attack, R, KS, key);
        EXPECT_EQ(attack.rate, row.rate);
        EXPECT_TRUE(within(attack.attackSeconds * 1000.0, row.attackMs, 0.0)) << int(row.rate);
        const double dbPerSecond = envelopeRate(EnvelopePhase::Decay2, R, KS, key).dbPerSecond;
        EXPECT_TRUE(within(96.0 / dbPerSecond * 1000.0, row.decayMs, 0.0)) << int(row.rate);
    }
    // RR counts as 2RR + 1; DT2's 781 cents raise key code 16 to 18; KS 1 adds the code / 4.
    EXPECT_EQ(envelopeRate(EnvelopePhase::Decay1, 10, 1, {0x7E, 0}).rate, 20 + 31 / 4);
    EXPECT_EQ(envelopeRate(EnvelopePhase::Release, 5, 0, {0x10, 0}).rate, 22);
    EXPECT_EQ(envelopeRate(EnvelopePhase::Attack, 10, 3, {0x40, 0}, 2).rate, 20 + 18);
    EXPECT_EQ(envelopeRate(EnvelopePhase::Decay2, 0, 3, {0x7E, 0}).dbPerSecond, 0.0);
}

TEST(OpmLfo, SquareWaveSwingsFollowThePmsAndAmsTables) {
    // LFRQ 0xA1: each half of the square lasts 30,840 samples. Full depth is 127/128.
    const KeyCode key = keyCodeFor(69.0);
    struct Row {
        uint8_t PMS;
        uint8_t AMS;
        double cents;
        double db;
    };   // the manual's tables: PMS in cents, AMS in dB at full depth
    const std::vector<Row> rows = {
        {5, 0, 100.0, 0.0}, {6, 0, 400.0, 0.0}, {7, 0, 700.0, 0.0}, {0, 1, 0.0, 23.9}, {0, 2, 0.0, 47.8}};
    for (const Row& row : rows) {
        OpmVoice voice = carrier(C2);
        voice.PMS = row.PMS;
        voice.AMS = row.AMS;
        voice.op[C2].AMS_EN = true;
        const Samples s = play(voice, key, 62000, {0xA1, 127, 127, 1, false, 0});
        const auto first = std::span(s).subspan(1000, 28000);
        const auto second = std::span(s).subspan(32000, 28000);
        // Within a step of the LFO's 128 and of KF.
        const double swing = row.cents * 127 / 128;
        const double slack = row.cents / 128 + 1.6;
        EXPECT_NEAR(cents(frequencyOf(first), keyCodeFrequency(key)), swing, slack) << int(row.PMS);
        EXPECT_NEAR(cents(frequencyOf(second), keyCodeFrequency(key)), -swing, slack) << int(row.PMS);
        EXPECT_NEAR(decibels(rms(first), rms(second)), -row.db * 127 / 128, 0.5) << int(row.AMS);
    }
}

TEST(OpmNoise, NoiseReplacesC2AtTheNoiseFrequency) {
    for (const uint8_t nfrq : std::array<uint8_t, 3>{0, 16, 28}) {
        const Samples s = play(carrier(C2), keyCodeFor(69.0), OPM_SAMPLE_RATE, {0, 0, 0, 0, true, nfrq});
        int flips = 0;
        for (size_t i = 1; i < s.size(); ++i) {
            flips += (s[i] < 0) != (s[i - 1] < 0) ? 1 : 0;
        }
        // A random sign drawn at clock / (32 (32 - NFRQ)) changes at half that rate.
        const double draws = OPM_CLOCK_HZ / (32.0 * (32 - nfrq));
        EXPECT_NEAR(flips, draws / 2, draws * 0.05) << int(nfrq);
        EXPECT_EQ(*std::max_element(s.begin(), s.end()), 4088);
        EXPECT_EQ(*std::min_element(s.begin(), s.end()), -4088);
    }
}

TEST(OpmHostileVoice, RandomFieldsRenderWithinTheCarriersReach) {
    // The carriers of connections 0-7, each at most an operator's peak.
    static constexpr std::array<int, 8> CARRIERS = {1, 1, 1, 1, 2, 3, 3, 4};
    for (uint32_t seed = 0; seed < 160; ++seed) {
        const auto run = [seed] {
            std::mt19937 rng(seed);
            const auto byte = [&rng] { return static_cast<uint8_t>(rng() & 255); };
            OpmSynth synth;
            Samples all;
            for (uint32_t action = 0; action < 8; ++action) {
                // Every connection in turn, under random high bits.
                const auto CON = static_cast<uint8_t>(((seed + action) & 7) | (byte() & 0xF8));
                OpmVoice voice{CON, byte(), byte(), byte(), byte(), {}};
                for (OpmOperator& op : voice.op) {
                    op = {byte(), byte(), byte(), byte(), byte(),           byte(),
                          byte(), byte(), byte(), byte(), (byte() & 1) != 0};
                }
                synth.setVoice(voice);
                synth.setLfo({byte(), byte(), byte(), byte(), (byte() & 1) != 0, byte()});
                synth.setKeyCode({byte(), byte()});
                (byte() & 1) != 0 ? synth.keyOn() : synth.keyOff();
                Samples chunk(400);
                synth.render(chunk);
                const int reach = CARRIERS[voice.CON & 7] * OPM_OPERATOR_PEAK;
                const auto inReach = [reach](int16_t v) { return std::abs(v) <= reach; };
                EXPECT_TRUE(std::all_of(chunk.begin(), chunk.end(), inReach)) << seed << " CON " << (CON & 7);
                all.insert(all.end(), chunk.begin(), chunk.end());
            }
            return all;
        };
        EXPECT_EQ(run(), run()) << "seed " << seed;
    }
}

}   // namespace
}   // namespace karvo
