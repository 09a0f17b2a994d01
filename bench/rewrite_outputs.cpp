// The floor of a conversion's output work: reads each file named and writes its bytes
// again the way a careful program puts a file in place, to a new file beside it that
// is then renamed over it. A whole conversion is timed against this.
//
//   rewrite_outputs FILE...
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

bool readAll(const char* path, std::vector<char>& bytes) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bytes.clear();
    char chunk[1 << 16];
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    close(fd);
    return n == 0;
}

bool writeBeside(const std::string& path, const std::vector<char>& bytes) {
    const size_t slash = path.rfind('/');
    const std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                             ".rewrite-" + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    const bool written = close(fd) == 0 && done == bytes.size();
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}   // namespace

int main(int argc, char** argv) {
    std::vector<char> bytes;
    for (int k = 1; k < argc; ++k) {
        if (!readAll(argv[k], bytes) || !writeBeside(argv[k], bytes)) {
            std::fprintf(stderr, "rewrite_outputs: %s: cannot rewrite\n", argv[k]);
            return 1;
        }
    }
    return 0;
}
