// What the caller of a run owns and hands to every run: the standard streams, the
// runaway guards and the soundfont's bounds. Everything else belongs to one run and starts afresh with it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace karvo {

// A track that runs away (repeats nested to billions of passes, jump loops) is cut
// off after this many elements or this much chunk, far above any real song.
constexpr uint32_t MAX_TRACK_ELEMENTS = 1'000'000;
constexpr uint32_t MAX_TRACK_CHUNK = 1u << 20;

// However many voices and keys a song plays, the soundfont renders at most this many
// keys (a zone takes six generators, and the format counts them in 16 bits), and their
// key-on parts hold at most this much sound in all; each key's loop comes on top.
constexpr uint32_t MAX_RENDERED_KEYS = 8000;
constexpr double KEY_ON_BUDGET_SECONDS = 160.0;

struct RunContext {
    // The process's standard streams; tests and fuzzers put memory streams here.
    std::FILE* sin = stdin;
    std::FILE* sout = stdout;
    std::FILE* serr = stderr;

    // The runaway guards. Fuzzers lower them, so that a runaway track costs them
    // milliseconds rather than seconds.
    uint32_t maxTrackElements = MAX_TRACK_ELEMENTS;
    uint32_t maxTrackChunk = MAX_TRACK_CHUNK;
    // The soundfont's bounds; fuzzers lower them too.
    uint32_t maxRenderedKeys = MAX_RENDERED_KEYS;
    double keyOnBudgetSeconds = KEY_ON_BUDGET_SECONDS;
};

}   // namespace karvo
