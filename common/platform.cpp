// The system-dependent half of the output files. Each system's section gives the same
// promises: a finished file replaces its target in one step, and a run that stops
// before that, however it stops, leaves the target as it was.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#error "the Windows section of platform.cpp is not written yet"
#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace karvo::platform {
namespace {

FileId idOfStat(const struct stat& st) {
    return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name in the target's folder that no other run picks at the same moment.
std::string tempName(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const auto now = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".karvo-%ld-%llx-%u", static_cast<long>(getpid()),
                  now & 0xFFFFFFFFFFULL, counter++);
    const std::string folder = folderOf(target);
    return (folder == "/" ? std::string() : folder) + "/" + suffix;
}

// Named temporary files are removed when a signal ends the run: at most the two
// outputs of a run are open at a time.
constexpr int TRACKED = 4;
char trackedNames[TRACKED][PATH_MAX];
volatile std::sig_atomic_t trackedUsed[TRACKED];

extern "C" void removeTrackedAndDie(int sig) {
    for (int k = 0; k < TRACKED; ++k) {
        if (trackedUsed[k] != 0) {
            unlink(trackedNames[k]);
        }
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void track(const std::string& name) {
    static bool handlersSet = false;
    if (!handlersSet) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            std::signal(sig, removeTrackedAndDie);
        }
        handlersSet = true;
    }
    for (int k = 0; k < TRACKED; ++k) {
        if (trackedUsed[k] == 0 && name.size() < PATH_MAX) {
            std::memcpy(trackedNames[k], name.c_str(), name.size() + 1);
            trackedUsed[k] = 1;
            return;
        }
    }
}

void untrack(const std::string& name) {
    for (int k = 0; k < TRACKED; ++k) {
        if (trackedUsed[k] != 0 && name == trackedNames[k]) {
            trackedUsed[k] = 0;
        }
    }
}

// A new file takes the mode a plain open would give it; a replaced one keeps its own.
void keepMode(int fd, const std::string& target) {
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        fchmod(fd, st.st_mode & 07777);
    }
}

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

void binaryStdin() {}

FileId idOf(std::FILE* stream) {
    struct stat st {};
    const int fd = stream != nullptr ? fileno(stream) : -1;
    return fd >= 0 && fstat(fd, &st) == 0 ? idOfStat(st) : FileId{};
}

FileId idOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? idOfStat(st) : FileId{};
}

Target outputTarget(const std::string& path, std::string& realPath) {
    realPath = path;
    // Devices and the views of open descriptors (/dev/stdout, /proc/self/fd/N) can
    // be links to ordinary files; writing beside them would replace the link.
    if (path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0) {
        return Target::Direct;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return Target::Replace;   // a free name; whether its folder takes a file shows later
    }
    if (S_ISLNK(st.st_mode)) {
        // Write through the link, as opening the name would: replace what it points to.
        char* resolved = realpath(path.c_str(), nullptr);
        if (resolved != nullptr) {
            realPath = resolved;
            std::free(resolved);
        }
        if (stat(path.c_str(), &st) != 0) {
            return Target::Replace;   // a dangling link: its target is created
        }
    }
    if (S_ISDIR(st.st_mode)) {
        return Target::Refused;
    }
    if (!S_ISREG(st.st_mode)) {
        return Target::Direct;
    }
    return access(realPath.c_str(), W_OK) == 0 ? Target::Replace : Target::Refused;
}

std::FILE* openDirect(const std::string& path, bool text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, text ? "w" : "wb");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

void emptyIfFile(std::FILE* stream) {
    struct stat st {};
    const int fd = fileno(stream);
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) == 0) {
        std::rewind(stream);
    }
}

bool createTemp(const std::string& target, bool text, TempFile& temp) {
    temp = TempFile{};
    temp.target = target;
    const char* mode = text ? "w" : "wb";
    // An unnamed file first: if the run is killed, nothing of it is left behind.
    const int fd = open(folderOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0 && access(descriptorPath(fd).c_str(), F_OK) == 0) {
        const int writer = dup(fd);
        temp.stream = writer >= 0 ? fdopen(writer, mode) : nullptr;
        if (temp.stream == nullptr) {
            if (writer >= 0) {
                close(writer);
            }
            close(fd);
            return false;
        }
        keepMode(fd, target);
        temp.fd = fd;
        return true;
    }
    if (fd >= 0) {
        close(fd);
    }
    // Where the file system has no unnamed files: a hidden name beside the target.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = tempName(target);
        const int named = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (named < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        track(name);
        temp.name = name;
        temp.stream = fdopen(named, mode);
        if (temp.stream == nullptr) {
            close(named);
            discardTemp(temp);
            return false;
        }
        keepMode(named, target);
        return true;
    }
    return false;
}

bool commitTemp(TempFile& temp) {
    if (temp.fd >= 0) {
        // Give the unnamed file a name, then move it over the target in one step.
        for (int attempt = 0; attempt < 100 && temp.name.empty(); ++attempt) {
            const std::string name = tempName(temp.target);
            if (linkat(AT_FDCWD, descriptorPath(temp.fd).c_str(), AT_FDCWD, name.c_str(),
                       AT_SYMLINK_FOLLOW) == 0) {
                temp.name = name;
                track(name);
            } else if (errno != EEXIST) {
                break;
            }
        }
        close(temp.fd);
        temp.fd = -1;
        if (temp.name.empty()) {
            return false;
        }
    }
    if (std::rename(temp.name.c_str(), temp.target.c_str()) != 0) {
        discardTemp(temp);
        return false;
    }
    untrack(temp.name);
    temp.name.clear();
    return true;
}

void discardTemp(TempFile& temp) {
    if (temp.fd >= 0) {
        close(temp.fd);
        temp.fd = -1;
    }
    if (!temp.name.empty()) {
        unlink(temp.name.c_str());
        untrack(temp.name);
        temp.name.clear();
    }
}

}  // namespace karvo::platform

#endif
