// Everything that differs between the systems the programs run on: the process's
// standard streams, how a file is told apart from another, and how a finished output
// file takes the place of an earlier one. Only the driver and its output files use it.
// platform_posix.cpp and platform_win32.cpp implement it, platform.cpp holds what
// they share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace karvo::platform {

// Start-up of the process: a standard stream it was started without is opened on the
// null device, so that no output file takes its descriptor and no console line lands
// in a file; a file-size limit shows as a write error rather than a signal; standard
// input delivers the file's bytes unchanged.
void prepareProcess();

// Standard output is a text stream on some systems ("\n" written as CR LF). Before the
// voices fall back to it, it takes the voice output's own mode, so that a bank's bytes
// go out unchanged and a voice text ends its lines as in a file.
void streamMode(std::FILE* stream, bool text);

// Text in Shift-JIS (code page 932) as UTF-8, with the system's own converter. A byte
// that starts no valid character becomes U+FFFD, and the text goes on behind it.
std::string sjisToUtf8(const uint8_t* bytes, size_t n);

// The folder of path as a prefix of a name in it: "music/", "/", or "" for the
// current folder.
std::string folderPrefix(const std::string& path);

// The bytes of the regular file at path; false, with bytes cleared, when there is no
// such file or it cannot be read whole.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

// Which file a stream or a path is, to tell whether two names are one file.
struct FileId {
    bool known = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};
FileId idOf(std::FILE* stream);
FileId idOf(const std::string& path);   // follows links; unknown when nothing is there

// Whether two output paths name one regular file: the same name, another spelling of
// it, or a link to it; also when it does not exist yet. Devices and pipes never are.
bool sameFile(const std::string& a, const std::string& b);

// How an output goes to a path, by what the path is, however it is spelled.
enum class Target {
    Replace,   // a regular file or a free name: written beside it, then renamed into place
    Direct,    // a device, a pipe or a socket: written as it is
    Refused,   // a folder, a file that may not be written, a name no file can have
};
// path is what the user gave; realPath receives the path to replace, with links resolved.
Target outputTarget(const std::string& path, std::string& realPath);

// Opens a direct target for writing. Null when it cannot be opened.
std::FILE* openDirect(const std::string& path, bool text);

// A file being written under a temporary name in its target's folder.
struct TempFile {
    std::FILE* stream = nullptr;
    std::string target;   // the path it will replace
    std::string name;     // its temporary name; empty while it has none yet
    int fd = -1;          // descriptor of an unnamed file, linked in when committed
};

// Opens stream for writing, in text or binary mode. False when no file can be made there.
bool createTemp(const std::string& target, bool text, TempFile& temp);
// Puts the written file (stream already closed) in place of its target; false if it
// could not, and the temporary file is then gone.
bool commitTemp(TempFile& temp);
// Removes the temporary file; its stream must already be closed.
void discardTemp(TempFile& temp);

}   // namespace karvo::platform
