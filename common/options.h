// The command line parsed into a value. Nothing is opened or printed here: the driver
// acts on the value.
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct Options {
    // What the arguments ask for. The scan stops at the first argument that is not a
    // conversion's, and what came before it still counts.
    enum class Request {
        CONVERT,         // the scan reached the end
        USAGE,           // no arguments at all
        HELP,            // -h
        FULL_HELP,       // --help: the usage text and a line for each further option
        VERSION,         // --version
        MISSING_VALUE,   // -midi, -o, -sf2 or -pdx as the last argument; option names it
        BAD_LOOP,        // -loop without a number from 1 to 255
    };
    Request request = Request::CONVERT;
    std::string option;

    // The input names and the -midi and -sf2 values met, in argument order. Each is
    // opened as the run starts, in this order, and the first that cannot be ends the
    // run.
    struct FileArgument {
        enum class Kind { INPUT, MIDI, SOUNDFONT };
        Kind kind;
        std::string name;
    };
    std::vector<FileArgument> files;

    std::string inputName = "stdin";   // the last input name; prefix of every voice name
    std::string voiceOutput;           // the last -o value
    bool hasVoiceOutput = false;       // without -o the voices go to standard output
    std::string sampleFile;            // the last -pdx value, which replaces the head's name
    bool hasSampleFile = false;
    bool pcm = false;     // convert the tracks after the eighth too
    bool title = false;   // the song's title as the first track's name
    bool gate = false;    // key-ons and key-offs where the driver makes them
    bool lfo = false;     // the software LFOs as bends and expression
    bool pitch = false;   // FM notes on the keys of their standard pitch
    int loops = 1;        // plays of each track's loop, 1 to 255
};

// Reads the arguments left to right, argv[0] being the program's own name.
Options parseOptions(int argc, const char* const* argv);

}   // namespace karvo
