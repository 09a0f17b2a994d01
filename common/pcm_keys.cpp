// The key of every sound of a song's PCM notes.
#include "pcm_keys.h"

#include <algorithm>

namespace karvo {

double pcmRate(PcmForm form) {
    // The ADPCM chip divides its 8 MHz (or 4 MHz) clock by 1,024, 768 or 512.
    constexpr double RATES[] = {8'000'000.0 / 2048, 8'000'000.0 / 1536, 8'000'000.0 / 1024, 8'000'000.0 / 768,
                                8'000'000.0 / 512};
    const auto index = static_cast<size_t>(form);
    return index < std::size(RATES) ? RATES[index] : RATES[std::size(RATES) - 1];
}

uint8_t PcmKeys::played(PcmSound sound) {
    if (hasDefaultKey(sound)) {
        m_defaultUsed[defaultKey(sound)] = true;
    } else if (std::find(m_played.begin(), m_played.end(), sound) == m_played.end()) {
        m_played.push_back(sound);
    }
    return defaultKey(sound);
}

void PcmKeys::assign() {
    m_assigned.assign(m_played.size(), NO_KEY);
    int key = 127;
    for (size_t k = 0; k < m_played.size(); ++k) {
        while (key >= 0 && m_defaultUsed[key]) {
            --key;
        }
        if (key < 0) {
            break;
        }
        m_assigned[k] = key--;
    }
}

uint8_t PcmKeys::keyOf(PcmSound sound) const {
    if (!hasDefaultKey(sound)) {
        const auto at = std::find(m_played.begin(), m_played.end(), sound);
        if (at != m_played.end()) {
            const int key = m_assigned[static_cast<size_t>(at - m_played.begin())];
            if (key != NO_KEY) {
                return static_cast<uint8_t>(key);
            }
        }
    }
    return defaultKey(sound);
}

std::vector<PcmKeys::KeySound> PcmKeys::keys() const {
    std::vector<KeySound> keys;
    for (int key = 0; key < 128; ++key) {
        if (m_defaultUsed[key]) {
            keys.push_back({static_cast<uint8_t>(key), {static_cast<uint16_t>(key - 3), DEFAULT_PCM_FORM}});
        }
    }
    for (size_t k = 0; k < m_played.size(); ++k) {
        if (m_assigned[k] != NO_KEY) {
            keys.push_back({static_cast<uint8_t>(m_assigned[k]), m_played[k]});
        }
    }
    std::sort(keys.begin(), keys.end(), [](const KeySound& a, const KeySound& b) { return a.key < b.key; });
    return keys;
}

}   // namespace karvo
