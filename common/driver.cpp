// The run sequence shared by both programs. Only this file prints "KARVO:" lines
// and chooses the exit status.
#include "driver.h"

#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "mdx_image.h"
#include "output_file.h"
#include "smf_writer.h"
#include "track_converter.h"

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
constexpr const char* MSG_IMAGE_CUT = "KARVO:data area longer than 65536 bytes; the rest is ignored.\n";
constexpr const char* MSG_RUNAWAY = "KARVO:track %d runs away; converted up to that point.\n";
constexpr const char* MSG_HEADER_OK = "header OK\n";
constexpr const char* MSG_MIDI_HEADER = "MIDI header write\n";
constexpr const char* MSG_END_OF_POS = "End of pos %x \n";
constexpr const char* MSG_START_TRACK = "start track %d\n";
constexpr const char* USAGE_HELP = "-h:help,this text.\n";
constexpr const char* USAGE_INPUT = "InfileName:Set Input MdxFileName.\n";

void usage(const RunContext& ctx, const VoiceSide& side) {
    const UsageLines& own = side.usageLines();
    for (const char* line : {own[0], own[1], own[2], USAGE_HELP, USAGE_INPUT, own[3], own[4]}) {
        std::fputs(line, ctx.serr);
    }
}

// The input is the only stream the run opens by itself; the output files are the
// OutputFile objects of run(). The standard streams are never closed.
void closeInput(RunContext& ctx) {
    if (ctx.fin != nullptr && ctx.fin != ctx.sin) {
        std::fclose(ctx.fin);
    }
    ctx.fin = ctx.sin;
}

// Scans the arguments left to right. Returns -1 to go on with the conversion,
// or the exit status that ends the run. A -midi file is opened as it is met, but
// nothing that is already there changes before the conversion starts.
int scanArguments(RunContext& ctx, int argc, const char* const* argv, const VoiceSide& side,
                  OutputFile& midiFile, std::string& midiName) {
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "-h" || arg == "--help") {
            usage(ctx, side);
            return EXIT_DONE;
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
                ctx.outName = value;
                ctx.hasOutName = true;
                continue;
            }
            if (!midiFile.open(value, false)) {
                std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
                return EXIT_FAILED;
            }
            ctx.fout = midiFile.stream();
            ctx.midi = true;
            midiName = value;
            continue;
        }
        std::FILE* in = std::fopen(argv[k], "rb");
        if (in == nullptr) {
            std::fprintf(ctx.serr, "%s\n", argv[k]);
            std::fputs(MSG_IN_NOT_FOUND, ctx.serr);
            return EXIT_FAILED;
        }
        closeInput(ctx);
        ctx.fin = in;
        ctx.inName = argv[k];
    }
    return -1;
}

// An output naming the input file, through any link, would destroy it.
bool isInputFile(const RunContext& ctx, const std::string& path) {
    const platform::FileId input = platform::idOf(ctx.fin);
    return input.known && platform::idOf(path) == input;
}

// The voices on standard output, in the voice output's own mode.
void writeToConsole(RunContext& ctx, const VoiceSide& side, const std::string& voices) {
    std::fflush(ctx.serr);
    platform::streamMode(ctx.sout, side.textMode());
    std::fwrite(voices.data(), 1, voices.size(), ctx.sout);
}

bool consoleWritten(RunContext& ctx) { return std::fflush(ctx.sout) == 0 && std::ferror(ctx.sout) == 0; }

void writeBytes(RunContext& ctx, const uint8_t* bytes, size_t n) {
    if (ctx.midi) {
        std::fwrite(bytes, 1, n, ctx.fout);
    }
}

int run(RunContext& ctx, int argc, const char* const* argv, VoiceSide& side) {
    // Nothing of an earlier run in the same context carries over but its streams
    // and its runaway guards.
    RunContext fresh;
    fresh.sin = ctx.sin;
    fresh.sout = ctx.sout;
    fresh.serr = ctx.serr;
    fresh.maxTrackElements = ctx.maxTrackElements;
    fresh.maxTrackChunk = ctx.maxTrackChunk;
    ctx = std::move(fresh);
    side.reset();

    try {
        ctx.Ibuf.reserve(IMAGE_SIZE);
        ctx.Tbuf.resize(IMAGE_SIZE);
    } catch (const std::bad_alloc&) {
        std::fputs(MSG_ALLOC, ctx.serr);
        return EXIT_FAILED;
    }

    ctx.fin = ctx.sin;
    ctx.fout = ctx.sout;

    if (argc <= 1) {
        usage(ctx, side);
        return EXIT_USAGE;
    }
    // Locals, so that every way out of the run discards what was not finished.
    OutputFile midiFile;
    OutputFile voiceFile;
    std::string midiName;
    if (const int status = scanArguments(ctx, argc, argv, side, midiFile, midiName); status >= 0) {
        return status;
    }
    for (const std::string* name : {&midiName, &ctx.outName}) {
        if (!name->empty() && isInputFile(ctx, *name)) {
            std::fprintf(ctx.serr, MSG_OUT_IS_INPUT, name->c_str());
            return EXIT_FAILED;
        }
    }
    // The voice output would take the MIDI file's place. Devices may take both.
    if (ctx.midi && ctx.hasOutName && platform::sameFile(midiName, ctx.outName)) {
        std::fprintf(ctx.serr, MSG_NAMED_TWICE, ctx.outName.c_str());
        return EXIT_FAILED;
    }

    // Standard error is fully buffered (a runaway track can print a voice line per
    // element), so it is flushed wherever standard output takes over, to keep the
    // order of the two when they share a terminal or a file.
    std::fflush(ctx.serr);
    const int declared = header(ctx);
    // The trace lines are on their way before any output that may share the descriptor.
    std::fflush(ctx.sout);
    if (declared < 0) {
        std::fputs(MSG_NO_HEADER, ctx.serr);
        return EXIT_FAILED;
    }
    ctx.trackCount = declared < MAX_TRACKS_CONVERTED ? declared : MAX_TRACKS_CONVERTED;

    ctx.Ipos = 0;
    std::fputs(MSG_HEADER_OK, ctx.serr);
    const auto head = HeadF(ctx.trackCount);
    writeBytes(ctx, head.data(), head.size());
    std::fputs(MSG_MIDI_HEADER, ctx.serr);

    if (!loadImage(ctx)) {
        std::fputs(MSG_IMAGE_CUT, ctx.serr);
    }
    std::fprintf(ctx.serr, MSG_END_OF_POS, static_cast<unsigned>(ctx.Ibuf.size()));

    for (int t = 0; t < ctx.trackCount; ++t) {
        std::fprintf(ctx.serr, MSG_START_TRACK, t);
        if (!convertTrack(ctx, side, t, ctx.trackCount)) {
            std::fprintf(ctx.serr, MSG_RUNAWAY, t);
        }
        writeBytes(ctx, ctx.Tbuf.data(), ctx.Tpos);
    }

    // The MIDI file is whole before the voice output is opened, so that a bad -o name
    // never costs it; it is put in place with the voices, once everything is written.
    if (ctx.midi && !midiFile.close()) {
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
        return EXIT_FAILED;
    }
    ctx.fout = ctx.sout;
    ctx.midi = false;
    std::vector<uint8_t>().swap(ctx.Tbuf);

    // Without -o the voices go to standard output, with no message.
    if (ctx.hasOutName && !voiceFile.open(ctx.outName, side.textMode())) {
        std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
    }
    std::string voices;
    side.writeVoices(ctx, voices);
    if (voiceFile.isOpen()) {
        std::fwrite(voices.data(), 1, voices.size(), voiceFile.stream());
        if (!voiceFile.close()) {
            std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
            return EXIT_FAILED;
        }
    } else {
        writeToConsole(ctx, side, voices);
    }
    // Standard output carries the trace, and the voices when they have no file of
    // their own: a full disk there is as much a failure as in a file.
    if (!consoleWritten(ctx)) {
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
        writeToConsole(ctx, side, voices);
        if (!consoleWritten(ctx)) {
            std::fputs(MSG_OUT_CANT_WRITE, ctx.serr);
            return EXIT_FAILED;
        }
    }
    return EXIT_DONE;
}

}  // namespace

int runConverter(RunContext& ctx, int argc, const char* const* argv, VoiceSide& side) {
    const int status = run(ctx, argc, argv, side);
    ctx.fout = ctx.sout;
    closeInput(ctx);
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
