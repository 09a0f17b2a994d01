// Reading the converter's own chunks: every event has its status byte (no running
// status), and meta events are the only ones of more than two data bytes.
#include "voice_use.h"

#include <algorithm>
#include <array>

#include "midi_track.h"

namespace karvo {
namespace {

constexpr uint32_t DEFAULT_TEMPO = 500'000;   // microseconds a quarter note, before any change
constexpr size_t CHUNK_HEAD = 8;              // "MTrk" and the length

// A variable-length quantity at chunk[at], which moves past it.
uint32_t variableLength(std::span<const uint8_t> chunk, size_t& at) {
    uint32_t value = 0;
    while (at < chunk.size()) {
        const uint8_t b = chunk[at++];
        value = value << 7 | (b & 0x7Fu);
        if ((b & 0x80) == 0) {
            break;
        }
    }
    return value;
}

// Calls each(tick, status, type, data, size) for every event of a chunk; type is a meta
// event's, 0 for the others.
template <class Each>
void forEachEvent(std::span<const uint8_t> chunk, Each each) {
    size_t at = CHUNK_HEAD;
    uint32_t tick = 0;
    while (at < chunk.size()) {
        tick += variableLength(chunk, at);
        if (at >= chunk.size()) {
            return;
        }
        const uint8_t status = chunk[at++];
        uint8_t type = 0;
        size_t size = 0;
        if (status == 0xFF) {
            if (at >= chunk.size()) {
                return;
            }
            type = chunk[at++];
            size = variableLength(chunk, at);
        } else {
            size = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
        }
        if (at + size > chunk.size()) {
            return;
        }
        each(tick, status, type, chunk.data() + at, size);
        at += size;
    }
}

// Seconds from the start at any tick, from every chunk's tempo changes.
class TempoMap {
public:
    void add(uint32_t tick, uint32_t tempo) { m_changes.push_back({tick, tempo, 0.0}); }

    void finish() {
        std::stable_sort(m_changes.begin(), m_changes.end(),
                         [](const Change& a, const Change& b) { return a.tick < b.tick; });
        m_changes.insert(m_changes.begin(), {0, DEFAULT_TEMPO, 0.0});
        for (size_t i = 1; i < m_changes.size(); ++i) {
            const Change& before = m_changes[i - 1];
            m_changes[i].seconds = before.seconds + secondsOf(m_changes[i].tick - before.tick, before.tempo);
        }
    }

    double seconds(uint32_t tick) const {
        // The last change at or before tick.
        const auto after = std::upper_bound(m_changes.begin(), m_changes.end(), tick,
                                            [](uint32_t t, const Change& c) { return t < c.tick; });
        const Change& c = *(after - 1);
        return c.seconds + secondsOf(tick - c.tick, c.tempo);
    }

private:
    struct Change {
        uint32_t tick;
        uint32_t tempo;
        double seconds;
    };
    static double secondsOf(uint32_t ticks, uint32_t tempo) {
        return double(ticks) * tempo / (1e6 * TICKS_PER_QUARTER);
    }
    std::vector<Change> m_changes;
};

}   // namespace

void VoiceUse::addChunk(std::span<const uint8_t> chunk, bool fm) {
    m_chunks.push_back({{chunk.begin(), chunk.end()}, fm});
}

std::map<uint8_t, std::vector<FmKeyUse>> VoiceUse::programs() const {
    TempoMap tempo;
    for (const Chunk& c : m_chunks) {
        forEachEvent(c.bytes, [&](uint32_t tick, uint8_t, uint8_t type, const uint8_t* data, size_t size) {
            if (type == 0x51 && size == 3) {
                tempo.add(tick, uint32_t{data[0]} << 16 | uint32_t{data[1]} << 8 | data[2]);
            }
        });
    }
    tempo.finish();

    // The longest hold of each program's keys; -1 for a key never played.
    std::map<uint8_t, std::array<double, 128>> held;
    const auto keysOf = [&held](uint8_t program) -> std::array<double, 128>& {
        const auto [at, added] = held.try_emplace(program);
        if (added) {
            at->second.fill(-1.0);
        }
        return at->second;
    };
    for (const Chunk& c : m_chunks) {
        if (!c.fm) {
            continue;
        }
        std::array<uint32_t, 128> onAt{};
        std::array<uint8_t, 128> onWith{};
        std::array<bool, 128> on{};
        uint8_t program = 0;
        forEachEvent(c.bytes, [&](uint32_t tick, uint8_t status, uint8_t, const uint8_t* data, size_t) {
            const uint8_t kind = status & 0xF0;
            if (kind == 0xC0) {
                program = data[0] & 0x7F;
                keysOf(program);
                return;
            }
            if (kind != 0x80 && kind != 0x90) {
                return;
            }
            const uint8_t key = data[0] & 0x7F;
            if (kind == 0x90 && data[1] != 0) {
                if (!on[key]) {
                    on[key] = true;
                    onAt[key] = tick;
                    onWith[key] = program;
                }
                return;
            }
            if (on[key]) {
                on[key] = false;
                double& longest = keysOf(onWith[key])[key];
                longest = std::max(longest, tempo.seconds(tick) - tempo.seconds(onAt[key]));
            }
        });
    }
    std::map<uint8_t, std::vector<FmKeyUse>> programs;
    for (const auto& [program, keys] : held) {
        std::vector<FmKeyUse>& uses = programs[program];
        for (size_t k = 0; k < keys.size(); ++k) {
            if (keys[k] >= 0.0) {
                uses.push_back({static_cast<uint8_t>(k), keys[k]});
            }
        }
    }
    return programs;
}

}   // namespace karvo
