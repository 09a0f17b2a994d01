// The run sequence shared by both programs. Only this file prints "KARVO:" lines
// and chooses the exit status.
#include "driver.h"

#include <new>
#include <string>
#include <string_view>

#include "mdx_image.h"
#include "midi_track.h"
#include "output_file.h"
#include "track_converter.h"
#include "voice_decoder.h"

namespace karvo {
namespace {

// The console texts, byte for byte.
constexpr const char* MSG_ALLOC = "error,cat't alloc\n";
constexpr const char* MSG_IN_NOT_FOUND = "KARVO:InFile not fond!!\n";
constexpr const char* MSG_OUT_CANT_WRITE = "KARVO:OutFile can't write.\n";
constexpr const char* MSG_OUT_IS_INPUT = "KARVO:output file %s is the input file.\n";
constexpr const char* MSG_NAMED_TWICE = "KARVO:output file %s is named twice.\n";
constexpr const char* MSG_NO_HEADER = "KARVO:no header!!\n";
constexpr const char* MSG_NO_VALUE = "KARVO:option %s needs a file name.\n";
constexpr const char* MSG_BAD_LOOP = "KARVO:option -loop needs a number from 1 to 255.\n";
constexpr const char* MSG_IMAGE_CUT = "KARVO:data area longer than 65536 bytes; the rest is ignored.\n";
constexpr const char* MSG_RUNAWAY = "KARVO:track %d runs away; converted up to that point.\n";
constexpr const char* MSG_HEADER_OK = "header OK\n";
constexpr const char* MSG_MIDI_HEADER = "MIDI header write\n";
constexpr const char* MSG_END_OF_POS = "End of pos %x \n";
constexpr const char* MSG_START_TRACK = "start track %d\n";
constexpr const char* USAGE_HELP = "-h:help,this text.\n";
constexpr const char* USAGE_INPUT = "InfileName:Set Input MdxFileName.\n";
// --help adds these to the usage text that -h prints.
constexpr const char* HELP_MORE[] = {
    "-pcm:Convert the PCM tracks too, on MIDI channel 10.\n",
    "-loop N:Play each track's loop N times in all (1 to 255).\n",
    "-title:Name the first MIDI track after the song's title.\n",
};

constexpr int MAX_TRACKS_CONVERTED = 8;

// What one run learns and holds: the options, the outputs, the data image and the
// state that carries from track to track. Every run starts from a fresh one, and
// leaving it discards whatever was not finished.
class Run {
public:
    Run(const RunContext& context, VoiceSide& voiceSide)
        : ctx(context), side(voiceSide), fin(context.sin) {}
    ~Run() { closeInput(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int main(int argc, const char* const* argv);

private:
    int scanArguments(int argc, const char* const* argv);
    bool isInputFile(const std::string& path) const;
    void usage(bool more = false) const;
    void closeInput();
    void writeToConsole(const std::string& voices);
    bool consoleWritten();

    const RunContext& ctx;
    VoiceSide& side;

    // The command line.
    std::FILE* fin;                  // the MDX input; standard input until a name is met
    std::string inName = "stdin";    // prefix of every extracted voice name
    std::string midiName;            // the last -midi value
    std::string outName;             // the last -o value
    bool hasOutName = false;
    bool pcm = false;                // convert the tracks after the eighth too
    bool title = false;              // the song's title as the first track's name
    int loops = 1;                   // plays of each track's loop
    OutputFile midiFile;
    OutputFile voiceFile;

    MdxImage image;
    SongState song;
};

void Run::usage(bool more) const {
    const UsageLines& own = side.usageLines();
    for (const char* line : {own[0], own[1], own[2], USAGE_HELP, USAGE_INPUT, own[3], own[4]}) {
        std::fputs(line, ctx.serr);
    }
    if (more) {
        for (const char* line : HELP_MORE) {
            std::fputs(line, ctx.serr);
        }
    }
}

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

// The input is the only stream the run opens by itself. The standard streams are
// never closed.
void Run::closeInput() {
    if (fin != nullptr && fin != ctx.sin) {
        std::fclose(fin);
    }
    fin = ctx.sin;
}

// Scans the arguments left to right. Returns -1 to go on with the conversion,
// or the exit status that ends the run. A -midi file is opened as it is met, but
// nothing that is already there changes before the run has succeeded.
int Run::scanArguments(int argc, const char* const* argv) {
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "-h" || arg == "--help") {
            usage(arg == "--help");
            return EXIT_DONE;
        }
        if (arg == "-pcm") {
            pcm = true;
            continue;
        }
        if (arg == "-title") {
            title = true;
            continue;
        }
        if (arg == "-loop") {
            if (k + 1 >= argc || !parseLoops(argv[k + 1], loops)) {
                std::fputs(MSG_BAD_LOOP, ctx.serr);
                return EXIT_USAGE;
            }
            ++k;
            continue;
        }
        if (arg == "--version") {
            std::fprintf(ctx.sout, "%s %s\n", side.programName(), KARVO_VERSION);
            return EXIT_DONE;
        }
        if (arg == "-midi" || arg == "-o") {
            if (k + 1 >= argc) {
                std::fprintf(ctx.serr, MSG_NO_VALUE, argv[k]);
                return EXIT_USAGE;
            }
            const char* value = argv[++k];
            if (arg == "-o") {
                outName = value;
                hasOutName = true;
                continue;
            }
            if (!midiFile.open(value, false)) {
                std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
                return EXIT_FAILED;
            }
            midiName = value;
            continue;
        }
        std::FILE* in = std::fopen(argv[k], "rb");
        if (in == nullptr) {
            std::fprintf(ctx.serr, "%s\n", argv[k]);
            std::fputs(MSG_IN_NOT_FOUND, ctx.serr);
            return EXIT_FAILED;
        }
        closeInput();
        fin = in;
        inName = argv[k];
    }
    return -1;
}

// An output naming the input file, through any link, would destroy it.
bool Run::isInputFile(const std::string& path) const {
    const platform::FileId input = platform::idOf(fin);
    return input.known && platform::idOf(path) == input;
}

// The voices on standard output, in the voice output's own mode.
void Run::writeToConsole(const std::string& voices) {
    std::fflush(ctx.serr);
    platform::streamMode(ctx.sout, side.textMode());
    std::fwrite(voices.data(), 1, voices.size(), ctx.sout);
}

bool Run::consoleWritten() { return std::fflush(ctx.sout) == 0 && std::ferror(ctx.sout) == 0; }

int Run::main(int argc, const char* const* argv) {
    side.reset();
    if (argc <= 1) {
        usage();
        return EXIT_USAGE;
    }
    if (const int status = scanArguments(argc, argv); status >= 0) {
        return status;
    }
    const bool midi = midiFile.isOpen();
    for (const std::string* name : {&midiName, &outName}) {
        if (!name->empty() && isInputFile(*name)) {
            std::fprintf(ctx.serr, MSG_OUT_IS_INPUT, name->c_str());
            return EXIT_FAILED;
        }
    }
    // The voice output would take the MIDI file's place. Devices may take both.
    if (midi && hasOutName && platform::sameFile(midiName, outName)) {
        std::fprintf(ctx.serr, MSG_NAMED_TWICE, outName.c_str());
        return EXIT_FAILED;
    }

    // Standard error is fully buffered (a runaway track can print a voice line per
    // element), so it is flushed wherever standard output takes over, to keep the
    // order of the two when they share a terminal or a file.
    std::fflush(ctx.serr);
    const int declared = header(image, fin, ctx.sout);
    // The trace lines are on their way before any output that may share the descriptor.
    std::fflush(ctx.sout);
    if (declared < 0) {
        std::fputs(MSG_NO_HEADER, ctx.serr);
        return EXIT_FAILED;
    }
    // The FM tracks, and with -pcm the PCM tracks behind them.
    const int trackCount = pcm || declared < MAX_TRACKS_CONVERTED ? declared : MAX_TRACKS_CONVERTED;
    std::string name;
    if (title) {
        name = platform::sjisToUtf8(image.headBytes.data(), image.titleEnd);
    }

    image.Ipos = 0;
    std::fputs(MSG_HEADER_OK, ctx.serr);
    std::FILE* midiOut = midiFile.stream();
    if (midi) {
        const auto head = midiHeaderChunk(trackCount);
        std::fwrite(head.data(), 1, head.size(), midiOut);
    }
    std::fputs(MSG_MIDI_HEADER, ctx.serr);

    try {
        if (!loadImage(image, fin)) {
            std::fputs(MSG_IMAGE_CUT, ctx.serr);
        }
    } catch (const std::bad_alloc&) {
        std::fputs(MSG_ALLOC, ctx.serr);
        return EXIT_FAILED;
    }
    std::fprintf(ctx.serr, MSG_END_OF_POS, static_cast<unsigned>(image.Ibuf.size()));

    {
        MidiTrack track;   // one chunk at a time, released after the last
        for (int t = 0; t < trackCount; ++t) {
            std::fprintf(ctx.serr, MSG_START_TRACK, t);
            const TrackOptions options{loops, t == 0 ? std::string_view(name) : std::string_view()};
            if (!convertTrack(ctx, image, song, side, track, t, trackCount, options)) {
                std::fprintf(ctx.serr, MSG_RUNAWAY, t);
            }
            if (midi) {
                std::fwrite(track.bytes().data(), 1, track.size(), midiOut);
            }
        }
    }

    // The MIDI file is whole before the voice output is opened, so that a bad -o name
    // never costs it; it is put in place with the voices, once everything is written.
    if (midi && !midiFile.close()) {
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
        return EXIT_FAILED;
    }

    // Without -o the voices go to standard output, with no message.
    if (hasOutName && !voiceFile.open(outName, side.textMode())) {
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
    }
    std::string voices;
    writeVoices(image, inName, side, voices);
    if (voiceFile.isOpen()) {
        std::fwrite(voices.data(), 1, voices.size(), voiceFile.stream());
        if (!voiceFile.close()) {
            std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
            return EXIT_FAILED;
        }
    } else {
        writeToConsole(voices);
    }
    // Standard output carries the trace, and the voices when they have no file of
    // their own: a full disk there is as much a failure as in a file.
    if (!consoleWritten()) {
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
        return EXIT_FAILED;
    }

    // Everything is written: the files take their places.
    if (!midiFile.commit()) {
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
        return EXIT_FAILED;
    }
    if (!voiceFile.commit()) {
        // As when the -o file cannot be opened: the voices go to standard output.
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
        writeToConsole(voices);
        if (!consoleWritten()) {
            std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
            return EXIT_FAILED;
        }
    }
    return EXIT_DONE;
}

}  // namespace

int runConverter(RunContext& ctx, int argc, const char* const* argv, VoiceSide& side) {
    int status = EXIT_FAILED;
    try {
        Run run(ctx, side);
        status = run.main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs(MSG_ALLOC, ctx.serr);
    }
    std::fflush(ctx.serr);
    std::fflush(ctx.sout);
    return status;
}

int runMain(int argc, const char* const* argv, VoiceSide& side) {
    platform::prepareProcess();
    static char errorBuffer[1 << 16];
    std::setvbuf(stderr, errorBuffer, _IOFBF, sizeof errorBuffer);
    RunContext ctx;
    return runConverter(ctx, argc, argv, side);
}

}  // namespace karvo
