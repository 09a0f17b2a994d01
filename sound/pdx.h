// The PCM sample file of an MDX song (PDX): its name from the MDX head, its table of
// samples, and the decoding of their 4-bit ADPCM and linear PCM into 16-bit samples.
//
//   table:  blocks of 96 records of 8 bytes, entry = bank * 96 + note
//           +0 offset from the start of the file (be32)
//           +4 length in bytes (be32)             length 0: no sample
//   then the sample data, up to the end of the file
//
// Everything here works on bytes in memory; the caller opens the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karvo {

constexpr size_t PDX_NOTES = 96;   // records in one block of the table
constexpr size_t PDX_RECORD_SIZE = 8;
constexpr size_t PDX_BLOCK_SIZE = PDX_NOTES * PDX_RECORD_SIZE;   // 768 bytes, the least a file holds
// The rate a PCM track plays at unless the song picks another: the ADPCM chip's
// 8 MHz clock divided by 512.
constexpr uint32_t PDX_SAMPLE_RATE = 15625;

// ----- the file's name ------------------------------------------------------------

// The sample file name as the MDX head writes it: the bytes after the first
// 0D 0A 1A up to the next 00. Empty when the head has no such name or is cut short.
std::string pdxNameInHead(std::span<const uint8_t> head);

// The names to look for, beside the MDX file, in this order and without repeats:
// the name's last path component as written; unless it ends in ".pdx" (any case),
// that with ".PDX" and with ".pdx" appended; then all of those in lower case, then
// in upper case (ASCII letters only; other bytes are kept as they are). The name
// comes with the song and is not trusted: everything up to the last '/' or '\' is
// dropped, so no candidate names a folder. Empty when the song has no sample file:
// an empty name, or one that is empty, "." or ".." once its folders are dropped.
std::vector<std::string> pdxCandidates(std::string_view nameInHead);

// ----- the table ------------------------------------------------------------------

// Where one sample's bytes lie in the file; an empty entry has length 0.
struct PdxSample {
    uint32_t offset = 0;
    uint32_t length = 0;
    bool empty() const { return length == 0; }
    bool operator==(const PdxSample&) const = default;
};

struct PdxTable {
    std::vector<PdxSample> samples;   // blocks * 96 entries, entry = bank * 96 + note
    uint32_t leftOut = 0;             // records dropped for pointing into the table or past the end
};

// Reads the table of a whole sample file. The table ends where the first sample's
// data begins (the rule in full is in pdx.cpp). A record whose data would start
// inside the table or reach past the end of the file becomes an empty entry and is
// counted in leftOut, for the caller to report in one line. Returns nothing for a
// file shorter than one block of the table.
std::optional<PdxTable> readPdxTable(std::span<const uint8_t> file);

// The bytes of one entry of the table that readPdxTable made of file; none for an
// empty entry or one that does not lie in file.
std::span<const uint8_t> pdxSampleBytes(std::span<const uint8_t> file, PdxSample sample);

// ----- decoding -------------------------------------------------------------------

// How a sample's bytes encode the sound. The file does not say: the song's driver
// plays 4-bit ADPCM, and an extension of it also plays the two linear formats.
enum class PdxEncoding { ADPCM, PCM16, PCM8 };

// The ADPCM chip's step sizes, STEP[i] = floor(16 * 1.1^i) for i = 0..48.
std::span<const uint16_t> adpcmSteps();

// 4-bit ADPCM, two samples a byte, low nibble first; 12-bit signal times 16.
std::vector<int16_t> decodeAdpcm(std::span<const uint8_t> data);
// 16-bit signed big-endian PCM as it is; an odd last byte, half a sample, is dropped.
std::vector<int16_t> decodePcm16(std::span<const uint8_t> data);
// 8-bit signed PCM times 256.
std::vector<int16_t> decodePcm8(std::span<const uint8_t> data);

std::vector<int16_t> decodePdxSample(std::span<const uint8_t> data, PdxEncoding encoding);

}   // namespace karvo
