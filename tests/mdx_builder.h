// Turns a readable description of an MDX file into its bytes, computing the offsets.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace karvo::test {

using Bytes = std::vector<uint8_t>;

struct MdxFixture {
    std::string title = "fixture";   // the free text before 0D 0A 1A
    std::string pdx;                 // the sample file name before its 00
    std::vector<Bytes> tracks;       // track data, track 0 first
    Bytes voices;                    // the voice area: 27-byte records, or anything
};

// Data area: voice offset, one offset per track, the tracks in order, then the voices.
inline Bytes buildMdx(const MdxFixture& f) {
    Bytes out(f.title.begin(), f.title.end());
    out.insert(out.end(), {0x0D, 0x0A, 0x1A});
    out.insert(out.end(), f.pdx.begin(), f.pdx.end());
    out.push_back(0x00);

    const size_t table = 2 + 2 * f.tracks.size();
    size_t offset = table;
    Bytes data(table, 0);
    for (size_t i = 0; i < f.tracks.size(); ++i) {
        data[2 + 2 * i] = static_cast<uint8_t>(offset >> 8);
        data[3 + 2 * i] = static_cast<uint8_t>(offset);
        data.insert(data.end(), f.tracks[i].begin(), f.tracks[i].end());
        offset += f.tracks[i].size();
    }
    data[0] = static_cast<uint8_t>(offset >> 8);
    data[1] = static_cast<uint8_t>(offset);
    data.insert(data.end(), f.voices.begin(), f.voices.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// One track per entry, each ended by F1.
inline MdxFixture withTracks(std::vector<Bytes> tracks) {
    MdxFixture f;
    for (Bytes& t : tracks) {
        t.push_back(0xF1);
    }
    f.tracks = std::move(tracks);
    return f;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// A repeat of count passes around body: F6 count 00, body, then a repeat end that
// jumps back over body and itself to just behind the repeat start.
inline Bytes repeat(uint8_t count, const Bytes& body) {
    Bytes out = {0xF6, count, 0x00};
    out.insert(out.end(), body.begin(), body.end());
    const auto back = static_cast<uint16_t>(0x10000 - (body.size() + 3));
    out.insert(out.end(), {0xF5, static_cast<uint8_t>(back >> 8), static_cast<uint8_t>(back)});
    return out;
}

// inner wrapped in `levels` repeats of `count` passes each.
inline Bytes nest(Bytes inner, int levels, uint8_t count = 255) {
    for (int k = 0; k < levels; ++k) {
        inner = repeat(count, inner);
    }
    return inner;
}

// A 27-byte MDX voice record: number, FL/CON, slot mask, then six groups of four
// operator bytes (DT1/MUL, TL, KS/AR, AMS-EN/D1R, DT2/D2R, D1L/RR).
inline Bytes voiceRecord(uint8_t number, uint8_t flCon, uint8_t slotMask, const Bytes& operatorBytes) {
    Bytes r = {number, flCon, slotMask};
    r.insert(r.end(), operatorBytes.begin(), operatorBytes.end());
    r.resize(27, 0);
    return r;
}

}   // namespace karvo::test
