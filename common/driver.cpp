// The run sequence shared by both programs. Only this file decides what the console
// says and which exit status a run ends with; the console prints it.
#include "driver.h"

#include <algorithm>
#include <cstdarg>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "console.h"
#include "mdx_image.h"
#include "midi_track.h"
#include "options.h"
#include "output_file.h"
#include "song_sounds.h"
#include "track_converter.h"
#include "voice_decoder.h"

namespace karvo {
namespace {

// The console texts, byte for byte.
constexpr const char* MSG_ALLOC = "error,cat't alloc\n";
constexpr const char* MSG_IN_NOT_FOUND = "%s\nKARVO:InFile not fond!!\n";
constexpr const char* MSG_OUT_CANT_WRITE = "KARVO:OutFile can't write.\n";
constexpr const char* MSG_OUT_IS_INPUT = "KARVO:output file %s is the input file.\n";
constexpr const char* MSG_NAMED_TWICE = "KARVO:output file %s is named twice.\n";
constexpr const char* MSG_NO_HEADER = "KARVO:no header!!\n";
constexpr const char* MSG_NO_VALUE = "KARVO:option %s needs a file name.\n";
constexpr const char* MSG_BAD_LOOP = "KARVO:option -loop needs a number from 1 to 255.\n";
constexpr const char* MSG_IMAGE_CUT = "KARVO:data area longer than 65536 bytes; the rest is ignored.\n";
constexpr const char* MSG_RUNAWAY = "KARVO:track %d runs away; converted up to that point.\n";
constexpr const char* MSG_NO_SAMPLE_FILE = "KARVO:the song names no PCM file.\n";
constexpr const char* MSG_SAMPLE_FILE_NOT_FOUND = "KARVO:PCM file %s not found.\n";
constexpr const char* MSG_SAMPLES_LEFT_OUT = "KARVO:PCM file %s: %u samples out of range, left out.\n";
constexpr const char* MSG_NO_SAMPLES = "KARVO:PCM file %s holds no samples.\n";
constexpr const char* MSG_HEADER_OK = "header OK\n";
constexpr const char* MSG_MIDI_HEADER = "MIDI header write\n";
constexpr const char* MSG_END_OF_POS = "End of pos %x \n";
constexpr const char* MSG_START_TRACK = "start track %d\n";
constexpr const char* MSG_VERSION = "%s %s\n";
constexpr const char* USAGE_HELP = "-h:help,this text.\n";
constexpr const char* USAGE_INPUT = "InfileName:Set Input MdxFileName.\n";
// --help adds these to the usage text that -h prints.
constexpr const char* HELP_MORE[] = {
    "-pcm:Convert the PCM tracks too, on MIDI channel 10.\n",
    "-loop N:Play each track's loop N times in all (1 to 255).\n",
    "-title:Name the first MIDI track after the song's title.\n",
    "-sf2 FILE:Write the song's FM voices and PCM samples as a SoundFont 2 file.\n",
    "-pdx FILE:Take the PCM samples from FILE, not from the file the song names.\n",
    "-gate:Key notes off and on where the song's gate time and key-on delay put them.\n",
    "-lfo:Write the song's software vibrato and tremolo as pitch bends and expression.\n",
    "-pitch:Put the FM notes on the keys of their standard pitch, an octave up.\n",
};

// printf into a string.
std::string format(const char* text, ...) {
    va_list args;
    va_start(args, text);
    char line[256];
    const int n = std::vsnprintf(line, sizeof line, text, args);
    va_end(args);
    if (n < 0) {
        return {};
    }
    if (static_cast<size_t>(n) < sizeof line) {
        return std::string(line, static_cast<size_t>(n));
    }
    std::string longer(static_cast<size_t>(n) + 1, '\0');
    va_start(args, text);
    std::vsnprintf(longer.data(), longer.size(), text, args);
    va_end(args);
    longer.pop_back();
    return longer;
}

// How a run ends before its last step: the exit status and what standard error says.
struct Ending {
    int status;
    std::string message;
};
using Step = std::optional<Ending>;

Ending failed(const std::string& message) { return {EXIT_FAILED, message}; }

// One run: the outputs, the input, the head and the state that carries from track
// to track. Every run starts from a fresh one, and leaving it discards whatever was
// not finished.
class Run {
public:
    Run(const RunContext& ctx, const ProgramIdentity& program, VoiceSide& side)
        : m_ctx(ctx), m_program(program), m_side(side), m_console(ctx.sout, ctx.serr), m_in(ctx.sin) {}
    ~Run() { closeInput(); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    int main(int argc, const char* const* argv) {
        m_side.reset();
        const Options options = parseOptions(argc, argv);
        Step ending = openFiles(options);
        if (!ending) {
            ending = answerRequest(options);
        }
        if (!ending) {
            ending = refuseClashingOutputs(options);
        }
        if (!ending) {
            ending = readSong(options);
        }
        if (!ending) {
            convertTracks(options);
            ending = writeOutputs(options);
        }
        return end(ending.value_or(Ending{EXIT_DONE, ""}));
    }

private:
    int end(const Ending& ending) {
        m_console.error(ending.message);
        return ending.status;
    }

    Step openFiles(const Options& options);
    Step answerRequest(const Options& options);
    Step refuseClashingOutputs(const Options& options);
    Step refuseOutputsOver(const platform::FileId& input, const Options& options);
    Step readSong(const Options& options);
    Step readSampleFile(const Options& options);
    void convertTracks(const Options& options);
    void convertPcmTracks(const Options& options, SongState& song, MidiTrack& track);
    static TrackOptions timing(const Options& options);
    VoiceSide& voiceSide();
    void keepChunk(const MidiTrack& track, bool fm);
    Step buildSoundFont(const Options& options);
    Step writeOutputs(const Options& options);
    void closeInput();
    void usage(bool full);

    const RunContext& m_ctx;
    const ProgramIdentity& m_program;
    VoiceSide& m_side;
    Console m_console;

    std::FILE* m_in;               // the MDX input; standard input until a name is met
    std::string m_midiName;        // the last -midi value
    std::string m_soundFontName;   // the last -sf2 value
    OutputFile m_midiFile;
    OutputFile m_voiceFile;
    OutputFile m_soundFontFile;
    MdxHead m_head;
    MdxImage m_image;
    int m_trackCount = 0;
    PcmKeys m_pcmKeys;   // the keys of the PCM notes
    // With -sf2: the song's sounds, what kept its samples out of them, and the soundfont.
    SongSounds m_sounds{m_side};
    std::string m_samplesMissing;
    SongSounds::Built m_soundFont;
};

void Run::usage(bool full) {
    const auto& own = m_program.usageLines;
    for (const char* line : {own[0], own[1], own[2], USAGE_HELP, USAGE_INPUT, own[3], own[4]}) {
        m_console.error(line);
    }
    if (full) {
        for (const char* line : HELP_MORE) {
            m_console.error(line);
        }
    }
}

// The input is the only stream the run opens by itself. The standard streams are
// never closed.
void Run::closeInput() {
    if (m_in != nullptr && m_in != m_ctx.sin) {
        std::fclose(m_in);
    }
    m_in = m_ctx.sin;
}

// The input names and -midi files, in the order the arguments give them. A -midi file
// is opened, but nothing that is already there changes before the run has succeeded.
Step Run::openFiles(const Options& options) {
    for (const Options::FileArgument& file : options.files) {
        if (file.kind != Options::FileArgument::Kind::INPUT) {
            const bool midi = file.kind == Options::FileArgument::Kind::MIDI;
            if (!(midi ? m_midiFile : m_soundFontFile).open(file.name, false)) {
                return failed(MSG_OUT_CANT_WRITE);
            }
            (midi ? m_midiName : m_soundFontName) = file.name;
            continue;
        }
        std::FILE* in = std::fopen(file.name.c_str(), "rb");
        if (in == nullptr) {
            return failed(format(MSG_IN_NOT_FOUND, file.name.c_str()));
        }
        closeInput();
        m_in = in;
    }
    return std::nullopt;
}

Step Run::answerRequest(const Options& options) {
    switch (options.request) {
    case Options::Request::CONVERT: return std::nullopt;
    case Options::Request::USAGE: usage(false); return Ending{EXIT_USAGE, ""};
    case Options::Request::HELP:
    case Options::Request::FULL_HELP:
        usage(options.request == Options::Request::FULL_HELP);
        return Ending{EXIT_DONE, ""};
    case Options::Request::VERSION:
        m_console.print(format(MSG_VERSION, m_program.name, KARVO_VERSION));
        return Ending{EXIT_DONE, ""};
    case Options::Request::MISSING_VALUE:
        return Ending{EXIT_USAGE, format(MSG_NO_VALUE, options.option.c_str())};
    case Options::Request::BAD_LOOP: return Ending{EXIT_USAGE, MSG_BAD_LOOP};
    }
    return std::nullopt;
}

// An output naming an input file, the song or its samples, through any link, would
// destroy it.
Step Run::refuseOutputsOver(const platform::FileId& input, const Options& options) {
    for (const std::string* name :
         {&std::as_const(m_midiName), &options.voiceOutput, &std::as_const(m_soundFontName)}) {
        if (!name->empty() && input.known && platform::idOf(*name) == input) {
            return failed(format(MSG_OUT_IS_INPUT, name->c_str()));
        }
    }
    return std::nullopt;
}

// Besides the input, one output on another's file would take its place. Devices may
// take them all.
Step Run::refuseClashingOutputs(const Options& options) {
    if (Step ending = refuseOutputsOver(platform::idOf(m_in), options)) {
        return ending;
    }
    // Of two outputs on one file, the later in this order is named.
    const bool midi = m_midiFile.isOpen();
    if (midi && options.hasVoiceOutput && platform::sameFile(m_midiName, options.voiceOutput)) {
        return failed(format(MSG_NAMED_TWICE, options.voiceOutput.c_str()));
    }
    if (m_soundFontFile.isOpen() &&
        ((midi && platform::sameFile(m_midiName, m_soundFontName)) ||
         (options.hasVoiceOutput && platform::sameFile(options.voiceOutput, m_soundFontName)))) {
        return failed(format(MSG_NAMED_TWICE, m_soundFontName.c_str()));
    }
    return std::nullopt;
}

// The head, and with -sf2 the sample file it names.
Step Run::readSong(const Options& options) {
    m_console.flushErrors();
    m_head = scanHead(m_in);
    m_console.traceHead(m_head);
    if (!m_head.complete()) {
        return failed(MSG_NO_HEADER);
    }
    m_console.error(MSG_HEADER_OK);
    return m_soundFontFile.isOpen() ? readSampleFile(options) : std::nullopt;
}

// The sample file -pdx names, or else the one the head names, looked for beside the
// input (in the current folder for standard input) under the names pdxCandidates
// gives, which name no other folder. Only a file -pdx names must be there: without
// one the soundfont may still hold the song's FM voices, which is known once the
// tracks are converted, and what was missing is told then.
Step Run::readSampleFile(const Options& options) {
    std::vector<std::string> paths;
    std::string shown;
    if (options.hasSampleFile) {
        paths.push_back(options.sampleFile);
        shown = options.sampleFile;
    } else {
        const std::vector<std::string> names = pdxCandidates(pdxNameInHead(m_head.bytes));
        if (names.empty()) {
            m_samplesMissing = MSG_NO_SAMPLE_FILE;
            return std::nullopt;
        }
        const std::string folder = m_in != m_ctx.sin ? platform::folderPrefix(options.inputName) : "";
        for (const std::string& name : names) {
            paths.push_back(folder + name);
        }
        shown = names.front();
    }
    std::vector<uint8_t> file;
    const std::string* found = nullptr;
    for (const std::string& path : paths) {
        if (platform::readWholeFile(path, file)) {
            found = &path;
            break;
        }
    }
    std::optional<PdxTable> table;
    if (found == nullptr || !(table = readPdxTable(file))) {
        m_samplesMissing = format(MSG_SAMPLE_FILE_NOT_FOUND, shown.c_str());
        return options.hasSampleFile ? Step(failed(m_samplesMissing)) : std::nullopt;
    }
    if (Step ending = refuseOutputsOver(platform::idOf(*found), options)) {
        return ending;
    }
    if (table->leftOut != 0) {
        m_console.error(format(MSG_SAMPLES_LEFT_OUT, shown.c_str(), table->leftOut));
    }
    // Whether any of them is played or fits the kit is known at the end.
    m_samplesMissing = format(MSG_NO_SAMPLES, shown.c_str());
    m_sounds.setSamples(std::move(file), std::move(*table));
    return std::nullopt;
}

void Run::convertTracks(const Options& options) {
    // The FM tracks, and with -pcm the PCM tracks behind them.
    m_trackCount = options.pcm || m_head.declaredTracks < FM_TRACKS ? m_head.declaredTracks : FM_TRACKS;
    const bool midi = m_midiFile.isOpen();
    if (midi) {
        const auto header = midiHeaderChunk(m_trackCount);
        std::fwrite(header.data(), 1, header.size(), m_midiFile.stream());
    }
    m_console.error(MSG_MIDI_HEADER);

    bool whole = true;
    m_image = loadImage(m_head, m_in, whole);
    if (!whole) {
        m_console.error(MSG_IMAGE_CUT);
    }
    m_console.error(format(MSG_END_OF_POS, static_cast<unsigned>(m_image.bytes().size())));

    const std::string title =
        options.title ? platform::sjisToUtf8(m_head.title().data(), m_head.title().size()) : std::string();
    SongState song;
    MidiTrack track;   // one chunk at a time, released after the last
    const int fmTracks = m_trackCount < FM_TRACKS ? m_trackCount : FM_TRACKS;
    for (int t = 0; t < fmTracks; ++t) {
        m_console.error(format(MSG_START_TRACK, t));
        TrackOptions trackOptions = timing(options);
        trackOptions.name = t == 0 ? std::string_view(title) : std::string_view();
        if (!convertTrack(m_ctx, m_image, song, voiceSide(), m_console, track, t, m_trackCount, trackOptions)
                 .whole) {
            m_console.error(format(MSG_RUNAWAY, t));
        }
        keepChunk(track, true);
    }
    convertPcmTracks(options, song, track);
}

// What every track is asked beyond the plain conversion.
TrackOptions Run::timing(const Options& options) {
    TrackOptions track;
    track.loops = options.loops;
    track.gate = options.gate;
    track.lfo = options.lfo;
    track.pitch = options.pitch;
    return track;
}

// With -sf2 the soundfont sees the voices' settings and the chunks as they pass.
VoiceSide& Run::voiceSide() { return m_soundFontFile.isOpen() ? m_sounds.captures() : m_side; }

void Run::keepChunk(const MidiTrack& track, bool fm) {
    if (m_midiFile.isOpen()) {
        std::fwrite(track.bytes().data(), 1, track.size(), m_midiFile.stream());
    }
    if (m_soundFontFile.isOpen()) {
        m_sounds.addChunk(track.bytes(), fm);
    }
}

// The PCM tracks are converted twice: once, from a copy of what carries from track to
// track and writing nothing, to learn every sound their notes play, and again, with
// each sound on its key.
void Run::convertPcmTracks(const Options& options, SongState& song, MidiTrack& track) {
    if (m_trackCount <= FM_TRACKS) {
        return;
    }
    TrackOptions finding = timing(options);
    finding.pcmKeys = &m_pcmKeys;
    finding.findingPcmKeys = true;
    SongState trial = song;
    for (int t = FM_TRACKS; t < m_trackCount; ++t) {
        convertTrack(m_ctx, m_image, trial, voiceSide(), m_console, track, t, m_trackCount, finding);
    }
    m_pcmKeys.assign();
    TrackOptions keyed = timing(options);
    keyed.pcmKeys = &m_pcmKeys;
    for (int t = FM_TRACKS; t < m_trackCount; ++t) {
        m_console.error(format(MSG_START_TRACK, t));
        if (!convertTrack(m_ctx, m_image, song, voiceSide(), m_console, track, t, m_trackCount, keyed)
                 .whole) {
            m_console.error(format(MSG_RUNAWAY, t));
        }
        keepChunk(track, false);
    }
}

// The song's own sounds: its FM voices and the drum kit of its sample file. A song
// with neither is refused for what was missing; with voices, what was missing is told.
Step Run::buildSoundFont(const Options& options) {
    const std::string title = platform::sjisToUtf8(m_head.title().data(), m_head.title().size());
    m_soundFont = m_sounds.build(m_image, title, m_pcmKeys, m_ctx, options.pitch);
    if (m_soundFont.empty()) {
        return failed(m_samplesMissing);
    }
    if (m_soundFont.bytes.empty()) {
        return failed(MSG_OUT_CANT_WRITE);
    }
    if (m_soundFont.drumKeys == 0 && m_samplesMissing != MSG_NO_SAMPLE_FILE) {
        m_console.error(m_samplesMissing);
    }
    return std::nullopt;
}

// The MIDI file is whole before the voice output is opened, so that a bad -o name
// never costs it; both are put in place together, once everything is written.
Step Run::writeOutputs(const Options& options) {
    if (m_midiFile.isOpen() && !m_midiFile.close()) {
        return failed(MSG_OUT_CANT_WRITE);
    }
    if (m_soundFontFile.isOpen()) {
        if (Step ending = buildSoundFont(options)) {
            return ending;
        }
    }
    // Without -o the voices go to standard output, with no message.
    if (options.hasVoiceOutput && !m_voiceFile.open(options.voiceOutput, m_program.textOutput)) {
        m_console.error(MSG_OUT_CANT_WRITE);
    }
    std::string voices;
    writeVoices(m_image, options.inputName, m_side, voices);
    if (m_voiceFile.isOpen()) {
        std::fwrite(voices.data(), 1, voices.size(), m_voiceFile.stream());
        if (!m_voiceFile.close()) {
            return failed(MSG_OUT_CANT_WRITE);
        }
    } else {
        m_console.writeVoices(voices, m_program.textOutput);
    }
    if (m_soundFontFile.isOpen()) {
        std::fwrite(m_soundFont.bytes.data(), 1, m_soundFont.bytes.size(), m_soundFontFile.stream());
        if (!m_soundFontFile.close()) {
            return failed(MSG_OUT_CANT_WRITE);
        }
    }
    // Standard output carries the trace, and the voices when they have no file of
    // their own: a full disk there is as much a failure as in a file.
    if (!m_console.outputWritten() || !m_midiFile.commit() || !m_soundFontFile.commit()) {
        return failed(MSG_OUT_CANT_WRITE);
    }
    if (!m_voiceFile.commit()) {
        // As when the -o file cannot be opened: the voices go to standard output.
        m_console.error(MSG_OUT_CANT_WRITE);
        m_console.writeVoices(voices, m_program.textOutput);
        if (!m_console.outputWritten()) {
            return failed(MSG_OUT_CANT_WRITE);
        }
    }
    return std::nullopt;
}

}   // namespace

int runConverter(RunContext& ctx, int argc, const char* const* argv, const ProgramIdentity& program,
                 VoiceSide& side) {
    int status = EXIT_FAILED;
    try {
        Run run(ctx, program, side);
        status = run.main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs(MSG_ALLOC, ctx.serr);
    }
    std::fflush(ctx.serr);
    std::fflush(ctx.sout);
    return status;
}

int runMain(int argc, const char* const* argv, const ProgramIdentity& program, VoiceSide& side) {
    platform::prepareProcess();
    RunContext ctx;
    return runConverter(ctx, argc, argv, program, side);
}

}   // namespace karvo
