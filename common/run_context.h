// The state of one conversion run: streams, data image, track buffer and converter state.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace karvo {

constexpr uint32_t IMAGE_SIZE = 65536;       // 16-bit offsets reach no further
constexpr int MAX_TRACKS_DECLARED = 16;      // track 0 at offset 34 at the most
constexpr int MAX_TRACKS_CONVERTED = 8;
constexpr int REPEAT_LEVELS = 8;             // counter 0 is never used by a repeat start
// A track that runs away (repeats nested to billions of passes, jump loops) is cut
// off after this many elements or this much chunk, far above any real song.
constexpr uint32_t MAX_TRACK_ELEMENTS = 1'000'000;
constexpr uint32_t MAX_TRACK_CHUNK = 1u << 20;

struct RunContext {
    // The process's standard streams; tests and fuzzers put memory streams here.
    std::FILE* sin = stdin;
    std::FILE* sout = stdout;
    std::FILE* serr = stderr;

    // The runaway guards. Fuzzers lower them, so that a runaway track costs them
    // milliseconds rather than seconds.
    uint32_t maxTrackElements = MAX_TRACK_ELEMENTS;
    uint32_t maxTrackChunk = MAX_TRACK_CHUNK;

    std::FILE* fin = nullptr;    // MDX input
    std::FILE* fout = nullptr;   // first the MIDI output, later the voice output
    bool midi = false;           // set when -midi opened a file: only then are MIDI bytes written
    std::string inName = "stdin";  // prefix of every extracted voice name
    std::string outName;           // the last -o value
    bool hasOutName = false;

    // Header scan results. Offsets are indices into Ibuf.
    uint32_t FileBase = 0;
    uint32_t VoiceBase = 0;
    uint32_t MMLBase[MAX_TRACKS_DECLARED] = {};
    int trackCount = 0;
    std::vector<uint8_t> headBytes;  // what the header scan read, so that no seek is needed

    // Data image: the file from FileBase on, at most IMAGE_SIZE bytes.
    std::vector<uint8_t> Ibuf;
    uint32_t Ipos = 0;

    // Track buffer: the MTrk chunk under construction; grows as needed.
    std::vector<uint8_t> Tbuf;
    uint32_t Tpos = 0;
    uint32_t NextOn = 0;         // ticks since the last event written
    uint8_t Var[16] = {};

    // Converter state that carries from track to track.
    int curVoice = -1;           // -1 until the run's first voice select
    int repLevel = 0;
    int32_t repCount[REPEAT_LEVELS] = {};

    // Index of the last byte loaded; -1 for an empty data area.
    int32_t EndPos() const { return static_cast<int32_t>(Ibuf.size()) - 1; }

    // Bytes the image holds from index pos on; never wraps.
    uint32_t available(uint32_t pos) const {
        const auto size = static_cast<uint32_t>(Ibuf.size());
        return pos < size ? size - pos : 0;
    }
};

}  // namespace karvo
