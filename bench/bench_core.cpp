// Throughput of the converter core, reported in MDX track bytes per second and, for
// the tracks, in MIDI bytes written per second.
//
//   BM_Tracks/<song>      every converted track of the song, from the loaded data
//                         image to the finished MTrk chunks (convertTrack), with
//                         the elements played as a counter
//   BM_Voices/<program>   the voice output phase of one program on the song
//   BM_Run/<program>      one whole run in process: arguments, head scan, image,
//                         tracks, voice output, with the outputs on /dev/null
//   BM_SoundFont/<song>   a whole run with -sf2: the soundfont's time, size and the
//                         process's peak memory
//   BM_Timing/<song>/...  the tracks without and with -gate and -lfo, elements per
//                         second; lfo_bomb keeps the LFOs changing on every tick
//
// The songs are the example (examples/demo.mdx) and the two generated ones of
// song_gen.h: "long", a phrase played eight times on eight tracks, and "real", a
// song of the size and density of a real one (bench/make_song writes either to a
// file).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
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
#include "song_gen.h"
#include "text_voice_side.h"
#include "track_converter.h"
#include "voice_decoder.h"

namespace {

using karvo::song::Bytes;

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

// Voice selects go nowhere, as on a console nobody reads.
struct Silent : karvo::TrackListener {
    void voiceSelected(int) override {}
};

// A song with its head scanned and its data image loaded, as the run has it when
// the first track starts.
struct LoadedSong {
    karvo::RunContext ctx;
    karvo::MdxImage image;
    karvo::MidiTrack track;
    Silent listener;
    int trackCount = 0;
    uint64_t trackBytes = 0;   // bytes of the converted tracks in the file
    uint64_t elements = 0;     // elements played by the last convertAll

    explicit LoadedSong(Bytes file) {
        file.push_back(0);   // fmemopen refuses an empty buffer
        std::FILE* in = fmemopen(file.data(), file.size() - 1, "rb");
        const karvo::MdxHead head = karvo::scanHead(in);
        if (!head.complete()) {
            throw std::runtime_error("song without a head");
        }
        trackCount = std::min(head.declaredTracks, karvo::FM_TRACKS);
        bool whole = false;
        image = karvo::loadImage(head, in, whole);
        std::fclose(in);

        // A track runs to the next offset of the head, or to the end of the image.
        std::vector<uint32_t> bounds = head.trackOffsets;
        bounds.push_back(image.voiceOffset());
        bounds.push_back(static_cast<uint32_t>(image.bytes().size()));
        std::sort(bounds.begin(), bounds.end());
        for (int t = 0; t < trackCount; ++t) {
            const uint32_t start = image.trackOffset(t);
            const auto next = std::upper_bound(bounds.begin(), bounds.end(), start);
            trackBytes += (next == bounds.end() ? start : *next) - start;
        }
    }

    // Converts every track as a run does. Returns the MIDI chunk bytes written, or
    // 0 when a track ran away: then the song would measure the cut, not the song,
    // unless the song is there to be cut off (cutOff).
    uint64_t convertAll(karvo::VoiceSide& side, const karvo::TrackOptions& options = {},
                        bool cutOff = false) {
        karvo::SongState song;
        uint64_t midiBytes = 0;
        elements = 0;
        for (int t = 0; t < trackCount; ++t) {
            const karvo::TrackResult result =
                karvo::convertTrack(ctx, image, song, side, listener, track, t, trackCount, options);
            if (!result.whole && !cutOff) {
                return 0;
            }
            elements += result.elements;
            benchmark::DoNotOptimize(track.bytes().data());
            midiBytes += track.size();
        }
        return midiBytes;
    }
};

Bytes songBytes(const std::string& name) {
    if (name == "demo") {
        return readFile(KARVO_EXAMPLE);
    }
    if (name == "lfo_bomb") {
        return karvo::song::lfoBomb();
    }
    return name == "real" ? karvo::song::realSong() : karvo::song::longSong();
}

// The tracks as BM_Tracks converts them, with -gate and -lfo (timed) or without: the
// cost of the driver's own timing per element read. lfo_bomb runs into the guards.
void BM_Timing(benchmark::State& state, const std::string& song, bool timed) {
    LoadedSong loaded(songBytes(song));
    karvo::BankVoiceSide side;
    side.reset();
    karvo::TrackOptions options;
    options.gate = timed;
    options.lfo = timed;
    uint64_t midiBytes = 0;
    for (auto _ : state) {
        midiBytes = loaded.convertAll(side, options, song == "lfo_bomb");
        if (midiBytes == 0) {
            state.SkipWithError("a track ran away");
            return;
        }
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["elements"] = static_cast<double>(loaded.elements);
    state.counters["midi_bytes"] = static_cast<double>(midiBytes);
    state.counters["elements_per_second"] =
        benchmark::Counter(static_cast<double>(loaded.elements) * iterations, benchmark::Counter::kIsRate);
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
    state.counters["elements"] = static_cast<double>(loaded.elements);
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
    const uint64_t voiceBytes = loaded.image.bytes().size() - loaded.image.voiceOffset();
    for (auto _ : state) {
        std::string out;
        karvo::writeVoices(loaded.image, "song.mdx", side, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(voiceBytes));
}

template <class Side>
void BM_Run(benchmark::State& state, const std::string& song, const karvo::ProgramIdentity& program) {
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
        if (karvo::runConverter(ctx, 6, argv, program, side) != 0) {
            state.SkipWithError("the run failed");
            break;
        }
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file.size()));
}

// One whole run with -sf2: the tracks, and the soundfont of the song's FM voices (and,
// for the example, its drum kit), rendered and written to a file; its size and the
// process's peak memory are counters.
void BM_SoundFont(benchmark::State& state, const std::string& song) {
    const Bytes file = songBytes(song);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("karvo_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "song.mdx").string();
    const std::string sf2 = (dir / "song.sf2").string();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    if (song == "demo") {
        std::filesystem::copy_file(KARVO_EXAMPLE_PDX, dir / "demo.pdx");
    }
    const char* argv[] = {"KARVO2", path.c_str(), "-pcm", "-sf2",     sf2.c_str(),
                          "-midi",  "/dev/null",  "-o",   "/dev/null"};
    karvo::RunContext ctx;
    ctx.sout = devNull();
    ctx.serr = devNull();
    karvo::BankVoiceSide side;
    for (auto _ : state) {
        if (karvo::runConverter(ctx, static_cast<int>(std::size(argv)), argv, karvo::BANK_PROGRAM, side) !=
            0) {
            state.SkipWithError("the run failed");
            break;
        }
    }
    state.counters["soundfont_bytes"] = static_cast<double>(std::filesystem::file_size(sf2));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::filesystem::remove_all(dir);
}

void registerAll() {
    for (const std::string song : {"demo", "long", "real"}) {
        benchmark::RegisterBenchmark(("BM_Tracks/" + song).c_str(), BM_Tracks, song);
        benchmark::RegisterBenchmark(("BM_Voices/KARVO2/" + song).c_str(), BM_Voices<karvo::BankVoiceSide>,
                                     song);
        benchmark::RegisterBenchmark(("BM_Voices/KARVO/" + song).c_str(), BM_Voices<karvo::TextVoiceSide>,
                                     song);
        benchmark::RegisterBenchmark(("BM_Run/KARVO2/" + song).c_str(), BM_Run<karvo::BankVoiceSide>, song,
                                     karvo::BANK_PROGRAM);
        benchmark::RegisterBenchmark(("BM_Run/KARVO/" + song).c_str(), BM_Run<karvo::TextVoiceSide>, song,
                                     karvo::TEXT_PROGRAM);
    }
    for (const std::string song : {"demo", "real"}) {
        benchmark::RegisterBenchmark(("BM_SoundFont/" + song).c_str(), BM_SoundFont, song)
            ->Unit(benchmark::kMillisecond);
    }
    for (const std::string song : {"real", "lfo_bomb"}) {
        for (const bool timed : {false, true}) {
            benchmark::RegisterBenchmark(("BM_Timing/" + song + (timed ? "/gate_lfo" : "/plain")).c_str(),
                                         BM_Timing, song, timed);
        }
    }
}

}   // namespace

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
