// Everything that differs between the systems the programs run on: how a file is
// told apart from another, which names are devices, and how a finished output file
// takes the place of an earlier one. Only the driver and its output files use it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace karvo::platform {

// Standard input must deliver the file's bytes unchanged.
void binaryStdin();
// Standard output is a text stream on some systems ("\n" written as CR LF). Before the
// voices fall back to it, it takes the voice output's own mode, so that a bank's bytes
// go out unchanged and a voice text ends its lines as in a file.
void streamMode(std::FILE* stream, bool text);

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

// How an output goes to a path.
enum class Target {
    Replace,    // a file or a free name: written beside it, then renamed into place
    Direct,     // a device, a pipe or a view of an open descriptor: written as it is
    Refused,    // a folder, or a file that may not be written
};
// path is what the user gave; realPath receives the path to replace, with links resolved.
Target outputTarget(const std::string& path, std::string& realPath);

// Opens a direct target for writing without emptying it, so that a run that ends
// before its first byte leaves it untouched. Null when it cannot be opened.
std::FILE* openDirect(const std::string& path, bool text);
// Empties what a direct stream writes to, when that is an ordinary file.
void emptyIfFile(std::FILE* stream);

// A file being written under a temporary name in its target's folder.
struct TempFile {
    std::FILE* stream = nullptr;
    std::string target;     // the path it will replace
    std::string name;       // its temporary name; empty while it has none yet
    int fd = -1;            // descriptor of an unnamed file, linked in when committed
};

// Opens stream for writing, in text or binary mode. False when no file can be made there.
bool createTemp(const std::string& target, bool text, TempFile& temp);
// Puts the written file (stream already closed) in place of its target; false if it could not.
bool commitTemp(TempFile& temp);
// Removes the temporary file; its stream must already be closed.
void discardTemp(TempFile& temp);

}  // namespace karvo::platform
