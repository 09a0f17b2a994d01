// The run's console: every line it prints, on the stream each belongs to, in the order
// the run prints them.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "mdx_image.h"
#include "track_converter.h"

namespace karvo {

// Standard error's lines are gathered and written in large pieces, as a song prints
// one for each voice select, thousands of them; standard output takes the trace of
// the head and, without -o, the voices. Before anything goes to standard output the
// gathered lines go out, so that the two keep their order when they share a
// terminal or a file.
class Console : public TrackListener {
public:
    Console(std::FILE* out, std::FILE* err) : m_out(out), m_err(err) {}
    ~Console() { flushErrors(); }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // A line or lines for standard error, as they stand.
    void error(const std::string& text);
    // "Voice @<hex>\n"
    void voiceSelected(int voice) override;

    // Text for standard output.
    void print(const std::string& text);
    // One "base <track> <offset>\n" line per track offset the head scan read.
    void traceHead(const MdxHead& head);
    // The voices, when they have no file of their own, in the voice output's own mode.
    void writeVoices(const std::string& voices, bool text);
    // False when anything written to standard output failed to reach it.
    bool outputWritten();

    void flushErrors();

    static constexpr size_t VOICE_LINE_SLOT = 16;   // room for "Voice @7f\n" and its length

private:
    static constexpr size_t ERRORS_HELD = 1 << 16;   // gathered before they are written out

    std::FILE* m_out;
    std::FILE* m_err;
    std::unique_ptr<char[]> m_errors = std::make_unique_for_overwrite<char[]>(ERRORS_HELD);
    size_t m_held = 0;   // bytes of m_errors in use
};

}   // namespace karvo
