// The driver's output files, the MIDI file and the voice output. A regular file is
// written under a temporary name beside its target and put into place only when the
// whole run has succeeded, so that a run that fails, ends early or is killed leaves
// every earlier file as it was. Devices, pipes and sockets are written directly.
#pragma once

#include <cstdio>
#include <memory>
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
    // there changes until commit().
    bool open(const std::string& path, bool text);
    std::FILE* stream() const { return m_stream; }
    bool isOpen() const { return m_stream != nullptr; }

    // Writes out and closes the stream. False on any write or close error.
    bool close();
    // Puts a closed file in place of its target. False when that fails; the written
    // file is then gone and the target as it was.
    bool commit();
    // Drops whatever was written and not put in place.
    void discard();

private:
    std::FILE* m_stream = nullptr;
    platform::TempFile m_temp;
    bool m_direct = false;
    bool m_pending = false;   // closed, waiting for commit()
};

}   // namespace karvo
