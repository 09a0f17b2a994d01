// One whole run of a program, in process, on arbitrary input bytes. The input comes
// through standard input, the MIDI file and the voice output go to anonymous memory
// files, and the console goes nowhere. Besides the sanitizers, every run checks what
// a user relies on: the exit status is 0 or 1, and a run that reaches its end leaves
// a well-formed MIDI file and a voice output of the program's shape.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"
#include "midi_shape.h"

namespace karvo::fuzz {

// A file in memory, reachable by a path of its own.
class MemFile {
public:
    MemFile() : m_fd(memfd_create("karvo-fuzz", 0)) {
        if (m_fd < 0) {
            std::abort();
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~MemFile() { close(m_fd); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    int fd() const { return m_fd; }
    const char* path() const { return m_path.c_str(); }

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> all;
        uint8_t chunk[65536];
        for (off_t at = 0;;) {
            const ssize_t n = pread(m_fd, chunk, sizeof chunk, at);
            if (n <= 0) {
                return all;
            }
            all.insert(all.end(), chunk, chunk + n);
            at += n;
        }
    }

private:
    int m_fd;
    std::string m_path;
};

// Runs the program whose voice side is Side on data and aborts on anything a user
// would call broken. VoiceCheck(bytes) says whether a finished voice output is whole.
template <class Side, class VoiceCheck>
void convertOnce(const uint8_t* data, size_t size, VoiceCheck voiceOutputIsWhole) {
    static std::FILE* const devNull = std::fopen("/dev/null", "w");

    MemFile input;
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(input.fd(), data + done, size - done);
        if (n <= 0) {
            std::abort();
        }
        done += static_cast<size_t>(n);
    }
    lseek(input.fd(), 0, SEEK_SET);
    std::FILE* in = fdopen(dup(input.fd()), "rb");

    MemFile midi;
    MemFile voices;
    const char* argv[] = {"fuzz", "-midi", midi.path(), "-o", voices.path()};
    RunContext ctx;
    ctx.sin = in;
    ctx.sout = devNull;
    ctx.serr = devNull;
    // A runaway track is cut after 20,000 elements rather than a million: the guard
    // is the same code, and a runaway costs milliseconds instead of seconds.
    ctx.maxTrackElements = 20'000;
    ctx.maxTrackChunk = 1u << 16;
    Side side;
    const int status = runConverter(ctx, 5, argv, side);
    std::fclose(in);

    if (status != EXIT_DONE && status != EXIT_FAILED) {
        std::fprintf(stderr, "exit status %d\n", status);
        std::abort();
    }
    if (status == EXIT_DONE) {
        if (const char* fault = test::midiShapeFault(midi.bytes())) {
            std::fprintf(stderr, "MIDI file not well-formed: %s\n", fault);
            std::abort();
        }
        if (!voiceOutputIsWhole(voices.bytes())) {
            std::fprintf(stderr, "voice output not whole\n");
            std::abort();
        }
    }
}

}  // namespace karvo::fuzz
