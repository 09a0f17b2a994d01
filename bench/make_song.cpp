// Writes one of the benchmarks' generated songs to a file, so that whole processes
// can be timed on it (bench/whole_process.sh) and anyone can convert it by hand.
//
//   make_song real|long|lfo_bomb FILE
#include <cstdio>
#include <cstring>
#include <exception>

#include "song_gen.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "real") != 0 && std::strcmp(argv[1], "long") != 0 &&
                      std::strcmp(argv[1], "lfo_bomb") != 0)) {
        std::fputs("usage: make_song real|long|lfo_bomb FILE\n", stderr);
        return 2;
    }
    try {
        const karvo::song::Bytes song = std::strcmp(argv[1], "real") == 0   ? karvo::song::realSong()
                                        : std::strcmp(argv[1], "long") == 0 ? karvo::song::longSong()
                                                                            : karvo::song::lfoBomb();
        std::FILE* out = std::fopen(argv[2], "wb");
        if (out == nullptr) {
            std::perror(argv[2]);
            return 1;
        }
        const bool written = std::fwrite(song.data(), 1, song.size(), out) == song.size();
        if (std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "make_song: cannot write %s\n", argv[2]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_song: %s\n", e.what());
        return 1;
    }
    return 0;
}
