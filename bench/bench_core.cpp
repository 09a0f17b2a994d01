// Throughput of the converter core, reported in MDX track bytes per second.
//
//   BM_Tracks/<song>      every converted track of the song, from the loaded data
//                         image to the finished MTrk chunks (convertTrack)
//   BM_Voices/<program>   the voice output phase of one program on the song
//   BM_Run/<program>      one whole run in process: arguments, head scan, image,
//                         tracks, voice output, with the outputs on /dev/null
//
// The songs are the example (examples/demo.mdx) and a long one generated here:
// eight tracks of thousands of notes with glides, ties, nested repeats and an
// escape, LFO and noise commands, and a voice area of eight records.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bank_voice_side.h"
#include "driver.h"
#include "mdx_image.h"
#include "run_context.h"
#include "text_voice_side.h"
#include "track_converter.h"
#include "voice_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

void be16(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// Small deterministic generator, so that every run measures the same song.
class Lcg {
public:
    uint32_t next(uint32_t bound) {
        m_state = m_state * 1664525u + 1013904223u;
        return (m_state >> 8) % bound;
    }

private:
    uint32_t m_state = 2024;
};

// One MDX track being written: notes, rests and repeats with their jump offsets.
class TrackWriter {
public:
    Bytes data;

    void cmd(std::initializer_list<uint8_t> bytes) { data.insert(data.end(), bytes); }

    // key is a MIDI key; ticks 1 to 256.
    void note(int key, int ticks) {
        data.push_back(static_cast<uint8_t>(key + 125));
        data.push_back(static_cast<uint8_t>(ticks - 1));
    }

    void rest(int ticks) { data.push_back(static_cast<uint8_t>(ticks - 1)); }

    // A glide of `semitones` over a note of `ticks`, with the bend range of 32
    // semitones the converter sets: 256 steps of 1/128 per semitone.
    void glide(int semitones, int ticks) {
        const int step = semitones * 256 * 128 / ticks;
        data.push_back(0xF2);
        be16(data, static_cast<uint32_t>(step) & 0xFFFF);
    }

    void repeatStart(int count) {
        cmd({0xF6, static_cast<uint8_t>(count), 0x00});
        m_open.push_back({data.size(), 0});
    }

    // Leaves the repeat on its last pass, jumping behind the repeat end.
    void escape() {
        cmd({0xF4, 0x00, 0x00});
        m_open.back().escapeOperand = data.size() - 2;
    }

    void repeatEnd() {
        const Open open = m_open.back();
        m_open.pop_back();
        cmd({0xF5, 0x00, 0x00});
        const size_t here = data.size();
        patch(here - 2, static_cast<uint32_t>(open.body) - static_cast<uint32_t>(here));
        if (open.escapeOperand != 0) {
            // The escape's offset counts to the repeat end's operand.
            patch(open.escapeOperand, static_cast<uint32_t>(here - 2 - (open.escapeOperand + 2)));
        }
    }

private:
    struct Open {
        size_t body;
        size_t escapeOperand;
    };

    void patch(size_t at, uint32_t v) {
        data[at] = static_cast<uint8_t>(v >> 8);
        data[at + 1] = static_cast<uint8_t>(v);
    }

    std::vector<Open> m_open;
};

Bytes mdxFile(const std::vector<Bytes>& tracks, const Bytes& voices) {
    Bytes out = {'b', 'e', 'n', 'c', 'h', 0x0D, 0x0A, 0x1A, 0x00};
    const size_t table = 2 + 2 * tracks.size();
    size_t offset = table;
    Bytes offsets;
    Bytes body;
    for (const Bytes& t : tracks) {
        be16(offsets, static_cast<uint32_t>(offset));
        body.insert(body.end(), t.begin(), t.end());
        offset += t.size();
    }
    if (offset + voices.size() > karvo::IMAGE_SIZE) {
        throw std::length_error("generated song does not fit the data image");
    }
    be16(out, static_cast<uint32_t>(offset));
    out.insert(out.end(), offsets.begin(), offsets.end());
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), voices.begin(), voices.end());
    return out;
}

// A phrase of `notes` notes over A minor, with a glide on about one note in four
// and a tie on one in ten, inside a repeat of two passes, nested in a repeat of
// four passes whose escape skips the last bar on the fourth.
Bytes longTrack(int t, int notes, Lcg& rng) {
    static constexpr int SCALE[] = {57, 59, 60, 62, 64, 65, 67, 69, 71, 72, 74, 76};
    TrackWriter w;
    if (t == 0) {
        w.cmd({0xFF, 200});   // tempo
    }
    w.cmd({0xFD, static_cast<uint8_t>(t + 1), 0xFB, 12, 0xFC, 3});
    w.cmd({0xEA, 0x02, 0xC0, 0x30, 0x10, 0x31});   // LFO with PMS and AMS
    if (t == 1) {
        w.cmd({0xF3, 0x00, 0x08});   // detune
    }
    w.repeatStart(4);
    w.repeatStart(2);
    for (int i = 0; i < notes; ++i) {
        const int key = SCALE[rng.next(12)] - 12 * (t % 3);
        const int ticks = 6 * static_cast<int>(1 + rng.next(8));   // 6 to 48 ticks
        if (t == 7) {
            w.cmd({0xED, static_cast<uint8_t>(rng.next(2) ? 0x90 + rng.next(16) : 0x00)});
        }
        if (rng.next(4) == 0) {
            w.glide(static_cast<int>(rng.next(9)) - 4, ticks);
        } else if (rng.next(10) == 0) {
            w.cmd({0xF7});
        }
        w.note(key, ticks);
        if (rng.next(6) == 0) {
            w.rest(12);
        }
        if (i % 64 == 63) {
            w.cmd({0xFB, static_cast<uint8_t>(8 + rng.next(8))});
        }
    }
    w.repeatEnd();
    w.escape();
    w.note(SCALE[0], 192);
    w.repeatEnd();
    w.note(SCALE[0] - 12, 192);
    w.cmd({0xF1});
    return w.data;
}

Bytes longSong() {
    Lcg rng;
    std::vector<Bytes> tracks;
    for (int t = 0; t < 8; ++t) {
        tracks.push_back(longTrack(t, 700, rng));
    }
    Bytes voices;
    for (int v = 1; v <= 8; ++v) {
        voices.push_back(static_cast<uint8_t>(v));
        voices.push_back(static_cast<uint8_t>((v % 8) << 3 | (v % 8)));   // FL, CON
        voices.push_back(0x0F);
        for (int k = 0; k < 24; ++k) {
            voices.push_back(static_cast<uint8_t>(rng.next(256)));
        }
    }
    return mdxFile(tracks, voices);
}

Bytes readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(std::string("cannot read ") + path);
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::FILE* devNull() {
    static std::FILE* null = std::fopen("/dev/null", "w");
    return null;
}

// A song with its head scanned and its data image loaded, as the run has it when
// the first track starts.
struct LoadedSong {
    karvo::RunContext ctx;
    karvo::MdxImage image;
    karvo::MidiTrack track;
    int trackCount = 0;
    uint64_t trackBytes = 0;   // bytes of the converted tracks in the file

    explicit LoadedSong(Bytes file) {
        ctx.serr = devNull();   // the "Voice @" lines
        file.push_back(0);      // fmemopen refuses an empty buffer
        std::FILE* in = fmemopen(file.data(), file.size() - 1, "rb");
        const int declared = karvo::header(image, in, devNull());
        if (declared < 0) {
            throw std::runtime_error("song without a head");
        }
        trackCount = std::min(declared, 8);
        karvo::loadImage(image, in);
        std::fclose(in);

        // A track runs to the next offset of the head, or to the end of the image.
        std::vector<uint32_t> bounds(image.MMLBase, image.MMLBase + declared);
        bounds.push_back(image.VoiceBase);
        bounds.push_back(static_cast<uint32_t>(image.Ibuf.size()));
        std::sort(bounds.begin(), bounds.end());
        for (int t = 0; t < trackCount; ++t) {
            const uint32_t start = image.MMLBase[t];
            const auto next = std::upper_bound(bounds.begin(), bounds.end(), start);
            trackBytes += (next == bounds.end() ? start : *next) - start;
        }
    }

    // Converts every track as a run does. Returns the MIDI chunk bytes written, or
    // 0 when a track ran away: then the song would measure the cut, not the song.
    uint64_t convertAll(karvo::VoiceSide& side) {
        karvo::SongState song;
        uint64_t midiBytes = 0;
        for (int t = 0; t < trackCount; ++t) {
            if (!karvo::convertTrack(ctx, image, song, side, track, t, trackCount)) {
                return 0;
            }
            benchmark::DoNotOptimize(track.data());
            midiBytes += track.Tpos;
        }
        return midiBytes;
    }
};

Bytes songBytes(const std::string& name) {
    return name == "demo" ? readFile(KARVO_EXAMPLE) : longSong();
}

void BM_Tracks(benchmark::State& state, const std::string& song) {
    LoadedSong loaded(songBytes(song));
    karvo::BankVoiceSide side;   // the track side of both programs is the same
    side.reset();
    uint64_t midiBytes = 0;
    for (auto _ : state) {
        midiBytes = loaded.convertAll(side);
        if (midiBytes == 0) {
            state.SkipWithError("a track ran away");
            return;
        }
    }
    const auto iterations = static_cast<int64_t>(state.iterations());
    state.SetBytesProcessed(iterations * static_cast<int64_t>(loaded.trackBytes));
    state.counters["track_bytes"] = static_cast<double>(loaded.trackBytes);
    state.counters["midi_bytes"] = static_cast<double>(midiBytes);
    state.counters["midi_bytes_per_second"] = benchmark::Counter(
        static_cast<double>(midiBytes) * static_cast<double>(iterations), benchmark::Counter::kIsRate);
}

template <class Side>
void BM_Voices(benchmark::State& state, const std::string& song) {
    LoadedSong loaded(songBytes(song));
    Side side;
    side.reset();
    loaded.convertAll(side);   // the LFO and noise settings the voice output uses
    const uint64_t voiceBytes = loaded.image.Ibuf.size() - loaded.image.VoiceBase;
    for (auto _ : state) {
        std::string out;
        karvo::writeVoices(loaded.image, "song.mdx", side, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(voiceBytes));
}

template <class Side>
void BM_Run(benchmark::State& state, const std::string& song) {
    const Bytes file = songBytes(song);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("karvo_bench_" + std::to_string(getpid()) + "_" + song + ".mdx"))
                                 .string();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    const char* argv[] = {"KARVO", path.c_str(), "-midi", "/dev/null", "-o", "/dev/null"};
    karvo::RunContext ctx;
    ctx.sout = devNull();
    ctx.serr = devNull();
    Side side;
    for (auto _ : state) {
        if (karvo::runConverter(ctx, 6, argv, side) != 0) {
            state.SkipWithError("the run failed");
            break;
        }
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

void registerAll() {
    for (const std::string song : {"demo", "long"}) {
        benchmark::RegisterBenchmark(("BM_Tracks/" + song).c_str(), BM_Tracks, song);
        benchmark::RegisterBenchmark(("BM_Voices/KARVO2/" + song).c_str(), BM_Voices<karvo::BankVoiceSide>, song);
        benchmark::RegisterBenchmark(("BM_Voices/KARVO/" + song).c_str(), BM_Voices<karvo::TextVoiceSide>, song);
        benchmark::RegisterBenchmark(("BM_Run/KARVO2/" + song).c_str(), BM_Run<karvo::BankVoiceSide>, song);
        benchmark::RegisterBenchmark(("BM_Run/KARVO/" + song).c_str(), BM_Run<karvo::TextVoiceSide>, song);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
