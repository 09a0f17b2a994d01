// The system-dependent half of the output files. Each system's section gives the same
// promises: a finished file replaces its target in one step, and a run that stops
// before that, however it stops, leaves the target as it was.
#include "platform.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>

// Names go to the system's ANSI functions as the user typed them, the same way the C
// library's fopen takes the input's name, so that both read a name alike.
namespace karvo::platform {
namespace {

FileId idOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) {
        return {};   // pipes, consoles and devices are no file that could be named twice
    }
    return {true, info.dwVolumeSerialNumber,
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

HANDLE handleOf(std::FILE* stream) {
    const int fd = stream != nullptr ? _fileno(stream) : -1;
    return fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
}

// Query-only: opens files others hold open, and folders too.
HANDLE openForQuery(const std::string& path) {
    return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A stream over a handle the C library takes over; in text mode "\n" is written as
// CR LF. Null, with the handle closed, when that fails.
std::FILE* streamOf(HANDLE handle, bool text) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), text ? _O_TEXT : _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, text ? "wt" : "wb");
    if (stream == nullptr) {
        _close(fd);
    }
    return stream;
}

// The system's own reading of a name, as opening it would see it.
std::string fullPath(const std::string& path) {
    std::string full(MAX_PATH, '\0');
    DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n >= full.size()) {
        full.assign(n, '\0');
        n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    full.resize(n < full.size() ? n : 0);
    return full;
}

// A name in the target's folder that no other run picks at the same moment.
std::string tempName(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const auto now = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".karvo-%lu-%llx-%u",
                  static_cast<unsigned long>(GetCurrentProcessId()), now & 0xFFFFFFFFFFULL,
                  counter++);
    // Everything up to the last separator, or a drive ("C:name" is in C:'s current folder).
    size_t folderEnd = target.find_last_of("/\\");
    if (folderEnd == std::string::npos && target.size() >= 2 && target[1] == ':') {
        folderEnd = 1;
    }
    return (folderEnd == std::string::npos ? std::string() : target.substr(0, folderEnd + 1)) +
           suffix;
}

// Temporary files are removed when the console ends the run (Ctrl+C, Ctrl+Break, its
// window closed, logoff): at most the two outputs of a run are open at a time. The
// handler runs on a thread of its own while the run goes on.
constexpr int TRACKED = 4;
char trackedNames[TRACKED][MAX_PATH];
std::atomic<bool> trackedUsed[TRACKED];

BOOL WINAPI removeTrackedOnCtrl(DWORD) {
    for (int k = 0; k < TRACKED; ++k) {
        if (trackedUsed[k].load()) {
            // Shared for deletion: the file goes when the ending process closes it.
            DeleteFileA(trackedNames[k]);
        }
    }
    return FALSE;   // the next handler, the system's, ends the process
}

void track(const std::string& name) {
    static bool handlerSet = false;
    if (!handlerSet) {
        SetConsoleCtrlHandler(removeTrackedOnCtrl, TRUE);
        handlerSet = true;
    }
    for (int k = 0; k < TRACKED; ++k) {
        if (!trackedUsed[k].load() && name.size() < MAX_PATH) {
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

}  // namespace

void binaryStdin() {
    const int fd = _fileno(stdin);
    if (fd >= 0) {   // a process started without standard input has none to switch
        _setmode(fd, _O_BINARY);
    }
}

void streamMode(std::FILE* stream, bool text) {
    std::fflush(stream);   // what is buffered goes out in the mode it was written for
    const int fd = _fileno(stream);
    if (fd >= 0) {
        _setmode(fd, text ? _O_TEXT : _O_BINARY);
    }
}

FileId idOf(std::FILE* stream) { return idOfHandle(handleOf(stream)); }

FileId idOf(const std::string& path) {
    const HANDLE handle = openForQuery(path);
    const FileId id = idOfHandle(handle);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    return id;
}

bool sameFile(const std::string& a, const std::string& b) {
    const std::string fullA = fullPath(a);
    const std::string fullB = fullPath(b);
    if (fullA.rfind("\\\\.\\", 0) == 0 || fullB.rfind("\\\\.\\", 0) == 0) {
        return false;   // devices
    }
    const FileId idA = idOf(a);
    const FileId idB = idOf(b);
    if (idA.known || idB.known) {
        return idA == idB;
    }
    // Neither is there yet: names are compared as the system reads them, case aside.
    return !fullA.empty() && _stricmp(fullA.c_str(), fullB.c_str()) == 0;
}

Target outputTarget(const std::string& path, std::string& realPath) {
    realPath = path;
    // Device names (NUL, CON, COM1 and the like, in any folder and with any extension
    // where the system takes them as devices) and the device namespace itself read as
    // \\.\NAME. They are written as they are.
    if (fullPath(path).rfind("\\\\.\\", 0) == 0) {
        return Target::Direct;
    }
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Target::Replace;   // a free name; whether its folder takes a file shows later
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A symbolic link: write through it, as opening the name would, and replace
        // what it points to rather than the link.
        const HANDLE handle = openForQuery(path);
        if (handle == INVALID_HANDLE_VALUE) {
            return Target::Replace;   // a dangling link
        }
        std::string resolved(MAX_PATH, '\0');
        DWORD n = GetFinalPathNameByHandleA(handle, resolved.data(),
                                            static_cast<DWORD>(resolved.size()), 0);
        if (n >= resolved.size()) {
            resolved.assign(n, '\0');
            n = GetFinalPathNameByHandleA(handle, resolved.data(),
                                          static_cast<DWORD>(resolved.size()), 0);
        }
        CloseHandle(handle);
        if (n > 0 && n < resolved.size()) {
            resolved.resize(n);
            realPath = resolved;
            attributes = GetFileAttributesA(realPath.c_str());
        }
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Target::Refused;
    }
    // A read-only file cannot be replaced either; refused before anything is written.
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? Target::Refused : Target::Replace;
}

std::FILE* openDirect(const std::string& path, bool text) {
    // By the name outputTarget read: a device name after a folder that does not exist
    // ("nodir\NUL") is still the device.
    const std::string full = fullPath(path);
    const HANDLE handle = CreateFileA((full.empty() ? path : full).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : streamOf(handle, text);
}

void emptyIfFile(std::FILE* stream) {
    const HANDLE handle = handleOf(stream);
    if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK) {
        std::rewind(stream);
        SetEndOfFile(handle);
    }
}

bool createTemp(const std::string& target, bool text, TempFile& temp) {
    temp = TempFile{};
    temp.target = target;
    // Windows has no unnamed files: a new hidden file beside the target, shared for
    // deletion so that the console handler can remove it while it is open.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = tempName(target);
        const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
                continue;
            }
            return false;
        }
        track(name);
        temp.name = name;
        temp.stream = streamOf(handle, text);
        if (temp.stream == nullptr) {
            discardTemp(temp);
            return false;
        }
        return true;
    }
    return false;
}

bool commitTemp(TempFile& temp) {
    // The file was hidden only while it was written. A new file takes the attributes
    // a plain open would give it; a replaced one keeps its own.
    constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD earlier = GetFileAttributesA(temp.target.c_str());
    const DWORD attributes =
        earlier == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : earlier & KEPT;
    SetFileAttributesA(temp.name.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
    // Replaces an existing target in one step.
    if (MoveFileExA(temp.name.c_str(), temp.target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        discardTemp(temp);
        return false;
    }
    untrack(temp.name);
    temp.name.clear();
    return true;
}

void discardTemp(TempFile& temp) {
    if (!temp.name.empty()) {
        DeleteFileA(temp.name.c_str());
        untrack(temp.name);
        temp.name.clear();
    }
}

}  // namespace karvo::platform

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

void streamMode(std::FILE*, bool) {}

FileId idOf(std::FILE* stream) {
    struct stat st {};
    const int fd = stream != nullptr ? fileno(stream) : -1;
    return fd >= 0 && fstat(fd, &st) == 0 ? idOfStat(st) : FileId{};
}

FileId idOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? idOfStat(st) : FileId{};
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat stA {};
    struct stat stB {};
    const bool hasA = stat(a.c_str(), &stA) == 0;
    const bool hasB = stat(b.c_str(), &stB) == 0;
    if (hasA || hasB) {
        return hasA && hasB && S_ISREG(stA.st_mode) && S_ISREG(stB.st_mode) &&
               idOfStat(stA) == idOfStat(stB);
    }
    // Neither is there yet (a dangling link is replaced by the file): one name in one
    // folder, however the folder is spelled.
    const size_t slashA = a.rfind('/');
    const size_t slashB = b.rfind('/');
    const std::string nameA = slashA == std::string::npos ? a : a.substr(slashA + 1);
    const std::string nameB = slashB == std::string::npos ? b : b.substr(slashB + 1);
    return !nameA.empty() && nameA == nameB && stat(folderOf(a).c_str(), &stA) == 0 &&
           stat(folderOf(b).c_str(), &stB) == 0 && idOfStat(stA) == idOfStat(stB);
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
            return Target::Replace;   // a dangling link: the file takes the link's place
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
