// What the caller of a run owns and hands to every run: the standard streams and the
// runaway guards. Everything else belongs to one run and starts afresh with it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace karvo {

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
};

}   // namespace karvo
