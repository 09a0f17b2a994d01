// The driver's output files, the MIDI file and the voice output. A file in a folder
// is written under a temporary name and renamed into place once it is whole, so that
// the earlier file stays as it was when a run fails, ends early or is killed.
// Devices and pipes are written directly.
#pragma once

#include <cstdio>
#include <string>

#include "platform.h"

namespace karvo {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { discard(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens path for writing, in text or binary mode; false when it cannot be.
    // Whatever this object had open before is discarded. Nothing that is already
    // there changes until start().
    bool open(const std::string& path, bool text);
    // Called before the first byte: a direct target that is an ordinary file is
    // emptied only now.
    void start();
    std::FILE* stream() const { return m_stream; }
    bool isOpen() const { return m_stream != nullptr; }

    // Writes out and closes, then puts the file in place. False on any write, close
    // or rename error; the earlier file is then left as it was.
    bool finish();
    // Closes without putting anything in place.
    void discard();

private:
    std::FILE* m_stream = nullptr;
    platform::TempFile m_temp;
    bool m_direct = false;
};

}  // namespace karvo
