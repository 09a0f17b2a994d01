// One whole run of a program, in process, on arbitrary input bytes. The input comes
// through standard input from an anonymous memory file, or as a named file beside its
// PCM sample file; the outputs are ordinary files in a folder of the process's own (in
// memory where the system has /dev/shm), and the console goes nowhere. Besides the
// sanitizers, every run checks what a user relies on: the exit status is 0 or 1, a run
// that fails leaves no file, and a run that reaches its end leaves a well-formed MIDI
// file, a voice output of the program's shape and any soundfont whole. The options
// come from the input too.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

inline void writeAll(int fd, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            std::abort();
        }
        done += static_cast<size_t>(n);
    }
}

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::abort();
    }
    writeAll(fd, data, size);
    close(fd);
}

// Whether bytes are one whole RIFF file of form sfbk, its chunks laid end to end.
inline bool wholeSoundFont(const std::vector<uint8_t>& bytes) {
    const auto le32 = [&](size_t at) {
        return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
               uint32_t{bytes[at + 3]} << 24;
    };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "sfbk", 4) != 0 || le32(4) != bytes.size() - 8) {
        return false;
    }
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        at += 8 + size_t{le32(at + 4)} + (le32(at + 4) & 1);
    }
    return at == bytes.size();
}

// Runs program, whose voice side is Side, on data and aborts on anything a user would
// call broken. VoiceCheck(bytes) says whether a finished voice output is whole.
template <class Side, class VoiceCheck>
void convertOnce(const ProgramIdentity& program, const uint8_t* data, size_t size,
                 VoiceCheck voiceOutputIsWhole) {
    static std::FILE* const devNull = std::fopen("/dev/null", "w");

    static const OutputFolder folder;
    static const std::string midiPath = folder.path("out.mid");
    static const std::string voicesPath = folder.path("out.voices");
    static const std::string soundFontPath = folder.path("out.sf2");
    static const std::string songPath = folder.path("song.mdx");
    static const std::string samplesPath = folder.path("kit.pdx");
    static const std::string samplesBesidePath = folder.path("DRUMS.PDX");
    // The input's last byte picks the options, so that one corpus covers them all:
    // bit 0 -pcm, bit 1 -title, bits 2-3 the loop count 1 to 4. Bit 4 adds -sf2 with
    // a sample file cut from the input's end (song, samples, their length in two
    // bytes, the last byte); bit 5 then names the song as a file and leaves the
    // samples as DRUMS.PDX beside it for the head to find, else they come by -pdx. Bit 7
    // adds -gate, -lfo and -pitch.
    const uint8_t pick = size > 0 ? data[size - 1] : 0;
    const bool kit = (pick & 0x10) != 0 && size >= 3;
    const bool beside = kit && (pick & 0x20) != 0;
    size_t songSize = size;
    if (kit) {
        const size_t samplesSize = std::min<size_t>((size_t{data[size - 3]} << 8) | data[size - 2], size - 3);
        songSize = size - 3 - samplesSize;
        writeFile(beside ? samplesBesidePath : samplesPath, data + songSize, samplesSize);
    }
    std::FILE* in = nullptr;
    if (beside) {
        writeFile(songPath, data, songSize);
        in = std::fopen("/dev/null", "rb");
    } else {
        MemFile input;
        writeAll(input.fd(), data, songSize);
        lseek(input.fd(), 0, SEEK_SET);
        in = fdopen(dup(input.fd()), "rb");
    }
    static const char* const LOOPS[] = {"1", "2", "3", "4"};
    std::vector<const char*> argv = {
        "fuzz", "-midi", midiPath.c_str(), "-o", voicesPath.c_str(), "-loop", LOOPS[(pick >> 2) & 3]};
    if ((pick & 1) != 0) {
        argv.push_back("-pcm");
    }
    if ((pick & 2) != 0) {
        argv.push_back("-title");
    }
    if ((pick & 0x80) != 0) {
        argv.insert(argv.end(), {"-gate", "-lfo", "-pitch"});
    }
    if (kit) {
        argv.insert(argv.end(), {"-sf2", soundFontPath.c_str()});
        if (beside) {
            argv.push_back(songPath.c_str());
        } else {
            argv.insert(argv.end(), {"-pdx", samplesPath.c_str()});
        }
    }
    RunContext ctx;
    ctx.sin = in;
    ctx.sout = devNull;
    ctx.serr = devNull;
    // A runaway track is cut after 1,000 elements or 4 KiB rather than a million or
    // 1 MiB, and the soundfont renders one key briefly, and only when bit 6 of the
    // last byte asks for the FM voices: the bounds are the same code, and a run costs
    // under two milliseconds instead of seconds. With KARVO_FUZZ_REAL_GUARDS set, the programs'
    // own bounds hold, for a campaign that also covers what only a long track or a
    // long rendering reaches.
    static const bool realGuards = std::getenv("KARVO_FUZZ_REAL_GUARDS") != nullptr;
    if (!realGuards) {
        ctx.maxTrackElements = 1'000;
        ctx.maxTrackChunk = 1u << 12;
        ctx.maxRenderedKeys = (pick & 0x40) != 0 ? 1 : 0;
        ctx.keyOnBudgetSeconds = 0.02;
    }
    Side side;
    const int status = runConverter(ctx, static_cast<int>(argv.size()), argv.data(), program, side);
    std::fclose(in);
    unlink(songPath.c_str());
    unlink(samplesPath.c_str());
    unlink(samplesBesidePath.c_str());

    if (status != EXIT_DONE && status != EXIT_FAILED) {
        std::fprintf(stderr, "exit status %d\n", status);
        std::abort();
    }
    std::vector<uint8_t> midi;
    std::vector<uint8_t> voices;
    const bool hasMidi = takeFile(midiPath, midi);
    const bool hasVoices = takeFile(voicesPath, voices);
    std::vector<uint8_t> soundFont;
    const bool hasSoundFont = takeFile(soundFontPath, soundFont);
    if (status == EXIT_FAILED && (hasMidi || hasVoices || hasSoundFont)) {
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
        if (kit != hasSoundFont || (kit && !wholeSoundFont(soundFont))) {
            std::fprintf(stderr, "soundfont %s\n", hasSoundFont ? "not whole" : "missing");
            std::abort();
        }
    }
}

}   // namespace karvo::fuzz
