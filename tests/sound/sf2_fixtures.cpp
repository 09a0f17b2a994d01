// Writes the soundfont that the reader checks load, and what a reader must find in it.
//
//   sf2_fixtures DIR   writes DIR/tones.sf2 and DIR/tones.expected
//
// Every sample is a 440 Hz sine of whole periods, so that a loop over all of it is seamless.
// The presets (bank 0 unless said):
//   0 "sine"        44,100 Hz sample, root key 69, looped
//   1 "sine 62500"  62,500 Hz sample, root key 69, looped
//   2 "tuned"       instrument: overridingRootKey 57; preset global zone: coarseTune +7
//   3 "bend x2"     instrument zone with the pitch-wheel modulator at twice its default amount
//   4 "bend"        the default pitch wheel
//   5 "bend +1"     a preset zone with the pitch-wheel modulator at its default amount, which
//                   adds to the default one
//   bank 128, 0 "drums": key 36 a 15,625 Hz sample, root key 36, -30 cents, unlooped; key 38 the
//                       44,100 Hz one; both in exclusive class 1
// The .expected file lists, in the checker's words, what the description says: names as
// the writer cuts them, sample points by their FNV-1a hash, generators by number.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "point_hash.h"
#include "sf2_helpers.h"
#include "soundfont.h"

using namespace karvo;
using karvo::test::fnv1a;
using karvo::test::zone;

namespace {

std::vector<int16_t> sine(uint32_t rate, uint32_t points) {
    std::vector<int16_t> out(points);
    for (uint32_t i = 0; i < points; ++i) {
        const double phase = 2 * std::numbers::pi * 440.0 * i / rate;
        out[i] = static_cast<int16_t>(std::lround(16000 * std::sin(phase)));
    }
    return out;
}

void printZone(std::ofstream& out, const char* kind, const std::string& link, const Zone& z) {
    out << "  " << kind;
    if (!link.empty()) {
        out << " link=\"" << link << '"';
    }
    std::vector<Generator> sorted = z.generators;
    std::sort(sorted.begin(), sorted.end(),
              [](const Generator& a, const Generator& b) { return a.number < b.number; });
    for (const Generator& g : sorted) {
        out << " gen" << g.number << '=' << g.amount;
    }
    for (const Modulator& m : z.modulators) {
        out << " mod(" << m.source << ',' << m.destination << ',' << m.amount << ',' << m.amountSource << ','
            << m.transform << ')';
    }
    out << '\n';
}

}   // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sf2_fixtures DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    // 0.1 s and 1 s hold whole periods of 440 Hz at these rates.
    const std::vector<int16_t> cd = sine(44100, 4410);
    const std::vector<int16_t> fast = sine(62500, 6250);
    const std::vector<int16_t> slow = sine(15625, 15625);

    SoundFont font;
    font.name = "karvo reader check";
    font.comment = "440 Hz sines";
    font.software = "sf2_fixtures";
    auto sample = [&](std::string name, const std::vector<int16_t>& points, uint32_t rate, uint8_t key,
                      bool looped) {
        Sample s;
        s.name = std::move(name);
        s.points = points;
        s.sampleRate = rate;
        s.originalKey = key;
        s.pitchCorrection = looped ? 0 : -30;
        s.loopStart = 0;
        s.loopEnd = looped ? static_cast<uint32_t>(points.size()) : 0;
        font.samples.push_back(s);
    };
    sample("sine 44100", cd, 44100, 69, true);
    sample("sine 62500", fast, 62500, 69, true);
    // 30 bytes of UTF-8: the name field keeps the first six characters.
    sample("\u30B9\u30CD\u30A2\u30C9\u30E9\u30E0\u30FB\u30ED\u30F3\u30B0", slow, 15625, 36, false);
    const std::string cutName = "\u30B9\u30CD\u30A2\u30C9\u30E9\u30E0";

    const Generator loop = Generator::value(Generator::SAMPLE_MODES, Generator::LOOP_CONTINUOUSLY);
    const Generator allKeys = Generator::range(Generator::KEY_RANGE, 0, 127);
    font.instruments = {
        {"sine", std::nullopt, {zone(0, {loop, allKeys})}},
        {"sine 62500", std::nullopt, {zone(1, {loop})}},
        {"tuned", zone(0, {Generator::value(Generator::OVERRIDING_ROOT_KEY, 57)}), {zone(0, {loop})}},
        {"bend x2",
         std::nullopt,
         {zone(0, {loop}, {Modulator::pitchWheel(2 * Modulator::DEFAULT_PITCH_WHEEL_AMOUNT)})}},
        {"drums",
         zone(0, {Generator::value(Generator::EXCLUSIVE_CLASS, 1),
                  Generator::value(Generator::RELEASE_VOL_ENV, -1200)}),
         {zone(2, {Generator::value(Generator::PAN, -200), Generator::range(Generator::KEY_RANGE, 36, 36)}),
          zone(0, {loop, Generator::range(Generator::VEL_RANGE, 1, 127),
                   Generator::range(Generator::KEY_RANGE, 38, 38)})}},
    };
    // Given out of order: the writer sorts them.
    font.presets = {
        {"drums", 0, 128, std::nullopt, {zone(4, {})}},
        {"bend", 4, 0, std::nullopt, {zone(0, {})}},
        {"sine", 0, 0, std::nullopt, {zone(0, {})}},
        {"tuned", 2, 0, zone(0, {Generator::value(Generator::COARSE_TUNE, 7)}), {zone(2, {})}},
        {"sine 62500", 1, 0, std::nullopt, {zone(1, {Generator::value(Generator::INITIAL_ATTENUATION, 10)})}},
        {"bend x2", 3, 0, std::nullopt, {zone(3, {})}},
        {"bend +1",
         5,
         0,
         std::nullopt,
         {zone(0, {}, {Modulator::pitchWheel(Modulator::DEFAULT_PITCH_WHEEL_AMOUNT)})}},
    };

    const std::optional<std::vector<uint8_t>> bytes = buildSoundFont(font);
    if (!bytes) {
        std::fprintf(stderr, "sf2_fixtures: the writer refused the description\n");
        return 1;
    }
    std::ofstream sf2(dir + "/tones.sf2", std::ios::binary);
    sf2.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));

    std::ofstream out(dir + "/tones.expected");
    out << "info version=2.1 engine=EMU8000 name=\"" << font.name << "\" comment=\"" << font.comment
        << "\" software=\"" << font.software << "\"\n";
    for (size_t i = 0; i < font.samples.size(); ++i) {
        const Sample& s = font.samples[i];
        out << "sample \"" << (i == 2 ? cutName : s.name) << "\" rate=" << s.sampleRate
            << " root=" << int(s.originalKey) << " correction=" << int(s.pitchCorrection)
            << " points=" << s.points.size() << " loop=" << s.loopStart << '-'
            << (s.loopEnd != s.loopStart ? s.loopEnd : s.points.size())   // no loop: all of it
            << " fnv=" << fnv1a(s.points) << '\n';
    }
    for (const Instrument& inst : font.instruments) {
        out << "instrument \"" << inst.name << "\"\n";
        if (inst.global) {
            printZone(out, "global", "", *inst.global);
        }
        for (const Zone& z : inst.zones) {
            printZone(out, "zone", z.target == 2 ? cutName : font.samples[z.target].name, z);
        }
    }
    std::vector<const Preset*> presets;
    for (const Preset& p : font.presets) {
        presets.push_back(&p);
    }
    std::sort(presets.begin(), presets.end(), [](const Preset* a, const Preset* b) {
        return a->bank * 128 + a->program < b->bank * 128 + b->program;
    });
    for (const Preset* p : presets) {
        out << "preset \"" << p->name << "\" bank=" << p->bank << " program=" << int(p->program) << '\n';
        if (p->global) {
            printZone(out, "global", "", *p->global);
        }
        for (const Zone& z : p->zones) {
            printZone(out, "zone", font.instruments[z.target].name, z);
        }
    }
    return sf2 && out ? 0 : 1;
}
