// Rendering a voice key by key, finding each sample's loop, and the zones that play
// them on.
#include "fm_instrument.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace karvo {
namespace {

// The chip's envelope steps every three samples; settling is looked at every block.
constexpr size_t BLOCK = 192;
// The loop holds whole periods of the voice's lowest partial, at least this many points,
// and its end is moved by up to half a period to where the sound best meets its start.
constexpr size_t MIN_LOOP_POINTS = 2048;
constexpr size_t SEAM_POINTS = 64;
// Players interpolate across the loop's end: points past it that carry on the sound.
constexpr size_t POINTS_AFTER_LOOP = 8;
// The fall a player's volume envelope makes over its decay or release time.
constexpr double ENVELOPE_RANGE_DB = 96.0;
constexpr int16_t SILENCE_CB = 1000;
// The FM channels' exclusive class: a new note on a channel ends the one before, as a
// key-on on the chip's channel does.
constexpr int16_t FM_CHANNEL_CLASS = 1;
// The MIDI file's glides and detunes bend half as far as the song's pitch units go, over
// its bend range; through these instruments the wheel bends twice the default amount.
constexpr int16_t PITCH_WHEEL_AMOUNT = 2 * Modulator::DEFAULT_PITCH_WHEEL_AMOUNT;

// The operator positions whose outputs the connection sums (bit p for position p:
// M1 0, M2 1, C1 2, C2 3).
constexpr std::array<uint8_t, 8> CARRIERS = {0b1000, 0b1000, 0b1000, 0b1000, 0b1100, 0b1110, 0b1110, 0b1111};
// The voice's slot mask keys, bit by bit, M1, C1, M2 and C2.
constexpr std::array<int, 4> SLOT_POSITION = {OpmSynth::M1, OpmSynth::C1, OpmSynth::M2, OpmSynth::C2};

bool keyed(const OpmVoice& voice, int position) {
    for (size_t bit = 0; bit < SLOT_POSITION.size(); ++bit) {
        if (SLOT_POSITION[bit] == position) {
            return ((voice.slotMask >> bit) & 1) != 0;
        }
    }
    return false;
}

uint8_t registerRate(const OpmOperator& op, EnvelopePhase phase) {
    switch (phase) {
    case EnvelopePhase::Attack: return op.AR;
    case EnvelopePhase::Decay1: return op.D1R;
    case EnvelopePhase::Decay2: return op.D2R;
    case EnvelopePhase::Release: return op.RR;
    }
    return 0;
}

// Whether an operator's level will not change while the key is held, but for the slow
// second decay that the zone's envelope carries on with.
bool settled(const OpmSynth& synth, const OpmVoice& voice, int position, KeyCode key) {
    const OperatorState state = synth.operatorState(position);
    const OpmOperator& op = voice.op[static_cast<size_t>(position)];
    switch (state.phase) {
    case EnvelopePhase::Decay2:
    case EnvelopePhase::Release: return true;
    default: return envelopeRate(state.phase, registerRate(op, state.phase), op.KS, key, op.DT2).rate == 0;
    }
}

// The carrier that sounds loudest now, by envelope and TL; -1 when none is keyed.
int loudestCarrier(const OpmSynth& synth, const OpmVoice& voice) {
    int loudest = -1;
    uint32_t least = std::numeric_limits<uint32_t>::max();
    for (int p = 0; p < 4; ++p) {
        if (((CARRIERS[voice.CON & 7] >> p) & 1) == 0 || !keyed(voice, p)) {
            continue;
        }
        const uint32_t attenuation =
            synth.operatorState(p).attenuation + 8u * (voice.op[static_cast<size_t>(p)].TL & 127u);
        if (attenuation < least) {
            least = attenuation;
            loudest = p;
        }
    }
    return loudest;
}

// The voice with every envelope held where it stands: no attack, no decay.
OpmVoice held(OpmVoice voice) {
    for (OpmOperator& op : voice.op) {
        op.AR = 0;
        op.D1R = 0;
        op.D2R = 0;
    }
    return voice;
}

// The loop's length: whole periods of the lowest partial, about MIN_LOOP_POINTS, moved
// to where the sound after the loop's end is nearest to the sound after its start.
size_t loopLength(std::span<const int16_t> sound, double period) {
    const auto whole = static_cast<size_t>(std::ceil(MIN_LOOP_POINTS / period));
    const auto target = static_cast<size_t>(std::lround(double(whole) * period));
    const size_t reach = std::max<size_t>(4, static_cast<size_t>(period / 2));
    size_t best = target;
    double bestError = std::numeric_limits<double>::infinity();
    for (size_t length = target - std::min(target - MIN_LOOP_POINTS / 2, reach); length <= target + reach;
         ++length) {
        double error = 0.0;
        for (size_t j = 0; j < SEAM_POINTS && length + j < sound.size(); ++j) {
            const double d = double(sound[j]) - double(sound[length + j]);
            error += d * d;
        }
        if (error < bestError) {
            bestError = error;
            best = length;
        }
    }
    return best;
}

FmInstrument::Rendering render(const OpmVoice& voice, const OpmLfo& lfo, FmKeyUse use, int pitchShift) {
    FmInstrument::Rendering r;
    r.key = use.key;
    const KeyCode code = keyCodeFor(double(use.key) + pitchShift);
    const double frequency = keyCodeFrequency(code);
    const double wanted = 440.0 * std::exp2((double(use.key) + pitchShift - 69.0) / 12.0);
    r.pitchCorrection =
        static_cast<int8_t>(std::clamp(std::lround(1200.0 * std::log2(wanted / frequency)), -50L, 50L));

    OpmSynth synth;
    synth.setLfo(lfo);
    synth.setVoice(voice);
    synth.setKeyCode(code);
    synth.keyOn();

    // The key-on part: as long as the song holds the key, or until every keyed operator
    // has settled, in whole blocks.
    const double seconds = std::clamp(use.heldSeconds, 0.0, MAX_KEY_ON_SECONDS);
    const auto limit = static_cast<size_t>(seconds * FM_SAMPLE_RATE);
    r.points.reserve(limit + 2 * MIN_LOOP_POINTS);
    const auto allSettled = [&] {
        for (int p = 0; p < 4; ++p) {
            if (keyed(voice, p) && !settled(synth, voice, p, code)) {
                return false;
            }
        }
        return true;
    };
    do {
        const size_t at = r.points.size();
        r.points.resize(at + BLOCK);
        synth.render(std::span<int16_t>(r.points).subspan(at));
    } while (r.points.size() < limit && !allSettled());

    // What the zone's envelope carries on with: the loudest carrier's rates.
    const int carrier = loudestCarrier(synth, voice);
    if (carrier >= 0) {
        const OpmOperator& op = voice.op[static_cast<size_t>(carrier)];
        const OperatorState state = synth.operatorState(carrier);
        if (state.phase == EnvelopePhase::Decay1 || state.phase == EnvelopePhase::Decay2) {
            r.decayDbPerSecond =
                envelopeRate(state.phase, registerRate(op, state.phase), op.KS, code, op.DT2).dbPerSecond;
        }
        r.releaseDbPerSecond = envelopeRate(EnvelopePhase::Release, op.RR, op.KS, code, op.DT2).dbPerSecond;
    }

    // The loop: the sound with its envelopes held, over whole periods of the lowest
    // partial (MUL 0 plays an octave below the key).
    bool halfMul = false;
    for (int p = 0; p < 4; ++p) {
        halfMul = halfMul || (keyed(voice, p) && (voice.op[static_cast<size_t>(p)].MUL & 15) == 0);
    }
    const double period = FM_SAMPLE_RATE / frequency * (halfMul ? 2.0 : 1.0);
    synth.setVoice(held(voice));
    std::vector<int16_t> loop(static_cast<size_t>(MIN_LOOP_POINTS + 2 * period) + SEAM_POINTS +
                              POINTS_AFTER_LOOP);
    synth.render(loop);
    const size_t length = loopLength(loop, period);
    r.loopStart = static_cast<uint32_t>(r.points.size());
    r.loopEnd = static_cast<uint32_t>(r.points.size() + length);
    r.points.insert(r.points.end(), loop.begin(),
                    loop.begin() + static_cast<ptrdiff_t>(length + POINTS_AFTER_LOOP));
    return r;
}

// Timecents of a time in seconds, within what the generators can say.
int16_t timecents(double seconds) {
    if (!(seconds > 0.001)) {
        return -12000;
    }
    return static_cast<int16_t>(std::clamp(std::lround(1200.0 * std::log2(seconds)), -12000L, 8000L));
}

// Timecents of the time a player's envelope takes to fall its whole range at this slope;
// none for a level that holds.
int16_t fallTimecents(double dbPerSecond) {
    return dbPerSecond > 0.0 ? timecents(ENVELOPE_RANGE_DB / dbPerSecond) : int16_t{8000};
}

}   // namespace

FmInstrument::FmInstrument(const OpmVoice& voice, const OpmLfo& lfo, std::vector<FmKeyUse> keys,
                           int pitchShift) {
    if (keys.empty()) {
        keys.push_back({static_cast<uint8_t>(69 - pitchShift), MAX_KEY_ON_SECONDS});
    }
    std::sort(keys.begin(), keys.end(), [](const FmKeyUse& a, const FmKeyUse& b) {
        return a.key != b.key ? a.key < b.key : a.heldSeconds > b.heldSeconds;
    });
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i == 0 || keys[i].key != keys[i - 1].key) {
            m_renderings.push_back(render(voice, lfo, keys[i], pitchShift));
        }
    }
}

void FmInstrument::addTo(SoundFont& font, const std::string& name, uint8_t program) const {
    Instrument instrument{name, Zone{}, {}};
    Zone& global = *instrument.global;
    global.generators = {Generator::value(Generator::SAMPLE_MODES, Generator::LOOP_CONTINUOUSLY),
                         Generator::value(Generator::EXCLUSIVE_CLASS, FM_CHANNEL_CLASS)};
    global.modulators = {Modulator::pitchWheel(PITCH_WHEEL_AMOUNT), SWITCHED_PAN[0], SWITCHED_PAN[1]};
    for (size_t i = 0; i < m_renderings.size(); ++i) {
        const Rendering& r = m_renderings[i];
        // Each key between two rendered ones plays the nearer.
        const auto low = static_cast<uint8_t>(i == 0 ? 0 : (m_renderings[i - 1].key + r.key) / 2 + 1);
        const auto high =
            static_cast<uint8_t>(i + 1 == m_renderings.size() ? 127 : (r.key + m_renderings[i + 1].key) / 2);
        font.samples.push_back({name + " k" + std::to_string(r.key), r.points, FM_SAMPLE_RATE, r.key,
                                r.pitchCorrection, r.loopStart, r.loopEnd});
        Zone zone;
        zone.target = font.samples.size() - 1;
        zone.generators = {
            Generator::range(Generator::KEY_RANGE, low, high),
            Generator::value(Generator::HOLD_VOL_ENV, timecents(double(r.loopStart) / FM_SAMPLE_RATE)),
            Generator::value(Generator::DECAY_VOL_ENV, fallTimecents(r.decayDbPerSecond)),
            Generator::value(Generator::SUSTAIN_VOL_ENV, r.decayDbPerSecond > 0.0 ? SILENCE_CB : int16_t{0}),
            Generator::value(Generator::RELEASE_VOL_ENV, fallTimecents(r.releaseDbPerSecond)),
        };
        instrument.zones.push_back(std::move(zone));
    }
    font.instruments.push_back(std::move(instrument));
    Preset preset{name, program, 0, std::nullopt, {}};
    preset.zones.push_back({font.instruments.size() - 1, {}, {}});
    font.presets.push_back(std::move(preset));
}

}   // namespace karvo
