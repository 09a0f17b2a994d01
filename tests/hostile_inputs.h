// MDX files made to hurt: loops that never end, repeats that multiply, jumps and
// offsets out of the data, cut files and noise. The hostile-input tests run every one
// through both programs, and hostile_gen writes them out for the stress report.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mdx_builder.h"

namespace karvo::test {

struct HostileInput {
    std::string name;
    Bytes bytes;
};

namespace hostile {

// The same track, ended by F1, on all eight tracks.
inline Bytes everyTrack(const Bytes& track) { return buildMdx(withTracks(std::vector<Bytes>(8, track))); }

// A data area given byte for byte behind a plain head.
inline Bytes rawData(const Bytes& data) {
    Bytes file = {'h', 0x0D, 0x0A, 0x1A, 0x00};
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

}   // namespace hostile

// example: a well-formed file, cut at every length.
inline std::vector<HostileInput> hostileInputs(const Bytes& example) {
    using namespace hostile;
    std::vector<HostileInput> all;
    const Bytes note = {0x90, 0x00};
    const Bytes glide = {0xF2, 0x01, 0x00, 0x80, 0xFF};
    // A track inherits the repeat levels the one before left open; "F5 FF FD" jumps
    // to itself until its level closes, so seven of them let each track run anew.
    Bytes unwind;
    for (int k = 0; k < 7; ++k) {
        unwind.insert(unwind.end(), {0xF5, 0xFF, 0xFD});
    }

    // Seven levels of 255 passes: 255^7 elements unless the runaway guard holds.
    all.push_back({"repeat bomb of notes", everyTrack(nest(note, 7))});
    all.push_back({"repeat bomb of rests", everyTrack(nest({0x7F}, 7))});
    all.push_back({"repeat bomb of glides", everyTrack(concat({unwind, nest(glide, 7)}))});
    all.push_back({"repeat bomb of voice selects", everyTrack(concat({unwind, nest({0xFD, 0x05}, 7)}))});
    all.push_back({"repeat bomb of tempos", everyTrack(concat({unwind, nest({0xFF, 0x01}, 7)}))});

    // Jumps that come back for ever.
    all.push_back(
        {"jump loop through repeat starts", everyTrack({0x80, 0x01, 0xF6, 0xFF, 0x00, 0xF5, 0xFF, 0xFB})});
    all.push_back(
        {"repeat end jumping to itself", everyTrack({0xF6, 0xFF, 0x00, 0x90, 0x00, 0xF5, 0xFF, 0xFD})});
    all.push_back({"escape jumping back",
                   everyTrack({0xF6, 0x02, 0x00, 0x80, 0x00, 0xF4, 0xFF, 0xF9, 0xF5, 0xFF, 0xF6})});

    // Nesting past the seven levels there are.
    for (int levels : {8, 9, 16, 64}) {
        all.push_back({"nesting " + std::to_string(levels) + " levels", everyTrack(nest(note, levels, 2))});
    }
    Bytes starts;
    for (int k = 0; k < 100; ++k) {
        starts.insert(starts.end(), {0xF6, 0x03, 0x00});
    }
    all.push_back({"a hundred repeat starts", everyTrack(starts)});

    // Count-0 repeats play once, also nested.
    all.push_back({"count-0 repeat", everyTrack(nest(note, 1, 0))});
    all.push_back({"count-0 repeats nested", everyTrack(nest(note, 7, 0))});

    // Repeat ends and escapes with no repeat open, jumping anywhere.
    all.push_back({"stray repeat ends",
                   everyTrack({0xF5, 0x80, 0x00, 0x90, 0x00, 0xF5, 0x7F, 0xFF, 0xF5, 0xFF, 0xFD})});
    all.push_back(
        {"stray escapes", everyTrack({0xF4, 0x80, 0x00, 0x90, 0x00, 0xF4, 0xFF, 0xFF, 0xF4, 0x7F, 0xFF})});
    all.push_back(
        {"escape out of the data", everyTrack({0xF6, 0x01, 0x00, 0xF4, 0x7F, 0x00, 0xF5, 0xFF, 0xFA})});
    all.push_back({"repeat end out of the data", everyTrack({0xF6, 0x09, 0x00, 0xF5, 0x80, 0x00})});
    all.push_back(
        {"glide jump out of the data", everyTrack({0xF6, 0x09, 0x00, 0xF2, 0x7F, 0xFF, 0xF5, 0x7F, 0xF0})});

    // Offsets beyond the data, and on its last bytes.
    // clang-format off
    all.push_back({"track offsets beyond the data",
                   rawData({0xFF, 0xFF, 0x00, 0x12, 0xFF, 0xFE, 0x80, 0x00, 0x00, 0x13, 0xFF, 0xFF, 0x00, 0x11,
                            0x00, 0x10, 0x00, 0x11, 0x90})});
    // clang-format on
    all.push_back({"every offset on the last byte", rawData({0x00, 0x04, 0x00, 0x04, 0xF2})});
    all.push_back({"voice offset beyond the data", rawData({0xFF, 0x00, 0x00, 0x04, 0xF1})});
    all.push_back({"voice offset on a cut record", rawData({0x00, 0x04, 0x00, 0x04, 0x05, 0x3A, 0x0F})});
    all.push_back({"sixteen tracks, all offsets zero", rawData(Bytes(34, 0x00))});

    // The example cut at every length.
    for (size_t n = 0; n <= example.size(); ++n) {
        all.push_back({"example cut to " + std::to_string(n) + " bytes",
                       Bytes(example.begin(), example.begin() + static_cast<long>(n))});
    }

    // 256 KiB of noise behind a valid head: 8 and 16 tracks, inside and past 64 KiB.
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 rng(seed);
        Bytes noise(256 * 1024);
        for (uint8_t& b : noise) {
            b = static_cast<uint8_t>(rng());
        }
        MdxFixture f;
        f.title = "noise";
        const size_t tracks = seed == 2 ? 16 : 8;
        const size_t each = (seed == 3 ? 60000 : noise.size()) / tracks;
        for (size_t t = 0; t < tracks; ++t) {
            f.tracks.emplace_back(noise.begin() + static_cast<long>(t * each),
                                  noise.begin() + static_cast<long>((t + 1) * each));
        }
        f.voices.assign(noise.begin(), noise.begin() + 27 * 40);
        all.push_back({"256 KiB of noise, seed " + std::to_string(seed), buildMdx(f)});
    }
    return all;
}

}   // namespace karvo::test
