// The platform layer on Windows (built with mingw-w64). Names go to the system's ANSI
// functions as the user typed them, the same way the C library's fopen takes the
// input's name, so that both read a name alike.
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
#include <cstring>

#include "platform.h"
#include "platform_shared.h"

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
    return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

BOOL WINAPI removeTempFilesOnCtrl(DWORD) {
    removeAllOnInterrupt();
    return FALSE;   // the next handler, the system's, ends the process
}

// A name no file can take: empty, ending in a separator, or a component longer than
// the system allows. Found before anything is written.
bool impossibleName(const std::string& path) {
    const size_t sep = path.find_last_of("/\\:");
    const std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    return name.empty() || name.size() > 255;
}

}   // namespace

long processId() { return static_cast<long>(GetCurrentProcessId()); }

std::string folderPrefix(const std::string& target) {
    // Everything up to the last separator, or a drive ("C:name" is in C:'s current folder).
    size_t folderEnd = target.find_last_of("/\\");
    if (folderEnd == std::string::npos && target.size() >= 2 && target[1] == ':') {
        folderEnd = 1;
    }
    return folderEnd == std::string::npos ? std::string() : target.substr(0, folderEnd + 1);
}

// Shared for deletion: the file goes when the ending process closes it.
void removeFile(const char* name) { DeleteFileA(name); }

// The handler runs on a thread of its own while the run goes on.
void installRemovalHandler() { SetConsoleCtrlHandler(removeTempFilesOnCtrl, TRUE); }

void prepareProcess() {
    // A process started without a standard stream has none to write to; the null
    // device takes its place, so that no output file does.
    const struct {
        std::FILE* stream;
        const char* mode;
    } standard[] = {{stdin, "rb"}, {stdout, "w"}, {stderr, "w"}};
    for (const auto& s : standard) {
        const int fd = _fileno(s.stream);
        const intptr_t handle = fd >= 0 ? _get_osfhandle(fd) : -1;
        if (handle == -1 || handle == -2) {   // -2: no handle behind the descriptor
            std::freopen("NUL", s.mode, s.stream);
        }
    }
    if (const int fd = _fileno(stdin); fd >= 0) {
        _setmode(fd, _O_BINARY);
    }
}

std::string sjisToUtf8(const uint8_t* bytes, size_t n) {
    static constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";   // U+FFFD
    std::string out;
    for (size_t k = 0; k < n;) {
        // A lead byte takes the next one with it; a character that the code page
        // does not know, or a lead byte at the end, is replaced by its first byte.
        const uint8_t b = bytes[k];
        const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        const int length = lead && k + 1 < n ? 2 : 1;
        wchar_t wide[2];
        const int units = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS,
                                              reinterpret_cast<const char*>(bytes + k), length, wide, 2);
        if (units <= 0 || (lead && length == 1)) {
            out += REPLACEMENT;
            k += 1;
            continue;
        }
        char utf8[8];
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide, units, utf8, sizeof utf8, nullptr, nullptr);
        out.append(utf8, size > 0 ? static_cast<size_t>(size) : 0);
        k += static_cast<size_t>(length);
    }
    return out;
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    bool whole = GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &size) != 0 &&
                 static_cast<unsigned long long>(size.QuadPart) < (1ULL << 32);
    if (whole) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        DWORD n = 0;
        while (done < bytes.size() &&
               ReadFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) !=
                   0 &&
               n > 0) {
            done += n;
        }
        whole = done == bytes.size();
    }
    CloseHandle(handle);
    if (!whole) {
        bytes.clear();
    }
    return whole;
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
    if (impossibleName(path)) {
        return Target::Refused;
    }
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
        DWORD n = GetFinalPathNameByHandleA(handle, resolved.data(), static_cast<DWORD>(resolved.size()), 0);
        if (n >= resolved.size()) {
            resolved.assign(n, '\0');
            n = GetFinalPathNameByHandleA(handle, resolved.data(), static_cast<DWORD>(resolved.size()), 0);
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
    const HANDLE handle =
        CreateFileA((full.empty() ? path : full).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : streamOf(handle, text);
}

bool createTemp(const std::string& target, bool text, TempFile& temp) {
    temp = TempFile{};
    temp.target = target;
    // Windows has no unnamed files: a new hidden file beside the target.
    return createNamedTemp(target, text, temp);
}

// Shared for deletion, so that the console handler can remove it while it is open.
NewFile createExclusive(const std::string& name, const std::string&, bool text, std::FILE*& stream) {
    const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewFile::Exists
                                                                           : NewFile::Failed;
    }
    stream = streamOf(handle, text);
    if (stream == nullptr) {
        DeleteFileA(name.c_str());
        return NewFile::Failed;
    }
    return NewFile::Made;
}

bool commitTemp(TempFile& temp) {
    // The file was hidden only while it was written. A new file takes the attributes
    // a plain open would give it; a replaced one keeps its own.
    constexpr DWORD KEPT = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD earlier = GetFileAttributesA(temp.target.c_str());
    const DWORD attributes = earlier == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : earlier & KEPT;
    SetFileAttributesA(temp.name.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
    return renameIntoPlace(temp);
}

bool replaceFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void discardTemp(TempFile& temp) { removeNamed(temp); }

}   // namespace karvo::platform
