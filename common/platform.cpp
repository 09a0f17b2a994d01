// The part of the platform layer that is the same on every system.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform_shared.h"

namespace karvo::platform {
namespace {

// The names of the temporary files a run ended from outside must remove. A signal
// handler reads this list, and on Windows the console's handler does so on a thread
// of its own, so it is built to be read at any moment: an entry is filled before it
// is marked used or linked in, and entries are never freed, only reused. It grows
// with the largest number of temporary files open at once, and holds names of any
// length.
struct RemovalEntry {
    std::atomic<bool> used{false};
    std::unique_ptr<char[]> name;
    size_t capacity = 0;
    RemovalEntry* next = nullptr;
};
std::atomic<RemovalEntry*> removalList{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<RemovalEntry*>::is_always_lock_free);

}   // namespace

std::string tempName(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const auto now =
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".karvo-%ld-%llx-%u", processId(), now & 0xFFFFFFFFFFULL, counter++);
    return folderPrefix(target) + suffix;
}

void removeOnInterrupt(const std::string& name) {
    static bool handlerSet = false;
    if (!handlerSet) {
        installRemovalHandler();
        handlerSet = true;
    }
    // A free entry whose buffer takes the name, or a new one; a buffer in the list
    // is never replaced, so that a handler never reads freed memory.
    RemovalEntry* entry = removalList.load();
    while (entry != nullptr && (entry->used.load() || entry->capacity <= name.size())) {
        entry = entry->next;
    }
    const bool fresh = entry == nullptr;
    if (fresh) {
        entry = new RemovalEntry;
        entry->name = std::make_unique<char[]>(name.size() + 1);
        entry->capacity = name.size() + 1;
    }
    std::memcpy(entry->name.get(), name.c_str(), name.size() + 1);
    entry->used.store(true);
    if (fresh) {
        entry->next = removalList.load();
        removalList.store(entry);
    }
}

void keepOnInterrupt(const std::string& name) {
    for (RemovalEntry* entry = removalList.load(); entry != nullptr; entry = entry->next) {
        if (entry->used.load() && name == entry->name.get()) {
            entry->used.store(false);
        }
    }
}

bool createNamedTemp(const std::string& target, bool text, TempFile& temp) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = tempName(target);
        std::FILE* stream = nullptr;
        switch (createExclusive(name, target, text, stream)) {
        case NewFile::Exists: continue;
        case NewFile::Failed: return false;
        case NewFile::Made:
            removeOnInterrupt(name);
            temp.name = name;
            temp.stream = stream;
            return true;
        }
    }
    return false;
}

bool renameIntoPlace(TempFile& temp) {
    if (!replaceFile(temp.name, temp.target)) {
        removeNamed(temp);
        return false;
    }
    keepOnInterrupt(temp.name);
    temp.name.clear();
    return true;
}

void removeNamed(TempFile& temp) {
    if (!temp.name.empty()) {
        removeFile(temp.name.c_str());
        keepOnInterrupt(temp.name);
        temp.name.clear();
    }
}

void removeAllOnInterrupt() {
    for (RemovalEntry* entry = removalList.load(); entry != nullptr; entry = entry->next) {
        if (entry->used.load()) {
            removeFile(entry->name.get());
        }
    }
}

// Without the system's converter: ASCII as it is, the half-width katakana of JIS X
// 0201 (A1-DF) at U+FF61-U+FF9F, and every other character, one or two bytes,
// replaced by U+FFFD.
std::string sjisWithoutConverter(const uint8_t* bytes, size_t n) {
    static constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";
    std::string out;
    for (size_t k = 0; k < n;) {
        const uint8_t b = bytes[k];
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++k;
        } else if (b >= 0xA1 && b <= 0xDF) {
            const uint32_t c = 0xFF61 + (b - 0xA1u);   // three UTF-8 bytes
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++k;
        } else {
            // A lead byte takes its trail byte with it, so that the trail is not read
            // as a character of its own.
            const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
            const bool trail =
                k + 1 < n && bytes[k + 1] >= 0x40 && bytes[k + 1] <= 0xFC && bytes[k + 1] != 0x7F;
            out += REPLACEMENT;
            k += lead && trail ? 2 : 1;
        }
    }
    return out;
}

}   // namespace karvo::platform
