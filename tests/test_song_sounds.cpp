// The song's FM voices in the soundfont: which voices and keys the MIDI file plays and
// for how long, the voice each program gets, and each key's sample, loop and envelope.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "fm_instrument.h"
#include "mdx_image.h"
#include "midi_track.h"
#include "recording_side.h"
#include "song_voices.h"
#include "voice_decoder.h"
#include "voice_use.h"

namespace karvo {
namespace {

using Bytes = std::vector<uint8_t>;

// The frequency of a steady stretch, from its rising zero crossings.
double frequencyOf(std::span<const int16_t> points) {
    double first = -1.0;
    double last = -1.0;
    int periods = -1;
    for (size_t i = 1; i < points.size(); ++i) {
        if (points[i - 1] < 0 && points[i] >= 0) {
            const double at = double(i - 1) + double(-points[i - 1]) / double(points[i] - points[i - 1]);
            first = first < 0.0 ? at : first;
            last = at;
            ++periods;
        }
    }
    return periods > 0 ? periods * double(FM_SAMPLE_RATE) / (last - first) : 0.0;
}

TEST(FmInstrument, RendersEachKeyAtTheSongsPitchWithASeamlessLoopAndTheChipsRates) {
    // One carrier, C2 alone, as a song's plainest voice; other operators stay unkeyed.
    OpmVoice voice;
    voice.slotMask = 0b1000;   // bit 3: C2
    voice.op[OpmSynth::C2] = {.TL = 0, .AR = 31, .D1R = 12, .D1L = 3, .D2R = 6, .RR = 9, .MUL = 1};
    // Key 57 twice (the longer hold counts), 40 and 69 past the cap.
    const FmInstrument instrument(voice, {}, {{57, 0.05}, {69, 9.0}, {40, 0.2}, {57, 0.3}});
    const auto renderings = instrument.renderings();
    ASSERT_EQ(renderings.size(), 3u);
    for (const auto& r : renderings) {
        SCOPED_TRACE(int(r.key));
        // The loop's pitch, corrected, is the song's: key 57 is the song's o4a at 440 Hz.
        const double loopPitch =
            frequencyOf(std::span(r.points).subspan(r.loopStart, r.loopEnd - r.loopStart));
        const double wanted = 440.0 * std::exp2((r.key + 12 - 69) / 12.0);
        EXPECT_NEAR(1200.0 * std::log2(loopPitch / wanted) + r.pitchCorrection, 0.0, 1.0);
        // The points after the loop's end carry on as the loop's start does.
        ASSERT_EQ(r.points.size(), r.loopEnd + 8u);
        for (size_t j = 0; j < 8; ++j) {
            EXPECT_NEAR(r.points[r.loopEnd + j], r.points[r.loopStart + j], 300) << j;
        }
        // The key-on part: the attack and first decay (to 9 dB at rate 12), within the
        // song's hold and the cap.
        const double keyOn = double(r.loopStart) / FM_SAMPLE_RATE;
        const KeyCode code = keyCodeFor(r.key + 12.0);
        const EnvelopeRate firstDecay = envelopeRate(EnvelopePhase::Decay1, 12, 0, code);
        const double settle = 9.0 / firstDecay.dbPerSecond;
        const double held = r.key == 57 ? 0.3 : r.key == 69 ? MAX_KEY_ON_SECONDS : 0.2;
        EXPECT_NEAR(keyOn, std::min(held, settle), 0.004);
        // Then the zone goes on at the second decay or, cut short, the first; and
        // releases at RR's rate.
        const bool settled = settle < held;
        const double decay =
            envelopeRate(settled ? EnvelopePhase::Decay2 : EnvelopePhase::Decay1, settled ? 6 : 12, 0, code)
                .dbPerSecond;
        EXPECT_DOUBLE_EQ(r.decayDbPerSecond, decay);
        EXPECT_DOUBLE_EQ(r.releaseDbPerSecond, envelopeRate(EnvelopePhase::Release, 9, 0, code).dbPerSecond);
    }

    // With -pitch the MIDI file's keys are an octave up and the voice sounds the same.
    const FmInstrument standard(voice, {}, {{69, 0.3}}, 0);
    EXPECT_EQ(standard.renderings()[0].points, renderings[1].points);

    SoundFont font;
    instrument.addTo(font, "voice 3", 3);
    ASSERT_EQ(font.presets.size(), 1u);
    EXPECT_EQ(font.presets[0].program, 3);
    EXPECT_EQ(font.presets[0].bank, 0);
    // Each key between two rendered ones plays the nearer: 0-48, 49-63, 64-127.
    const Instrument& fm = font.instruments.at(0);
    ASSERT_EQ(fm.zones.size(), 3u);
    EXPECT_EQ(fm.zones[0].generators[0].amount, 0 | 48 << 8);
    EXPECT_EQ(fm.zones[1].generators[0].amount, 49 | 63 << 8);
    EXPECT_EQ(fm.zones[2].generators[0].amount, 64 | 127 << 8);
    EXPECT_TRUE(buildSoundFont(font).has_value());
}

TEST(FmInstrument, FollowsTheLoudestCarrierAndHoldsAVoiceThatNeverDecays) {
    // Connection 7: four carriers; C1 at TL 0 is the loudest, with its own rates.
    OpmVoice organ;
    organ.CON = 7;
    organ.slotMask = 0b1111;
    for (OpmOperator& op : organ.op) {
        op = {.TL = 20, .AR = 31, .D1R = 0, .D2R = 3, .RR = 2, .MUL = 1};
    }
    organ.op[OpmSynth::C1] = {.TL = 0, .AR = 31, .D1R = 0, .D2R = 0, .RR = 11, .MUL = 2};
    const FmInstrument instrument(organ, {}, {{60, 1.0}});
    const auto& r = instrument.renderings()[0];
    EXPECT_EQ(r.decayDbPerSecond, 0.0);   // D1R 0 holds its level: the sound does not fade
    EXPECT_LT(r.loopStart, FM_SAMPLE_RATE / 50);
    EXPECT_DOUBLE_EQ(r.releaseDbPerSecond,
                     envelopeRate(EnvelopePhase::Release, 11, 0, keyCodeFor(72.0)).dbPerSecond);
    // Whatever bytes a voice record holds, each key renders, ends and loops inside.
    uint32_t seed = 7;
    const auto byte = [&seed] { return static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16); };
    for (int n = 0; n < 20; ++n) {
        OpmVoice v{byte(), byte(), byte(), byte(), byte(), {}};
        for (OpmOperator& op : v.op) {
            op = {byte(), byte(), byte(), byte(), byte(),           byte(),
                  byte(), byte(), byte(), byte(), (byte() & 1) != 0};
        }
        const FmInstrument any(v, {byte(), byte(), byte(), byte(), true, byte()}, {{byte(), 9.0}});
        const auto& k = any.renderings()[0];
        EXPECT_LT(k.loopStart, k.loopEnd);
        EXPECT_EQ(k.points.size(), k.loopEnd + 8u);
        EXPECT_LE(k.loopStart, MAX_KEY_ON_SECONDS * FM_SAMPLE_RATE + 192);
    }
}

// Chunks as the converter writes them, through its own writer.
Bytes chunk(void (*write)(MidiTrack::Writer&), uint8_t channel) {
    MidiTrack track;
    MidiTrack::Writer w = track.begin(channel);
    write(w);
    track.end(w);
    return Bytes(track.bytes().begin(), track.bytes().end());
}

TEST(VoiceUse, FindsEachProgramsKeysAndTheirLongestHoldAtTheFilesTempo) {
    VoiceUse use;
    use.addChunk(chunk(
                     [](MidiTrack::Writer& w) {
                         w.programChange(1);   // selected, never played
                         w.programChange(5);
                         w.wait(10);
                         w.note(60, 100, 48, 0);   // a quarter at 120 per minute: 0.5 s
                         w.noteOn(62, 100);
                         w.wait(42);
                         w.noteOn(64, 100);   // a legato pair: on before the other's off
                         w.noteOff(62, 100);
                         w.wait(48);
                         w.noteOff(64, 0);
                         w.programChange(6);
                         w.note(60, 100, 24, 0);
                         w.note(60, 100, 96, 0);
                     },
                     0),
                 true);
    // A tempo change on another track, twice as fast from tick 58; its own notes are not
    // the FM voices'.
    use.addChunk(chunk(
                     [](MidiTrack::Writer& w) {
                         w.wait(58);
                         w.tempo(250'000);
                         w.programChange(9);
                         w.note(70, 100, 10, 0);
                     },
                     9),
                 false);
    const auto programs = use.programs();
    ASSERT_EQ(programs.size(), 3u);
    EXPECT_TRUE(programs.at(1).empty());
    const auto& five = programs.at(5);
    ASSERT_EQ(five.size(), 3u);
    const double tick = 0.25 / 48;   // after the change
    EXPECT_EQ(five[0].key, 60);
    EXPECT_DOUBLE_EQ(five[0].heldSeconds, 0.5);
    EXPECT_EQ(five[1].key, 62);
    EXPECT_DOUBLE_EQ(five[1].heldSeconds, 42 * tick);
    EXPECT_EQ(five[2].key, 64);
    EXPECT_DOUBLE_EQ(five[2].heldSeconds, 48 * tick);
    ASSERT_EQ(programs.at(6).size(), 1u);
    EXPECT_DOUBLE_EQ(programs.at(6)[0].heldSeconds, 96 * tick);   // the longer of the two
}

TEST(SongVoices, GivesEachSlotTheLastRecordOfItsNumberAndTheSettingsTheTracksGaveIt) {
    Bytes records;
    for (const int number : {0x05, 0x85, 0x06}) {
        Bytes r(27, 0);
        r[0] = static_cast<uint8_t>(number);
        r[1] = static_cast<uint8_t>(number >> 4 | 0x03);   // FL/CON: 3 or 11
        r[2] = 0x0F;
        records.insert(records.end(), r.begin(), r.end());
    }
    records.resize(records.size() - 10);   // the record for 6 is cut short
    const MdxImage image(records, 0, {});
    test::RecordingSide program;
    SongVoices voices(program);
    voices.captureLfo(-1, decodeLfo(2, 0x33));   // before any voice select: kept nowhere
    voices.captureLfo(5, decodeLfo(2, 0x21));
    voices.captureNoise(5, decodeNoise(0x9C));
    decodeVoiceRecords(image, "x", voices);
    // Every capture reached the program's side too.
    EXPECT_EQ(std::count_if(program.calls.begin(), program.calls.end(),
                            [](const test::Call& c) { return c.kind == 'L' || c.kind == 'N'; }),
              3);
    // FL, CON, slots, AMS, PMS of the record numbered 0x85; NE, NFRQ, WF, and LFRQ, which
    // the run does not keep, at the chip's reset value.
    const OpmVoice& five = voices.voice(5);
    EXPECT_EQ((std::vector<int>{five.FL, five.CON, five.slotMask, five.AMS, five.PMS}),
              (std::vector<int>{1, 3, 0x0F, 1, 2}));
    const OpmLfo& lfo = voices.lfo(5);
    EXPECT_EQ((std::vector<int>{lfo.NE, lfo.NFRQ, lfo.WF, lfo.LFRQ}), (std::vector<int>{1, 0x1C, 2, 0}));
    EXPECT_TRUE(voices.recorded(6));
    EXPECT_EQ(voices.voice(6).op[3].RR, 4);   // cut before its last byte: the table's start value
    EXPECT_FALSE(voices.recorded(7));
    EXPECT_EQ(voices.voice(7).slotMask, 64 >> 3);   // no record: C2 alone, as the bank starts
    EXPECT_EQ(voices.voice(7).op[0].AR, 31);
}

}   // namespace
}   // namespace karvo
