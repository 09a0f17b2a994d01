// The part of the platform layer that is the same on every system.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "platform_shared.h"

namespace karvo::platform {
namespace {

constexpr int TRACKED = 4;
constexpr size_t TRACKED_NAME_SIZE = 4096;
char trackedNames[TRACKED][TRACKED_NAME_SIZE];
// Lock-free, so that a signal handler or the console's thread may read them.
std::atomic<bool> trackedUsed[TRACKED];
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

std::string tempName(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const auto now = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".karvo-%ld-%llx-%u", processId(), now & 0xFFFFFFFFFFULL,
                  counter++);
    return folderPrefix(target) + suffix;
}

void track(const std::string& name) {
    static bool handlerSet = false;
    if (!handlerSet) {
        installRemovalHandler();
        handlerSet = true;
    }
    for (int k = 0; k < TRACKED; ++k) {
        if (!trackedUsed[k].load() && name.size() < TRACKED_NAME_SIZE) {
            std::memcpy(trackedNames[k], name.c_str(), name.size() + 1);
            trackedUsed[k].store(true);
            return;
        }
    }
}

void untrack(const std::string& name) {
    for (int k = 0; k < TRACKED; ++k) {
        if (trackedUsed[k].load() && name == trackedNames[k]) {
            trackedUsed[k].store(false);
        }
    }
}

bool createNamedTemp(const std::string& target, bool text, TempFile& temp) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = tempName(target);
        std::FILE* stream = nullptr;
        switch (createExclusive(name, target, text, stream)) {
        case NewFile::Exists:
            continue;
        case NewFile::Failed:
            return false;
        case NewFile::Made:
            track(name);
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
    untrack(temp.name);
    temp.name.clear();
    return true;
}

void removeNamed(TempFile& temp) {
    if (!temp.name.empty()) {
        removeFile(temp.name.c_str());
        untrack(temp.name);
        temp.name.clear();
    }
}

void removeTracked() {
    for (int k = 0; k < TRACKED; ++k) {
        if (trackedUsed[k].load()) {
            removeFile(trackedNames[k]);
        }
    }
}

}  // namespace karvo::platform
