// The run: arguments, the order of the phases, console messages and exit status.
#pragma once

#include "run_context.h"
#include "voice_side.h"

namespace karvo {

// Exit statuses.
constexpr int EXIT_DONE = 0;     // the run reached its end, or -h
constexpr int EXIT_FAILED = 1;   // the run ended at a failure
constexpr int EXIT_USAGE = 2;    // no arguments, or an option without its value

// Runs one whole conversion with the process's arguments. ctx supplies the standard
// streams and the runaway guards; everything else belongs to the run.
int runConverter(RunContext& ctx, int argc, const char* const* argv, const ProgramIdentity& program,
                 VoiceSide& side);

// The whole process: runConverter on the standard streams.
int runMain(int argc, const char* const* argv, const ProgramIdentity& program, VoiceSide& side);

}   // namespace karvo
