// Whole runs in process: arguments, console output, exit status, output files and voice captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "bank_voice_side.h"
#include "bytes.h"
#include "console.h"
#include "driver.h"
#include "mdx_builder.h"
#include "midi_shape.h"
#include "pdx.h"
#include "programs.h"
#include "run_helpers.h"
#include "text_voice_side.h"

namespace karvo {
namespace {

using test::Bytes;

using Result = test::RunResult;

class Driver : public ::testing::Test {
protected:
    Result run(VoiceSide& side, const std::vector<std::string>& args, std::FILE* in = nullptr,
               RunContext* reused = nullptr) {
        return test::runProgram(test::programOf(side), side, args, in, nullptr, reused);
    }

    std::string file(const std::string& name, const Bytes& bytes) {
        const std::string path = dir.path(name);
        test::writeFile(path, bytes);
        return path;
    }

    test::TempDir dir;
    BankVoiceSide bank;
    TextVoiceSide text;
};

// Three tracks: a voice select and a note, a tempo, an LFO command.
// clang-format off
const Bytes THREE_TRACKS = test::buildMdx(test::withTracks({
    {0xFD, 0x05, 0x80, 0x17},
    {0xFF, 0xC8},
    {0xEA, 0x00, 0x10, 0x20, 0x30, 0x23},
}));
// clang-format on

using test::chunks;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

TEST_F(Driver, PrintsEachProgramsUsageTextForNoArgumentsAndForHelp) {
    const std::string bankUsage =
        "\n\nKARVO Ver2.52+\n"
        "\t\t\t2002.6.21\n"
        "usage:KARVO2.exe [-h] InFileName [-o OutFileName(.fxb)] [-midi OutFileName(.mid)]\n"
        "-h:help,this text.\n"
        "InfileName:Set Input MdxFileName.\n"
        "-o OutFileName:Set Output VST Bank FileName(*.fxb).\n"
        "-midi OutFileName:Set Output SMF FileName(*.mid).\n";
    const std::string textUsage =
        "\n\nKARVO Ver1.52+\n"
        "\t\t\t2002.4.22\n"
        "usage:KARVO.exe [-h] InFileName [-o OutFileName(.opm)] [-midi OutFileName(.mid)]\n"
        "-h:help,this text.\n"
        "InfileName:Set Input MdxFileName.\n"
        "-o OutFileName:Set Output Text FileName(.opm). \n"
        "-midi OutFileName:Set Output SMF FileName(.mid).\n";
    EXPECT_EQ(run(bank, {}), (Result{2, "", bankUsage}));
    EXPECT_EQ(run(text, {}), (Result{2, "", textUsage}));
    EXPECT_EQ(run(bank, {"-h"}), (Result{0, "", bankUsage}));
    EXPECT_EQ(run(text, {"-h"}), (Result{0, "", textUsage}));
    // --help adds a line for each option beyond the usage text.
    const std::string more =
        "-pcm:Convert the PCM tracks too, on MIDI channel 10.\n"
        "-loop N:Play each track's loop N times in all (1 to 255).\n"
        "-title:Name the first MIDI track after the song's title.\n"
        "-sf2 FILE:Write the song's FM voices and PCM samples as a SoundFont 2 file.\n"
        "-pdx FILE:Take the PCM samples from FILE, not from the file the song names.\n"
        "-gate:Key notes off and on where the song's gate time and key-on delay put them.\n"
        "-lfo:Write the song's software vibrato and tremolo as pitch bends and expression.\n"
        "-pitch:Put the FM notes on the keys of their standard pitch, an octave up.\n";
    EXPECT_EQ(run(bank, {"--help"}), (Result{0, "", bankUsage + more}));
    EXPECT_EQ(run(text, {"--help"}), (Result{0, "", textUsage + more}));
    // Help after an input name: nothing is converted.
    EXPECT_EQ(run(bank, {file("in.mdx", THREE_TRACKS), "-h"}), (Result{0, "", bankUsage}));
    // --version ends the run where the scan meets it, as -h does.
    EXPECT_EQ(run(bank, {"--version", "-h"}), (Result{0, "KARVO2 1.0.0\n", ""}));
    EXPECT_EQ(run(text, {file("in.mdx", THREE_TRACKS), "--version", "missing.mdx"}),
              (Result{0, "KARVO 1.0.0\n", ""}));
    EXPECT_EQ(run(text, {"-h", "--version"}), (Result{0, "", textUsage}));
}

TEST_F(Driver, EndsWithStatus1WhenAFileCannotBeOpenedOrHasNoHeader) {
    const std::string missing = dir.path("missing.mdx");
    EXPECT_EQ(run(bank, {missing}), (Result{1, "", missing + "\nKARVO:InFile not fond!!\n"}));

    const std::string in = file("in.mdx", THREE_TRACKS);
    EXPECT_EQ(run(bank, {in, "-midi", dir.path("no/such/dir.mid")}),
              (Result{1, "", "KARVO:OutFile can't write.\n"}));

    const std::string midi = dir.path("out.mid");
    EXPECT_EQ(run(text, {"-midi", midi, file("bad.mdx", {'n', 'o', 0x0D, 0x0A, 0x00})}),
              (Result{1, "", "KARVO:no header!!\n"}));
    EXPECT_FALSE(std::filesystem::exists(midi));   // no empty file left behind
}

TEST_F(Driver, EndsWithStatus2WhenAnOptionLacksItsValue) {
    const std::string in = file("in.mdx", THREE_TRACKS);
    for (const std::string option : {"-midi", "-o", "-sf2", "-pdx"}) {
        EXPECT_EQ(run(bank, {in, option}),
                  (Result{2, "", "KARVO:option " + option + " needs a file name.\n"}));
    }
}

TEST_F(Driver, ConvertsAFileWithItsTraceAndProgressLines) {
    const std::string midi = dir.path("out.mid");
    EXPECT_EQ(run(bank, {file("in.mdx", THREE_TRACKS), "-midi", midi, "-o", dir.path("v.fxb")}),
              (Result{0, "base 0 8\nbase 1 d\nbase 2 10\n",
                      "header OK\nMIDI header write\nEnd of pos 17 \n"
                      "start track 0\nVoice @5\nstart track 1\nstart track 2\n"}));
    const Bytes out = test::readFile(midi);
    const auto parts = chunks(out);
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0],
              (Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 3, 0, 0x30}));   // three chunks follow
}

// The converter reports voice numbers; the console writes them in hexadecimal, and
// gathers them up to the 64 KiB it writes out at.
TEST(Console, WritesEachVoiceSelectAsAHexadecimalLine) {
    test::MemOut out;
    test::MemOut err;
    std::string expected = "Voice @0\nVoice @9\nVoice @f\nVoice @10\nVoice @1a\nVoice @7f\n";
    {
        Console console(out.get(), err.get());
        for (const int voice : {0, 9, 15, 16, 0x1A, 0x7F}) {
            console.voiceSelected(voice);
        }
        // 68 KB of lines of 9 and 10 bytes, one of them started 15 bytes short of the
        // 64 KiB: it must not be written past them.
        for (int k = 0; k < 3600; ++k) {
            console.voiceSelected(9);
            console.voiceSelected(0x1A);
            expected += "Voice @9\nVoice @1a\n";
        }
    }
    EXPECT_EQ(err.str(), expected);
    EXPECT_EQ(out.str(), "");
}

TEST_F(Driver, WritesTheMidiFileByteForByte) {
    const std::string midi = dir.path("out.mid");
    ASSERT_EQ(run(text, {file("in.mdx", test::buildMdx(test::withTracks({{}}))), "-midi", midi}).status, 0);
    // clang-format off
    EXPECT_EQ(test::readFile(midi), (Bytes{
        'M', 'T', 'h', 'd', 0x00, 0x00, 0x00, 0x06,
        0x00, 0x01,              // format 1
        0x00, 0x01,              // one chunk
        0x00, 0x30,              // 48 ticks per quarter note
        'M', 'T', 'r', 'k', 0x00, 0x00, 0x00, 0x1F,
        0x01, 0xC0, 0x01,        // program 1
        0x01, 0xB0, 0x65, 0x00,  // bend range: 32 semitones
        0x01, 0xB0, 0x64, 0x00,
        0x01, 0xB0, 0x06, 0x20,
        0x01, 0xB0, 0x0D, 0x00,  // controllers 13 and 12
        0x01, 0xB0, 0x0C, 0x00,
        0x01, 0xE0, 0x00, 0x40,  // bend centre
        0x00, 0xFF, 0x2F, 0x00,  // end of track
    }));
    // clang-format on
}

TEST_F(Driver, ConvertsOnlyTheFirstEightOfSixteenTracks) {
    const std::string midi = dir.path("out.mid");
    const std::string in = file("in.mdx", test::buildMdx(test::withTracks(std::vector<Bytes>(16))));
    const Result r = run(bank, {in, "-midi", midi, "-o", dir.path("v.fxb")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out).size(), 16u);
    EXPECT_EQ(r.err,
              "header OK\nMIDI header write\nEnd of pos 32 \nstart track 0\nstart track 1\nstart track 2\n"
              "start track 3\nstart track 4\nstart track 5\nstart track 6\nstart track 7\n");
    const auto parts = chunks(test::readFile(midi));
    ASSERT_EQ(parts.size(), 9u);
    EXPECT_EQ(parts[0][11], 8);

    // With -pcm all sixteen, each starting on tick 8 x 16 + 9; the PCM tracks on
    // channel 10 with the drum kit.
    const Result all = run(text, {in, "-pcm", "-midi", midi});
    EXPECT_EQ(all.status, 0);
    EXPECT_NE(all.err.find("start track 15\n"), std::string::npos) << all.err;
    const auto pcm = chunks(test::readFile(midi));
    ASSERT_EQ(pcm.size(), 17u);
    EXPECT_EQ(pcm[0][11], 16);
    EXPECT_EQ(Bytes(pcm[16].begin() + 8, pcm[16].begin() + 12),
              (Bytes{0x79, 0xC9, 0x00, 0x01}));   // track 15
    EXPECT_EQ(Bytes(pcm[16].end() - 8, pcm[16].end()),
              (Bytes{0x01, 0xE9, 0x00, 0x40, 0x00, 0xFF, 0x2F, 0x00}));
}

TEST_F(Driver, RefusesALoopCountThatIsNoNumberFrom1To255) {
    const std::string in = file("in.mdx", THREE_TRACKS);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{in, "-loop"},
                                               {in, "-loop", "0"},
                                               {in, "-loop", "256"},
                                               {in, "-loop", "1000"},
                                               {in, "-loop", "x"},
                                               {in, "-loop", "2x"},
                                               {in, "-loop", "-2"},
                                               {in, "-loop", ""},
                                               {"-loop", "-midi", in}}) {
        EXPECT_EQ(run(bank, args), (Result{2, "", "KARVO:option -loop needs a number from 1 to 255.\n"}))
            << args.back();
    }
    for (const char* count : {"1", "255", "007"}) {
        EXPECT_EQ(run(bank, {in, "-loop", count}).status, 0) << count;
    }
}

// The title's conversion is the end-to-end case title_sjis; an empty title writes
// no event at all.
TEST_F(Driver, WritesNoNameForAnEmptyTitle) {
    test::MdxFixture song = test::withTracks({{0x80, 0x00}});
    song.title.clear();
    const std::string midi = dir.path("out.mid");
    ASSERT_EQ(run(bank, {file("untitled.mdx", test::buildMdx(song)), "-title", "-midi", midi}).status, 0);
    EXPECT_EQ(chunks(test::readFile(midi))[1][8], 0x01);   // the preamble comes first
}

TEST_F(Driver, ConvertsTheLastOfTwoInputNames) {
    const std::string first = file("first.mdx", test::buildMdx(test::withTracks({{0xFF, 0x10}})));
    const std::string second = file("second.mdx", THREE_TRACKS);
    const Result both = run(bank, {first, second, "-midi", dir.path("both.mid")});
    const Result alone = run(bank, {second, "-midi", dir.path("alone.mid")});
    EXPECT_EQ(both, alone);
    EXPECT_EQ(test::readFile(dir.path("both.mid")), test::readFile(dir.path("alone.mid")));
}

TEST_F(Driver, ConvertsPipedStandardInputLikeTheSameFile) {
    const Bytes mdx = test::buildMdx(test::withTracks({{0xF2, 0x01, 0x00, 0x80, 0x10}, {0xFC, 0x02}}));
    test::PipeIn pipe(mdx);
    RunContext ctx;
    const Result piped = run(text, {"-midi", dir.path("piped.mid")}, pipe.get(), &ctx);
    const std::string in = file("in.mdx", mdx);
    const Result named = run(text, {in, "-midi", dir.path("named.mid")}, nullptr, &ctx);
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped, named);
    EXPECT_EQ(test::readFile(dir.path("piped.mid")), test::readFile(dir.path("named.mid")));
    EXPECT_EQ(chunks(test::readFile(dir.path("piped.mid"))).size(), 3u);
}

TEST_F(Driver, WritesTheVoicesToTheNamedFileOrElseToStandardOutput) {
    const std::string in = file("in.mdx", THREE_TRACKS);
    const std::string trace = "base 0 8\nbase 1 d\nbase 2 10\n";
    for (VoiceSide* side : {static_cast<VoiceSide*>(&bank), static_cast<VoiceSide*>(&text)}) {
        const std::string voices = dir.path("voices.out");
        const Result named = run(*side, {in, "-o", voices});
        EXPECT_EQ(named.status, 0);
        EXPECT_EQ(named.out, trace);
        EXPECT_EQ(named.err.find("KARVO:"), std::string::npos);
        const Bytes written = test::readFile(voices);
        ASSERT_EQ(written.size(),
                  side == &bank ? BANK_SIZE : 177u);   // no records: the text is its header only

        // Without -o the same voices follow the trace on standard output, with no message.
        const std::string voicesText(written.begin(), written.end());
        EXPECT_EQ(run(*side, {in}), (Result{0, trace + voicesText, named.err}));

        // An -o name that cannot be opened: the message, then standard output; the MIDI
        // file is complete before.
        const std::string midi = dir.path("out.mid");
        const Result failed = run(*side, {"-o", dir.path("no/such/dir.out"), in, "-midi", midi});
        EXPECT_EQ(failed, (Result{0, trace + voicesText, named.err + "KARVO:OutFile can't write.\n"}));
        EXPECT_EQ(chunks(test::readFile(midi)).size(), 4u);
    }
}

TEST_F(Driver, WarnsAndGoesOnForACutImageAndARunawayTrack) {
    test::MdxFixture big = test::withTracks({{}});
    big.voices.assign(65537 - 5, 0x00);
    const Result cut = run(bank, {file("big.mdx", test::buildMdx(big))});
    EXPECT_EQ(cut.status, 0);
    const auto cutLines = lines(cut.err);
    ASSERT_EQ(cutLines.size(), 5u) << cut.err;
    EXPECT_EQ(cutLines[2].rfind("KARVO:", 0), 0u) << cut.err;
    EXPECT_EQ(cutLines[3], "End of pos 10000 ");

    // Track 0 jumps in a loop for ever.
    // clang-format off
    const Result runaway = run(text, {file("loop.mdx", test::buildMdx(test::withTracks({
                                          {0xF6, 0x02, 0x00, 0xF4, 0xFF, 0xF8, 0xF5, 0xFF, 0xFA}, {0x80, 0x00}})))});
    // clang-format on
    EXPECT_EQ(runaway.status, 0);
    const auto runawayLines = lines(runaway.err);
    ASSERT_EQ(runawayLines.size(), 6u) << runaway.err;
    EXPECT_EQ(runawayLines[3], "start track 0");
    EXPECT_EQ(runawayLines[4].rfind("KARVO:", 0), 0u) << runaway.err;
    EXPECT_NE(runawayLines[4].find("track 0"), std::string::npos) << runaway.err;
    EXPECT_EQ(runawayLines[5], "start track 1");
}

// Leaves per-run state behind: an open repeat, a selected voice, a runaway track.
// clang-format off
const Bytes MESSY = test::buildMdx(test::withTracks({
    {0xFD, 0x7F, 0xF6, 0x05, 0x00, 0xF6, 0x05, 0x00},
    {0xF6, 0x02, 0x00, 0xF4, 0xFF, 0xF8, 0xF5, 0xFF, 0xFA},
    {0xEA, 0x00, 0x10, 0x20, 0x30, 0x23},
}));
// clang-format on

// A run after one that failed, or that left a repeat open, a voice selected and a
// track runaway, gives what a first run gives, on a fresh or a reused context.
TEST_F(Driver, SetsUpAReusedRunContextAfresh) {
    const std::string in = file("in.mdx", THREE_TRACKS);
    const Result expected = run(bank, {in});
    const Result expectedMidi = run(bank, {in, "-midi", dir.path("1.mid")});
    const std::string voices = dir.path("voices.fxb");
    RunContext ctx;
    // A run that ends at a failure after -midi opened its file and -o named one.
    ASSERT_EQ(
        run(bank, {"-o", voices, "-midi", dir.path("m.mid"), file("bad.mdx", {0x00})}, nullptr, &ctx).status,
        1);
    EXPECT_EQ(run(bank, {in}, nullptr, &ctx), expected);   // no MIDI bytes on standard output
    EXPECT_FALSE(std::filesystem::exists(voices));
    const std::string messy = file("messy.mdx", MESSY);
    for (RunContext* reused : {static_cast<RunContext*>(nullptr), &ctx}) {
        ASSERT_EQ(
            run(bank, {messy, "-midi", dir.path("2.mid"), "-o", dir.path("2.fxb")}, nullptr, reused).status,
            0);
        EXPECT_EQ(run(bank, {in, "-midi", dir.path("3.mid")}, nullptr, reused), expectedMidi);
        EXPECT_EQ(test::readFile(dir.path("3.mid")), test::readFile(dir.path("1.mid")));
    }

    // Lowered runaway guards are the caller's, and hold for every run.
    ctx.maxTrackElements = 2;   // track 0 has three elements
    for (int k = 0; k < 2; ++k) {
        const Result r = run(bank, {in}, nullptr, &ctx);
        EXPECT_NE(r.err.find("KARVO:track 0 runs away"), std::string::npos) << r.err;
    }
}

// A song with a PCM track that names its sample file name as its head does; with
// voiced, an FM note on voice 1 and its record.
Bytes pcmSong(const std::string& sampleFileName, bool voiced = false) {
    test::MdxFixture f =
        test::withTracks({{0xFF, 0xC8}, {}, {}, {}, {}, {}, {}, {}, {0xA1, 0x05, 0xA3, 0x05}});
    f.pdx = sampleFileName;
    if (voiced) {
        f.tracks[1] = {0xFD, 0x01, 0xA1, 0x05, 0xF1};
        f.voices = {0x01, 0x07, 0x0F};
        f.voices.resize(27, 0x1F);
    }
    return test::buildMdx(f);
}

// The sample file is looked for beside the song, under the name's last component
// only: a song cannot pull a file from another folder into the SoundFont. Without
// one, a song with FM voices still gets them, with a line on what was missing.
TEST_F(Driver, FindsTheSongsSampleFileBesideItAndNowhereElse) {
    const Bytes kit = test::readFile(KARVO_EXAMPLE_PDX);
    std::filesystem::create_directories(dir.path("song"));
    std::filesystem::create_directories(dir.path("secret"));
    test::writeFile(dir.path("secret/kit.pdx"), kit);
    const std::string notFound = "KARVO:PCM file kit.pdx not found.\n";
    const struct {
        const char* name;
        std::string head;     // the name in the song's head
        std::string beside;   // the file beside the song, if any
        std::vector<std::string> more;
        bool voiced;
        int status;
        std::string message;
    } cases[] = {
        {"case ignored", "drums", "DRUMS.PDX", {}, false, 0, ""},
        {"name as written", "Kit.Pdx", "Kit.Pdx", {}, false, 0, ""},
        {"a path up and out", "../secret/kit.pdx", "", {}, false, 1, notFound},
        {"its last part only", "../secret/kit.pdx", "kit.pdx", {}, false, 0, ""},
        {"an absolute path", "/etc/kit.pdx", "", {}, false, 1, notFound},
        {"backslashes", "..\\secret\\kit.pdx", "", {}, false, 1, notFound},
        {"no name", "", "kit.pdx", {}, false, 1, "KARVO:the song names no PCM file.\n"},
        {"only a folder", "../", "", {}, false, 1, "KARVO:the song names no PCM file.\n"},
        {"-pdx names any file", "", "", {"-pdx", dir.path("secret/kit.pdx")}, false, 0, ""},
        {"-pdx before the head's name",
         "kit.pdx",
         "kit.pdx",
         {"-pdx", dir.path("none.pdx")},
         true,
         1,
         "KARVO:PCM file " + dir.path("none.pdx") + " not found.\n"},
        {"voices without their samples", "../secret/kit.pdx", "", {}, true, 0, notFound},
        {"voices and no sample file", "", "", {}, true, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& entry : std::filesystem::directory_iterator(dir.path("song"))) {
            std::filesystem::remove(entry.path());
        }
        if (!c.beside.empty()) {
            test::writeFile(dir.path("song/" + c.beside), kit);
        }
        const std::string in = file("song/in.mdx", pcmSong(c.head, c.voiced));
        std::vector<std::string> args = {
            in, "-pcm", "-sf2", dir.path("song/out.sf2"), "-midi", dir.path("song/out.mid")};
        args.insert(args.end(), c.more.begin(), c.more.end());
        const Result r = run(bank, args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.err.ends_with(c.message)) << r.err;
        EXPECT_EQ(std::filesystem::exists(dir.path("song/out.sf2")), c.status == 0);
        EXPECT_EQ(std::filesystem::exists(dir.path("song/out.mid")), c.status == 0);
        if (!c.more.empty() && c.status == 1) {
            EXPECT_EQ(r.err.find("MIDI header write"), std::string::npos)
                << r.err;   // before anything is written
        }
    }
}

TEST_F(Driver, RefusesASampleFileShorterThanATableAndCountsRecordsOutOfRange) {
    const std::string in = file("in.mdx", pcmSong("kit.pdx"));
    const std::string sf2 = dir.path("out.sf2");
    file("kit.pdx", Bytes(PDX_BLOCK_SIZE - 1, 0));
    const Result shortFile = run(bank, {in, "-sf2", sf2});
    EXPECT_EQ(shortFile.status, 1);
    EXPECT_TRUE(shortFile.err.ends_with("KARVO:PCM file kit.pdx not found.\n")) << shortFile.err;
    Bytes kit = test::readFile(KARVO_EXAMPLE_PDX);
    writeBe32(&kit[8 * 40], 0x100000);   // entry 40 past the end, 41 into the table
    writeBe32(&kit[8 * 40 + 4], 1);
    writeBe32(&kit[8 * 41], 0x10);
    writeBe32(&kit[8 * 41 + 4], 1);
    file("kit.pdx", kit);
    const Result r = run(bank, {in, "-sf2", sf2});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("KARVO:PCM file kit.pdx: 2 samples out of range, left out.\n"), std::string::npos)
        << r.err;
    file("kit.pdx", Bytes(PDX_BLOCK_SIZE, 0));
    const Result none = run(bank, {in, "-sf2", sf2});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.err.ends_with("KARVO:PCM file kit.pdx holds no samples.\n")) << none.err;
    // Samples in a second bank only: the song plays none of them, and that is known
    // once its tracks are read; still nothing is put in place.
    Bytes secondBank(2 * PDX_BLOCK_SIZE + 4, 0x11);
    std::fill(secondBank.begin(), secondBank.begin() + 2 * PDX_BLOCK_SIZE, 0);
    writeBe32(&secondBank[8 * 96], 2 * PDX_BLOCK_SIZE);
    writeBe32(&secondBank[8 * 96 + 4], 4);
    file("kit.pdx", secondBank);
    const Bytes earlierKit = test::readFile(sf2);
    const Result unplayed = run(bank, {in, "-sf2", sf2, "-midi", dir.path("out.mid")});
    EXPECT_EQ(unplayed.status, 1);
    EXPECT_TRUE(unplayed.err.ends_with("KARVO:PCM file kit.pdx holds no samples.\n")) << unplayed.err;
    EXPECT_EQ(test::readFile(sf2), earlierKit);
    EXPECT_FALSE(std::filesystem::exists(dir.path("out.mid")));
}

// The MIDI file is the same with and without -sf2; -pdx alone changes nothing.
TEST_F(Driver, WritesTheSameMidiFileWithAndWithoutTheSoundFont) {
    file("kit.pdx", test::readFile(KARVO_EXAMPLE_PDX));
    const std::string in = file("in.mdx", pcmSong("kit.pdx"));
    const Result plain = run(text, {in, "-pcm", "-midi", dir.path("plain.mid")});
    const Result withKit = run(text, {in, "-pcm", "-midi", dir.path("kit.mid"), "-sf2", dir.path("kit.sf2")});
    const Result pdxOnly =
        run(text, {in, "-pcm", "-midi", dir.path("pdx.mid"), "-pdx", dir.path("none.pdx")});
    EXPECT_EQ(withKit, plain);
    EXPECT_EQ(pdxOnly, plain);
    EXPECT_EQ(test::readFile(dir.path("kit.mid")), test::readFile(dir.path("plain.mid")));
    EXPECT_EQ(test::readFile(dir.path("pdx.mid")), test::readFile(dir.path("plain.mid")));
    EXPECT_FALSE(std::filesystem::exists(dir.path("none.pdx")));
}

void expectResetVoice(const VoiceRecord& v, int slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(std::vector<int>(
                  {v.PAN, v.CON, v.FL, v.AMS, v.PMS, v.NE, v.SLOT, v.LFRQ, v.AMD, v.PMD, v.WF, v.NFRQ}),
              std::vector<int>({0, 0, 0, 0, 0, 0, 64, 127, 64, 64, 0, 0}));
    for (const OperatorRecord& op : v.op) {
        EXPECT_EQ(std::vector<int>({op.TL, op.D1L, op.AR, op.D1R, op.D2R, op.RR, op.KS, op.DT1, op.MUL,
                                    op.DT2, op.AMS_EN}),
                  std::vector<int>({0, 0, 31, 0, 0, 4, 0, 0, 1, 0, 0}));
    }
    std::array<char, VOICE_NAME_SIZE> name{};
    const std::string text = "init-" + std::to_string(slot);
    std::copy(text.begin(), text.end(), name.begin());
    EXPECT_EQ(v.name, name);   // zeros behind the terminator
}

// Track 0 sets the LFO before and after selecting voice 5; tracks 3 and 7 give noise.
// clang-format off
const Bytes CAPTURES = test::buildMdx(test::withTracks({
    {0xEA, 0x03, 0x10, 0x20, 0x30, 0x11, 0xFD, 0x05, 0xEA, 0x02, 0x10, 0x20, 0x30, 0x23,
     0xEA, 0x01, 0x10, 0x20, 0x30, 0x00},
    {}, {}, {0xED, 0x55}, {}, {}, {}, {0xED, 0x9F},
}));
// clang-format on

// The same commands, but no voice is ever selected.
// clang-format off
const Bytes NO_VOICE = test::buildMdx(test::withTracks({
    {0xEA, 0x03, 0x10, 0x20, 0x30, 0x23}, {}, {}, {}, {}, {}, {}, {0xED, 0x9F},
}));
// clang-format on

TEST_F(Driver, CapturesLfoAndNoiseIntoTheBankVoiceTable) {
    ASSERT_EQ(run(bank, {file("c.mdx", CAPTURES)}).status, 0);
    const VoiceRecord& v = bank.voice(5);
    EXPECT_EQ(std::vector<int>({v.WF, v.AMS, v.PMS, v.NE, v.NFRQ}), std::vector<int>({1, 3, 2, 128, 31}));
    for (int s = 0; s < VOICE_SLOTS; ++s) {
        if (s != 5) {
            expectResetVoice(bank.voice(s), s);
        }
    }

    // Every run starts from the reset table.
    ASSERT_EQ(run(bank, {file("n.mdx", NO_VOICE)}).status, 0);
    for (int s = 0; s < VOICE_SLOTS; ++s) {
        expectResetVoice(bank.voice(s), s);
    }
}

// Voices 1 and 2 get LFO commands on track 0, the later with WF 2; a noise command on
// track 3 is skipped, the one on track 7 is taken for voice 3.
// clang-format off
const Bytes CAPTURED_VOICES = [] {
    test::MdxFixture f = test::withTracks({
        {0xFD, 0x01, 0xEA, 0x01, 0x10, 0x20, 0x30, 0x12, 0xFD, 0x02, 0xEA, 0x02, 0x10, 0x20, 0x30, 0x30},
        {}, {}, {0xED, 0x85}, {}, {}, {}, {0xFD, 0x03, 0xED, 0x9F},
    });
    for (const uint8_t number : Bytes{1, 2, 3, 4}) {
        const Bytes r = test::voiceRecord(number, 0x00, 0x0F, {});
        f.voices.insert(f.voices.end(), r.begin(), r.end());
    }
    return test::buildMdx(f);
}();
// clang-format on

TEST_F(Driver, CarriesTheCapturesIntoBothVoiceOutputs) {
    const std::string in = file("in.mdx", CAPTURED_VOICES);
    // The voices follow the trace on standard output without -o.
    std::vector<std::string> blocks;
    for (const std::string& line : lines(run(text, {in}).out)) {
        if (line.starts_with("LFO:") || line.starts_with("CH:")) {
            blocks.push_back(line);
        }
    }
    // The run's last WF and the NFRQ of track 7 in every block.
    EXPECT_EQ(blocks, (std::vector<std::string>{
                          "LFO: 128 64 64 2 31",
                          "CH:192   0   0   2   1 120   0",   // voice 1: AMS 2, PMS 1
                          "LFO: 128 64 64 2 31",
                          "CH:192   0   0   0   3 120   0",   // voice 2: PMS 3, no noise
                          "LFO: 128 64 64 2 31",
                          "CH:192   0   0   0   0 120   1",   // voice 3: noise from track 7
                          "LFO: 128 64 64 2 31",
                          "CH:192   0   0   0   0 120   0",
                      }));

    const std::string fxb = dir.path("out.fxb");
    ASSERT_EQ(run(bank, {in, "-o", fxb}).status, 0);
    const Bytes bankBytes = test::readFile(fxb);
    ASSERT_EQ(bankBytes.size(), BANK_SIZE);
    // CON FL AMS PMS NFRQ NE LFRQ PMD AMD WF of each voice's program block.
    const auto head = [&](size_t slot) {
        const auto start = bankBytes.begin() + static_cast<std::ptrdiff_t>(160 + 71 * slot);
        return Bytes(start, start + 10);
    };
    EXPECT_EQ(head(1), (Bytes{0, 0, 2, 1, 0, 0, 127, 64, 64, 1}));   // WF per voice
    EXPECT_EQ(head(2), (Bytes{0, 0, 0, 3, 0, 0, 127, 64, 64, 2}));
    EXPECT_EQ(head(3), (Bytes{0, 0, 0, 0, 31, 1, 127, 64, 64, 0}));
    EXPECT_EQ(head(4), (Bytes{0, 0, 0, 0, 0, 0, 127, 64, 64, 0}));
}

TEST_F(Driver, CapturesLfoAndNoiseIntoTheTextTables) {
    const auto tables = [this] {
        return std::tuple(text.AMS, text.PMS, text.NE, text.lastWF, text.lastNFRQ);
    };
    std::array<uint8_t, TEXT_VOICE_SLOTS> ams{}, pms{}, ne{};
    ams[5] = 3;
    pms[5] = 2;
    ne[5] = 128;   // noise 0x9F: NE on, NFRQ 31
    ASSERT_EQ(run(text, {file("c.mdx", CAPTURES)}).status, 0);
    EXPECT_EQ(tables(), std::tuple(ams, pms, ne, 1, 31));

    // Without a voice select the text program still takes WF and NFRQ for the run.
    ASSERT_EQ(run(text, {file("n.mdx", NO_VOICE)}).status, 0);
    const std::array<uint8_t, TEXT_VOICE_SLOTS> none{};
    EXPECT_EQ(tables(), std::tuple(none, none, none, 3, 31));
}

}   // namespace
}   // namespace karvo
