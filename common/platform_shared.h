// What the two systems' halves of the platform layer share: temporary names, and the
// table of temporary files that a run ended by a signal or the console removes.
#pragma once

#include <cstdio>
#include <string>

#include "platform.h"

namespace karvo::platform {

// Each system's own.
long processId();
// Removes a file by name; safe in a signal handler.
void removeFile(const char* name);
// Sets up removeAllOnInterrupt() to run when the run is ended from outside.
void installRemovalHandler();
// Moves the file from over the file to, which may exist, in one step.
bool replaceFile(const std::string& from, const std::string& to);
// Makes the file name, which must not exist yet, and opens it for writing in text or
// binary mode, with the mode a replaced target has. Exists when the name is taken.
enum class NewFile { Made, Exists, Failed };
NewFile createExclusive(const std::string& name, const std::string& target, bool text, std::FILE*& stream);

// Shared.
// A name in the target's folder that no other run picks at the same moment.
std::string tempName(const std::string& target);
// Named temporary files are removed when the run is ended from outside, however many
// there are and however long their names.
void removeOnInterrupt(const std::string& name);
void keepOnInterrupt(const std::string& name);
// Removes every file named for removal; safe in a signal handler and on another thread.
void removeAllOnInterrupt();
// A hidden file beside target under a name no other run has, named for removal from
// the start.
bool createNamedTemp(const std::string& target, bool text, TempFile& temp);
// Puts the named temporary file in its target's place; false, with the file gone,
// when that fails.
bool renameIntoPlace(TempFile& temp);
// Removes the named temporary file, if it has one.
void removeNamed(TempFile& temp);
// Shift-JIS as UTF-8 where the system has no converter for it.
std::string sjisWithoutConverter(const uint8_t* bytes, size_t n);

}   // namespace karvo::platform
