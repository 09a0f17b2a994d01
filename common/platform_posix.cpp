// The platform layer on Linux and other POSIX systems.
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>

#include "platform.h"
#include "platform_shared.h"

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

std::string lastName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name that no file can take: empty, ending in a slash, or longer than its folder
// allows. Found before anything is written rather than when the file is put in place.
bool impossibleName(const std::string& path) {
    const std::string name = lastName(path);
    if (name.empty()) {
        return true;
    }
    long limit = pathconf(folderOf(path).c_str(), _PC_NAME_MAX);
    if (limit < 0) {
        limit = NAME_MAX;
    }
    return name.size() > static_cast<size_t>(limit);
}

extern "C" void removeTempFilesAndDie(int sig) {
    removeAllOnInterrupt();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// A new file takes the mode a plain open would give it; a replaced one keeps its own.
void keepMode(int fd, const std::string& target) {
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        fchmod(fd, st.st_mode & 07777);
    }
}

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}   // namespace

long processId() { return static_cast<long>(getpid()); }

std::string folderPrefix(const std::string& target) {
    const std::string folder = folderOf(target);
    return folder == "/" ? folder : folder + "/";
}

void removeFile(const char* name) { unlink(name); }

void installRemovalHandler() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        std::signal(sig, removeTempFilesAndDie);
    }
}

void prepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor: this one.
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    std::signal(SIGXFSZ, SIG_IGN);
}

void streamMode(std::FILE*, bool) {}

std::string sjisToUtf8(const uint8_t* bytes, size_t n) {
    static constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";   // U+FFFD
    const iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return sjisWithoutConverter(bytes, n);
    }
    std::string out;
    std::string in(reinterpret_cast<const char*>(bytes), n);
    char* from = in.data();
    size_t left = n;
    while (left > 0) {
        char chunk[256];
        char* to = chunk;
        size_t room = sizeof chunk;
        const size_t done = iconv(cd, &from, &left, &to, &room);
        const int error = errno;
        out.append(chunk, static_cast<size_t>(to - chunk));
        if (done == static_cast<size_t>(-1) && error != E2BIG) {
            // An invalid or cut-off sequence: its first byte is replaced.
            out += REPLACEMENT;
            ++from;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    bytes.clear();
    // Not blocking: a FIFO under the name is no file to read.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (whole) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        ssize_t n = 0;
        while (done < bytes.size() && (n = read(fd, bytes.data() + done, bytes.size() - done)) > 0) {
            done += static_cast<size_t>(n);
        }
        whole = done == bytes.size();
    }
    close(fd);
    if (!whole) {
        bytes.clear();
    }
    return whole;
}

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
        return hasA && hasB && S_ISREG(stA.st_mode) && S_ISREG(stB.st_mode) && idOfStat(stA) == idOfStat(stB);
    }
    // Neither is there yet (a dangling link is replaced by the file): one name in one
    // folder, however the folder is spelled.
    const std::string nameA = lastName(a);
    return !nameA.empty() && nameA == lastName(b) && stat(folderOf(a).c_str(), &stA) == 0 &&
           stat(folderOf(b).c_str(), &stB) == 0 && idOfStat(stA) == idOfStat(stB);
}

Target outputTarget(const std::string& path, std::string& realPath) {
    realPath = path;
    if (impossibleName(path)) {
        return Target::Refused;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        // A free name, or a dangling link, which the file takes the place of. Whether
        // its folder takes a file shows when the file is made.
        return Target::Replace;
    }
    if (S_ISDIR(st.st_mode)) {
        return Target::Refused;
    }
    if (!S_ISREG(st.st_mode)) {
        return Target::Direct;
    }
    // A regular file by any name (a link, /dev/stdout, /proc/self/fd/N): replaced
    // where it is, and a link stays a link.
    if (char* resolved = realpath(path.c_str(), nullptr); resolved != nullptr) {
        realPath = resolved;
        std::free(resolved);
    }
    return access(realPath.c_str(), W_OK) == 0 ? Target::Replace : Target::Refused;
}

std::FILE* openDirect(const std::string& path, bool text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, text ? "w" : "wb");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
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
    return createNamedTemp(target, text, temp);
}

NewFile createExclusive(const std::string& name, const std::string& target, bool text, std::FILE*& stream) {
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno == EEXIST ? NewFile::Exists : NewFile::Failed;
    }
    stream = fdopen(fd, text ? "w" : "wb");
    if (stream == nullptr) {
        close(fd);
        unlink(name.c_str());
        return NewFile::Failed;
    }
    keepMode(fd, target);
    return NewFile::Made;
}

bool commitTemp(TempFile& temp) {
    if (temp.fd >= 0) {
        // Give the unnamed file a name, then move it over the target in one step.
        for (int attempt = 0; attempt < 100 && temp.name.empty(); ++attempt) {
            const std::string name = tempName(temp.target);
            if (linkat(AT_FDCWD, descriptorPath(temp.fd).c_str(), AT_FDCWD, name.c_str(),
                       AT_SYMLINK_FOLLOW) == 0) {
                temp.name = name;
                removeOnInterrupt(name);
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
    return renameIntoPlace(temp);
}

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void discardTemp(TempFile& temp) {
    if (temp.fd >= 0) {
        close(temp.fd);
        temp.fd = -1;
    }
    removeNamed(temp);
}

}   // namespace karvo::platform
