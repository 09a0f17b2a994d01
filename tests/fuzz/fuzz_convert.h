// One whole run of a program, in process, on arbitrary input bytes. The input comes
// through standard input from an anonymous memory file, the MIDI file and the voice
// output are ordinary files in a folder of the process's own (in memory where the
// system has /dev/shm), and the console goes nowhere. Besides the sanitizers, every
// run checks what a user relies on: the exit status is 0 or 1, a run that fails
// leaves no file, and a run that reaches its end leaves a well-formed MIDI file and
// a voice output of the program's shape. The options come from the input too.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"
#include "midi_shape.h"

namespace karvo::fuzz {

// A file in memory, for standard input.
class MemFile {
public:
    MemFile() : m_fd(memfd_create("karvo-fuzz", 0)) {
        if (m_fd < 0) {
            std::abort();
        }
    }
    ~MemFile() { close(m_fd); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    int fd() const { return m_fd; }

private:
    int m_fd;
};

// The folder the outputs of every run go to, removed when the process ends.
class OutputFolder {
public:
    OutputFolder() {
        struct stat st {};
        std::string pattern = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
        pattern += "/karvo-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        m_path = pattern;
    }
    ~OutputFolder() { rmdir(m_path.c_str()); }
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    std::string path(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The bytes of the file at path, which is then removed; false when there is none.
inline bool takeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    bytes.clear();
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(f);
    unlink(path.c_str());
    return true;
}

// Runs program, whose voice side is Side, on data and aborts on anything a user would
// call broken. VoiceCheck(bytes) says whether a finished voice output is whole.
template <class Side, class VoiceCheck>
void convertOnce(const ProgramIdentity& program, const uint8_t* data, size_t size,
                 VoiceCheck voiceOutputIsWhole) {
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

    static const OutputFolder folder;
    static const std::string midiPath = folder.path("out.mid");
    static const std::string voicesPath = folder.path("out.voices");
    // The input's last byte picks the options, so that one corpus covers them all:
    // bit 0 -pcm, bit 1 -title, bits 2-3 the loop count 1 to 4.
    const uint8_t pick = size > 0 ? data[size - 1] : 0;
    static const char* const LOOPS[] = {"1", "2", "3", "4"};
    std::vector<const char*> argv = {
        "fuzz", "-midi", midiPath.c_str(), "-o", voicesPath.c_str(), "-loop", LOOPS[(pick >> 2) & 3]};
    if ((pick & 1) != 0) {
        argv.push_back("-pcm");
    }
    if ((pick & 2) != 0) {
        argv.push_back("-title");
    }
    RunContext ctx;
    ctx.sin = in;
    ctx.sout = devNull;
    ctx.serr = devNull;
    // A runaway track is cut after 20,000 elements rather than a million: the guard
    // is the same code, and a runaway costs milliseconds instead of seconds. With
    // KARVO_FUZZ_REAL_GUARDS set, the programs' own guards hold, for a campaign that
    // also covers what only a long track reaches.
    static const bool realGuards = std::getenv("KARVO_FUZZ_REAL_GUARDS") != nullptr;
    if (!realGuards) {
        ctx.maxTrackElements = 20'000;
        ctx.maxTrackChunk = 1u << 16;
    }
    Side side;
    const int status = runConverter(ctx, static_cast<int>(argv.size()), argv.data(), program, side);
    std::fclose(in);

    if (status != EXIT_DONE && status != EXIT_FAILED) {
        std::fprintf(stderr, "exit status %d\n", status);
        std::abort();
    }
    std::vector<uint8_t> midi;
    std::vector<uint8_t> voices;
    const bool hasMidi = takeFile(midiPath, midi);
    const bool hasVoices = takeFile(voicesPath, voices);
    if (status == EXIT_FAILED && (hasMidi || hasVoices)) {
        std::fprintf(stderr, "a failed run left a file\n");
        std::abort();
    }
    if (status == EXIT_DONE) {
        if (!hasMidi || !hasVoices) {
            std::fprintf(stderr, "a finished run left no %s\n", hasMidi ? "voice output" : "MIDI file");
            std::abort();
        }
        if (const char* fault = test::midiShapeFault(midi)) {
            std::fprintf(stderr, "MIDI file not well-formed: %s\n", fault);
            std::abort();
        }
        if (!voiceOutputIsWhole(voices)) {
            std::fprintf(stderr, "voice output not whole\n");
            std::abort();
        }
    }
}

}   // namespace karvo::fuzz
