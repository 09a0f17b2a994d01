// The arguments, left to right, compared exactly.
#include "options.h"

#include <string_view>

namespace karvo {
namespace {

// A decimal number from 1 to 255, digits only.
bool parseLoops(std::string_view text, int& loops) {
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
        if (value > 255) {
            return false;
        }
    }
    if (value < 1) {
        return false;   // also an empty value
    }
    loops = value;
    return true;
}

}   // namespace

Options parseOptions(int argc, const char* const* argv) {
    using Kind = Options::FileArgument::Kind;
    Options options;
    if (argc <= 1) {
        options.request = Options::Request::USAGE;
        return options;
    }
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "-h" || arg == "--help") {
            options.request = arg == "-h" ? Options::Request::HELP : Options::Request::FULL_HELP;
            return options;
        }
        if (arg == "--version") {
            options.request = Options::Request::VERSION;
            return options;
        }
        if (arg == "-pcm") {
            options.pcm = true;
        } else if (arg == "-title") {
            options.title = true;
        } else if (arg == "-gate") {
            options.gate = true;
        } else if (arg == "-lfo") {
            options.lfo = true;
        } else if (arg == "-pitch") {
            options.pitch = true;
        } else if (arg == "-loop") {
            if (k + 1 >= argc || !parseLoops(argv[k + 1], options.loops)) {
                options.request = Options::Request::BAD_LOOP;
                return options;
            }
            ++k;
        } else if (arg == "-midi" || arg == "-o" || arg == "-sf2" || arg == "-pdx") {
            if (k + 1 >= argc) {
                options.request = Options::Request::MISSING_VALUE;
                options.option = arg;
                return options;
            }
            const char* value = argv[++k];
            if (arg == "-o") {
                options.voiceOutput = value;
                options.hasVoiceOutput = true;
            } else if (arg == "-pdx") {
                options.sampleFile = value;
                options.hasSampleFile = true;
            } else {
                const auto kind = arg == "-midi" ? Kind::MIDI : Kind::SOUNDFONT;
                options.files.push_back({kind, value});
            }
        } else {
            options.files.push_back({Kind::INPUT, std::string(arg)});
            options.inputName = arg;
        }
    }
    return options;
}

}   // namespace karvo
