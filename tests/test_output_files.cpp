// What a run does to the files it is pointed at: an earlier file survives every run
// that does not finish, the input is never written over, write errors are reported,
// and a finished file takes its target's place whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "bank_voice_side.h"
#include "driver.h"
#include "mdx_builder.h"
#include "platform_shared.h"
#include "programs.h"
#include "run_helpers.h"
#include "text_voice_side.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const Bytes SONG = test::buildMdx(test::withTracks({{0xFD, 0x05, 0x80, 0x17}, {0xFF, 0xC8}}));
const Bytes EARLIER = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
constexpr const char* CANT_WRITE = "KARVO:OutFile can't write.\n";

using Outcome = test::RunResult;

// A program's voice side that calls watch once the voices are written, before the
// run puts its outputs in place.
template <class Side>
struct Watching : Side {
    std::function<void()> watch;
    void endVoices(std::string& out) override {
        Side::endVoices(out);
        watch();
    }
};

class OutputFiles : public ::testing::Test {
protected:
    Outcome run(VoiceSide& side, const std::vector<std::string>& args, std::FILE* in = nullptr,
                std::FILE* out = nullptr) {
        return test::runProgram(test::programOf(side), side, args, in, out);
    }

    std::string path(const std::string& name) const { return dir.path(name); }
    std::string file(const std::string& name, const Bytes& bytes) {
        test::writeFile(path(name), bytes);
        return path(name);
    }
    // Everything in the folder, so that a temporary file left behind shows.
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (const auto& entry : fs::directory_iterator(fs::path(path("")).parent_path())) {
            all.push_back(entry.path().filename().string());
        }
        std::sort(all.begin(), all.end());
        return all;
    }

    test::TempDir dir;
    BankVoiceSide bank;
    TextVoiceSide text;
};

TEST_F(OutputFiles, RunsThatEndEarlyLeaveEveryEarlierFileAsItWas) {
    const std::string in = file("in.mdx", SONG);
    const std::string noHeader = file("bad.mdx", {'n', 'o', 0x0D, 0x0A, 0x00});
    const std::string midi = file("out.mid", EARLIER);
    const std::string voices = file("out.fxb", EARLIER);
    const std::vector<std::pair<std::vector<std::string>, int>> early = {
        {{"-midi", midi, "-o", voices, in, "-h"}, 0},
        {{"-midi", midi, "-o", voices, path("missing.mdx")}, 1},
        {{"-midi", midi, "-o", voices, noHeader}, 1},
        {{in, "-o", voices, "-midi", midi, "-midi"}, 2},
        {{"-midi", midi, "-midi", path("no/such/folder.mid"), in}, 1},
        {{"-midi", midi, "-o", voices, in, "-loop", "256"}, 2},
    };
    for (const auto& [args, status] : early) {
        SCOPED_TRACE(args.back());
        EXPECT_EQ(run(bank, args).status, status);
        EXPECT_EQ(test::readFile(midi), EARLIER);
        EXPECT_EQ(test::readFile(voices), EARLIER);
        EXPECT_EQ(names(), (std::vector<std::string>{"bad.mdx", "in.mdx", "out.fxb", "out.mid"}));
    }
}

TEST_F(OutputFiles, RefusesAnOutputThatIsTheInputByAnyName) {
    const std::string in = file("in.mdx", SONG);
    ASSERT_EQ(symlink(in.c_str(), path("link.mdx").c_str()), 0);
    ASSERT_EQ(link(in.c_str(), path("hard.mdx").c_str()), 0);
    for (const std::string& name : {in, path("link.mdx"), path("hard.mdx"), path("./in.mdx")}) {
        for (const char* option : {"-midi", "-o"}) {
            SCOPED_TRACE(name + " " + option);
            // Stopped before the header scan: nothing on standard output.
            EXPECT_EQ(
                run(text, {in, option, name, option == std::string("-o") ? "-midi" : "-o", path("other")}),
                (Outcome{1, "", "KARVO:output file " + name + " is the input file.\n"}));
            EXPECT_EQ(test::readFile(in), SONG);
            EXPECT_FALSE(fs::exists(path("other")));
        }
    }
    // Standard input redirected from the file is the same file too.
    std::FILE* redirected = std::fopen(in.c_str(), "rb");
    const Outcome r = run(bank, {"-midi", in}, redirected);
    std::fclose(redirected);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::readFile(in), SONG);

    // The sample file -sf2 reads is an input as well, found beside the song or named.
    test::MdxFixture kitSong = test::withTracks({{0xFF, 0xC8}});
    kitSong.pdx = "kit";
    const std::string song = file("kit_song.mdx", test::buildMdx(kitSong));
    const Bytes samples = test::readFile(KARVO_EXAMPLE_PDX);
    const std::string kit = file("KIT.PDX", samples);
    for (const char* option : {"-midi", "-o", "-sf2"}) {
        for (const bool named : {false, true}) {
            SCOPED_TRACE(std::string(option) + (named ? " -pdx" : ""));
            std::vector<std::string> args = {song, "-sf2", path("kit.sf2"), option, kit};
            if (named) {
                args.insert(args.end(), {"-pdx", path("./KIT.PDX")});
            }
            const Outcome k = run(bank, args);
            EXPECT_EQ(k.status, 1);
            EXPECT_TRUE(k.err.ends_with("KARVO:output file " + kit + " is the input file.\n")) << k.err;
            EXPECT_EQ(test::readFile(kit), samples);
            EXPECT_FALSE(fs::exists(path("kit.sf2")));
        }
    }
}

TEST_F(OutputFiles, RefusesOneFileNamedByBothOutputs) {
    const std::string in = file("in.mdx", SONG);
    const std::string midi = file("out.mid", EARLIER);
    ASSERT_EQ(symlink("out.mid", path("link.mid").c_str()), 0);
    fs::create_directory(path("sub"));
    const std::vector<std::pair<std::string, std::string>> twice = {
        {midi, midi},                         // an existing file
        {midi, path("link.mid")},             // through a link
        {path("new.out"), path("new.out")},   // a name not yet there
        {path("new.out"), path("sub/../new.out")},
    };
    for (const auto& [a, b] : twice) {
        SCOPED_TRACE(a + " " + b);
        EXPECT_EQ(run(bank, {in, "-midi", a, "-o", b}),
                  (Outcome{1, "", "KARVO:output file " + b + " is named twice.\n"}));
        EXPECT_EQ(test::readFile(midi), EARLIER);
        EXPECT_EQ(names(), (std::vector<std::string>{"in.mdx", "link.mid", "out.mid", "sub"}));
    }
    // A device may take both outputs; two names in two folders are two files.
    EXPECT_EQ(run(bank, {in, "-midi", "/dev/null", "-o", "/dev/null"}).status, 0);
    EXPECT_EQ(run(text, {in, "-midi", path("sub/x"), "-o", path("x")}).status, 0);
}

TEST_F(OutputFiles, ReportsAFullDeviceAsAFailedRun) {
    const std::string in = file("in.mdx", SONG);
    // The MIDI file fails: the run ends there, with no voice output.
    Outcome r = run(bank, {in, "-midi", "/dev/full", "-o", path("v.fxb")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("start track 1\n" + std::string(CANT_WRITE))) << r.err;
    EXPECT_FALSE(fs::exists(path("v.fxb")));

    // The voice output fails after a whole MIDI file: the earlier MIDI file stays.
    const std::string midi = file("out.mid", EARLIER);
    for (VoiceSide* side : {static_cast<VoiceSide*>(&bank), static_cast<VoiceSide*>(&text)}) {
        r = run(*side, {in, "-midi", midi, "-o", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.ends_with(CANT_WRITE)) << r.err;
        EXPECT_EQ(test::readFile(midi), EARLIER);
    }

    // Standard output carries the trace, and the voices without -o.
    std::FILE* full = std::fopen("/dev/full", "w");
    r = run(bank, {in, "-midi", midi}, nullptr, full);
    std::fclose(full);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with(CANT_WRITE)) << r.err;
    EXPECT_EQ(test::readFile(midi), EARLIER);
    EXPECT_EQ(names(), (std::vector<std::string>{"in.mdx", "out.mid"}));
}

// A name no file can take gets what an -o file that cannot be made gets: the message,
// the voices on standard output, and the MIDI file.
TEST_F(OutputFiles, AnImpossibleVoiceFileNameSendsTheVoicesToStandardOutput) {
    const std::string in = file("in.mdx", SONG);
    fs::create_directory(path("folder"));   // a folder is no file to write
    for (const std::string& name :
         {std::string(), path(std::string(256, 'v')), path("v.out/"), path("folder")}) {
        SCOPED_TRACE(name);
        fs::remove(path("out.mid"));
        const Outcome r = run(text, {in, "-midi", path("out.mid"), "-o", name});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.err.ends_with("start track 1\n" + std::string(CANT_WRITE))) << r.err;
        EXPECT_NE(r.out.find("//Veltrane"), std::string::npos);
        EXPECT_EQ(names(), (std::vector<std::string>{"folder", "in.mdx", "out.mid"}));
    }
    // Found only when the file is put in place: a folder has taken its name meanwhile.
    Watching<TextVoiceSide> late;
    late.watch = [&] { fs::create_directory(path("late.out")); };
    fs::remove(path("out.mid"));
    const Outcome r = run(late, {in, "-midi", path("out.mid"), "-o", path("late.out")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.err.ends_with("start track 1\n" + std::string(CANT_WRITE))) << r.err;
    EXPECT_NE(r.out.find("//Veltrane"), std::string::npos);
    EXPECT_EQ(names(), (std::vector<std::string>{"folder", "in.mdx", "late.out", "out.mid"}));

    // The same for the MIDI file fails the run, and the voice file stays unwritten.
    late.watch = [&] { fs::create_directory(path("late.mid")); };
    const Outcome failed = run(late, {in, "-midi", path("late.mid"), "-o", path("v.opm")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(failed.err.ends_with(CANT_WRITE)) << failed.err;
    EXPECT_FALSE(fs::exists(path("v.opm")));
}

TEST_F(OutputFiles, AFinishedFileReplacesTheEarlierOneAndKeepsItsMode) {
    const std::string in = file("in.mdx", SONG);
    const std::string midi = file("out.mid", EARLIER);
    ASSERT_EQ(chmod(midi.c_str(), 0640), 0);
    ASSERT_EQ(symlink("out.mid", path("via-link.mid").c_str()), 0);

    ASSERT_EQ(run(bank, {in, "-midi", path("via-link.mid"), "-o", path("v.fxb")}).status, 0);
    const Bytes written = test::readFile(midi);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{'M', 'T', 'h', 'd'}));
    EXPECT_TRUE(fs::is_symlink(path("via-link.mid")));   // the link still points at it
    struct stat st {};
    ASSERT_EQ(stat(midi.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(test::readFile(path("v.fxb")).size(), BANK_SIZE);
    // A new file gets what a plain open would give it, not a temporary file's 0600.
    const mode_t mask = umask(0022);
    umask(mask);
    ASSERT_EQ(stat(path("v.fxb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
    EXPECT_EQ(names(), (std::vector<std::string>{"in.mdx", "out.mid", "v.fxb", "via-link.mid"}));
}

// While the voices are being written, the folder shows what a run killed at that
// moment would leave: neither output is in place before the run has succeeded.
// Regular files are written beside their target however their path is spelled.
TEST_F(OutputFiles, AKilledRunLeavesTheEarlierFilesAndNoTemporaryOne) {
    const std::string in = file("in.mdx", SONG);
    std::vector<std::string> seen;
    Bytes midiThen;
    Bytes voicesThen;
    Watching<BankVoiceSide> side;
    // The same two files by other names.
    const std::vector<std::function<std::string(const std::string&)>> spellings = {
        [](const std::string& p) { return p; },
        [](const std::string& p) { return "/proc/self/root" + p; },
        [](const std::string& p) { return "/proc/self/cwd/" + fs::relative(p).string(); },
        [](const std::string& p) { return "/dev/../proc/self/root" + p; },
    };
    for (const auto& spell : spellings) {
        const std::string midi = file("out.mid", EARLIER);
        const std::string voices = file("out.fxb", EARLIER);
        SCOPED_TRACE(spell(midi));
        side.watch = [&] {
            seen = names();
            midiThen = test::readFile(midi);
            voicesThen = test::readFile(voices);
        };
        ASSERT_EQ(run(side, {in, "-midi", spell(midi), "-o", spell(voices)}).status, 0);
        EXPECT_EQ(seen, (std::vector<std::string>{"in.mdx", "out.fxb", "out.mid"}));
        EXPECT_EQ(midiThen, EARLIER);
        EXPECT_EQ(voicesThen, EARLIER);
        EXPECT_EQ(test::readFile(voices).size(), BANK_SIZE);
        EXPECT_EQ(names(), (std::vector<std::string>{"in.mdx", "out.fxb", "out.mid"}));
    }
    // A file under /dev that is no device, written beside itself too.
    if (fs::is_directory("/dev/shm")) {
        const std::string target = "/dev/shm/karvo-test-" + std::to_string(getpid()) + ".mid";
        test::writeFile(target, EARLIER);
        side.watch = [&] { midiThen = test::readFile(target); };
        EXPECT_EQ(run(side, {in, "-midi", target}).status, 0);
        EXPECT_EQ(midiThen, EARLIER);
        EXPECT_EQ(test::readFile(target).size(), test::readFile(path("out.mid")).size());
        fs::remove(target);
    }
}

TEST_F(OutputFiles, WritesDevicesAndPipesDirectly) {
    const std::string in = file("in.mdx", SONG);
    ASSERT_EQ(run(bank, {in, "-midi", path("whole.mid")}).status, 0);
    const Bytes whole = test::readFile(path("whole.mid"));
    fs::remove(path("whole.mid"));

    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = test::readFile(path("pipe")); });
    const Outcome r = run(text, {in, "-o", path("pipe")});
    reader.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::string(received.begin(), received.begin() + 10), "//Veltrane");
    EXPECT_EQ(names(), (std::vector<std::string>{"in.mdx", "pipe"}));

    // A descriptor's view of a regular file is that file: replaced whole, so the open
    // descriptor still reads the earlier bytes.
    const std::string held = file("held.mid", EARLIER);
    std::FILE* open = std::fopen(held.c_str(), "rb");
    const std::string view = "/proc/self/fd/" + std::to_string(fileno(open));
    EXPECT_EQ(run(bank, {"-midi", view, file("bad.mdx", {'x'})}).status, 1);
    EXPECT_EQ(test::readFile(held), EARLIER);
    EXPECT_EQ(run(bank, {in, "-midi", view}).status, 0);
    EXPECT_EQ(test::readFile(held), whole);
    Bytes stillOpen(EARLIER.size() + 1);
    EXPECT_EQ(std::fread(stillOpen.data(), 1, stillOpen.size(), open), EARLIER.size());
    std::fclose(open);
}

// However many temporary files are open and however long their names, an interrupt
// removes them all: the process below makes a dozen under names of every length the
// folder takes, then is ended by SIGTERM.
TEST_F(OutputFiles, AnInterruptRemovesEveryTemporaryFile) {
    const std::string deep = path(std::string(200, 'd')) + "/" + std::string(200, 'e');
    fs::create_directories(deep);
    EXPECT_EXIT(
        {
            for (int k = 0; k < 12; ++k) {
                platform::TempFile temp;
                temp.target =
                    (k % 2 == 0 ? path("out") : deep + "/" + std::string(240, 'f')) + std::to_string(k);
                if (!platform::createNamedTemp(temp.target, false, temp)) {
                    std::_Exit(3);
                }
                std::fputs("partly written", temp.stream);
                std::fflush(temp.stream);
            }
            std::raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(names(), (std::vector<std::string>{std::string(200, 'd')}));
    EXPECT_TRUE(fs::is_empty(deep));
}

// Where the system has no converter for Shift-JIS, a title still reads as far as it
// can: ASCII and half-width katakana as they are, any other character as one U+FFFD.
TEST(SjisWithoutConverter, KeepsAsciiAndKatakanaAndReplacesEachOtherCharacterOnce) {
    const struct {
        Bytes sjis;
        std::string utf8;
    } cases[] = {
        {{'S', 'o', 'n', 'g', ' ', '1'}, "Song 1"},
        {{0xB1, 0xDF, 0xA1}, "\xEF\xBD\xB1\xEF\xBE\x9F\xEF\xBD\xA1"},   // U+FF71, U+FF9F, U+FF61
        {{0x8B, 0xC8, 'A'},
         "\xEF\xBF\xBD"
         "A"},                              // a kanji, then A
        {{0x83, 0x41}, "\xEF\xBF\xBD"},     // its trail byte is no "A"
        {{'x', 0x81}, "x\xEF\xBF\xBD"},     // a lead byte at the end
        {{0x81, 0x0A}, "\xEF\xBF\xBD\n"},   // no trail byte behind it
        {{0x80, 0xA0, 0xFD}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::sjisWithoutConverter(c.sjis.data(), c.sjis.size()), c.utf8);
    }
    // Where the converter is there, it agrees on what both can read.
    const Bytes both = {'T', 0xB1, 'z'};
    EXPECT_EQ(platform::sjisToUtf8(both.data(), both.size()),
              platform::sjisWithoutConverter(both.data(), both.size()));
}

}   // namespace
}   // namespace karvo
