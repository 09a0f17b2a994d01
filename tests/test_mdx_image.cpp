// The MDX head scan and the data image, from seekable and non-seekable streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "console.h"
#include "mdx_builder.h"
#include "mdx_image.h"
#include "run_helpers.h"

namespace karvo {
namespace {

using test::Bytes;

// The trace lines the console prints for a head.
std::string traceOf(const MdxHead& head) {
    test::MemOut out;
    test::MemOut err;
    Console(out.get(), err.get()).traceHead(head);
    return out.str();
}

class HeadScan : public ::testing::Test {
protected:
    int scan(const Bytes& file) {
        m_in = std::make_unique<test::MemIn>(file);
        head = scanHead(m_in->get());
        return head.declaredTracks;
    }
    std::string trace() { return traceOf(head); }
    bool load() {
        bool whole = false;
        image = loadImage(head, m_in->get(), whole);
        return whole;
    }

    MdxHead head;
    MdxImage image;

private:
    std::unique_ptr<test::MemIn> m_in;
};

// "t", the terminator, an empty sample name, then data bytes.
Bytes headThen(const Bytes& data) {
    Bytes file = {'t', 0x0D, 0x0A, 0x1A, 0x00};
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

TEST_F(HeadScan, ReadsAStandardHeadOfSixteenTracksWithOneTraceLineEach) {
    const Bytes file = test::buildMdx(test::withTracks(std::vector<Bytes>(16)));
    ASSERT_EQ(scan(file), 16);
    EXPECT_EQ(head.dataStart, 11u);   // "fixture", 0D 0A 1A, 00
    EXPECT_EQ(head.voiceOffset, 0x32u);
    EXPECT_EQ(trace(),
              "base 0 22\nbase 1 23\nbase 2 24\nbase 3 25\nbase 4 26\nbase 5 27\nbase 6 28\nbase 7 29\n"
              "base 8 2a\nbase 9 2b\nbase a 2c\nbase b 2d\nbase c 2e\nbase d 2f\nbase e 30\nbase f 31\n");
}

TEST_F(HeadScan, FindsTheFirstTitleTerminatorWhereverItStands) {
    const struct {
        std::string title;
        uint32_t fileBase;
    } cases[] = {
        {"ab\r\nc", 9},       // 0D 0A and another byte: the scan starts over
        {"x\r", 6},           // 0D 0D 0A 1A
        {"x\r\n", 7},         // 0D 0A 0D 0A 1A: a title ending in an empty line
        {"\r\n\r\r", 8},      // 0D 0A 0D 0D 0D 0A 1A
        {"a\x1a\n\x1a", 8},   // stray 1A and 0A without a CR before them
    };
    for (const auto& c : cases) {
        test::MdxFixture f = test::withTracks({{}});
        f.title = c.title;
        EXPECT_EQ(scan(test::buildMdx(f)), 1) << c.title;
        EXPECT_EQ(head.dataStart, c.fileBase) << c.title;
    }
}

TEST_F(HeadScan, RejectsAFileThatEndsBeforeItsHeadIsComplete) {
    const struct {
        const char* where;
        Bytes file;
        const char* trace;
    } cases[] = {
        {"inside the title", {'t', 0x0D, 0x0A}, ""},
        {"inside the sample name", {'t', 0x0D, 0x0A, 0x1A, 'p', 'd'}, ""},
        {"at the data base", headThen({}), ""},
        {"inside the voice offset", headThen({0x00}), ""},
        {"before the track table", headThen({0x00, 0x10}), ""},
        {"inside the track-0 offset", headThen({0x00, 0x10, 0x00}), ""},
        {"inside the second offset", headThen({0x00, 0x10, 0x00, 0x06, 0x00}), "base 0 6\n"},
        {"after the second offset", headThen({0x00, 0x10, 0x00, 0x08, 0x00, 0x08}), "base 0 8\nbase 1 8\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scan(c.file), -1) << c.where;
        // The end of the file is never taken for offset bytes.
        EXPECT_EQ(trace(), c.trace) << c.where;
    }
}

TEST_F(HeadScan, AcceptsAFileThatEndsExactlyWhereTrackZeroWouldBegin) {
    ASSERT_EQ(scan(headThen({0x00, 0x06, 0x00, 0x06, 0x00, 0x06})), 2);
    EXPECT_EQ(trace(), "base 0 6\nbase 1 6\n");
    EXPECT_TRUE(load());
    EXPECT_EQ(Bytes(image.bytes().begin(), image.bytes().end()), (Bytes{0x00, 0x06, 0x00, 0x06, 0x00, 0x06}));
}

TEST_F(HeadScan, AcceptsOnlyAnEvenTrackZeroOffsetFrom4To34) {
    const struct {
        uint16_t first;
        int entries;   // offsets in the table, all equal to the first
        int result;
    } cases[] = {
        {4, 1, 1},   {34, 16, 16}, {5, 20, -1},  {3, 20, -1},
        {2, 20, -1}, {0, 20, -1},  {36, 17, -1},   // a seventeenth track does not fit
    };
    for (const auto& c : cases) {
        Bytes data = {0x00, 0x00};
        for (int k = 0; k < c.entries; ++k) {
            data.insert(data.end(), {static_cast<uint8_t>(c.first >> 8), static_cast<uint8_t>(c.first)});
        }
        data.insert(data.end(), 40, 0xF1);
        EXPECT_EQ(scan(headThen(data)), c.result) << c.first;
    }
}

TEST_F(HeadScan, ScansNoFurtherThanTheFirst65535Bytes) {
    const struct {
        size_t titleLength;
        int result;
    } cases[] = {
        {65526, 1},    // track 0 begins at byte 65,534, the last one scanned
        {65527, -1},   // track 0 would begin at byte 65,535
        {65534, -1},   // the terminator starts at byte 65,534
    };
    for (const auto& c : cases) {
        Bytes file(c.titleLength, 'a');
        file.insert(file.end(), {0x0D, 0x0A, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x04, 0xF1});
        EXPECT_EQ(scan(file), c.result) << c.titleLength;
    }
}

// A file whose data area is size bytes: one track, then a patterned voice area.
test::MdxFixture dataAreaOf(size_t size) {
    test::MdxFixture f = test::withTracks({{0x80, 0x17}});
    f.voices.resize(size - 7);
    for (size_t k = 0; k < f.voices.size(); ++k) {
        f.voices[k] = static_cast<uint8_t>(k * 7 + 3);
    }
    return f;
}

TEST(LoadImage, LoadsTheWholeDataAreaFromSeekableAndPipedInputAlike) {
    const struct {
        size_t size;
        bool whole;
    } cases[] = {
        {64, true},
        {65536, true},
        {65537, false},   // cut: the first 65,536 bytes are kept
        {70000, false},
    };
    for (const auto& c : cases) {
        const Bytes file = test::buildMdx(dataAreaOf(c.size));
        const Bytes data(file.begin() + 11, file.end());
        ASSERT_EQ(data.size(), c.size);
        const Bytes kept(data.begin(),
                         data.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(c.size, 65536)));
        for (bool piped : {false, true}) {
            std::unique_ptr<test::MemIn> mem;
            std::unique_ptr<test::PipeIn> pipe;
            std::FILE* in = nullptr;
            if (piped) {
                pipe = std::make_unique<test::PipeIn>(file);
                in = pipe->get();
            } else {
                mem = std::make_unique<test::MemIn>(file);
                in = mem->get();
            }
            const MdxHead head = scanHead(in);
            ASSERT_EQ(head.declaredTracks, 1);
            bool whole = false;
            const MdxImage image = loadImage(head, in, whole);
            EXPECT_EQ(whole, c.whole) << c.size << (piped ? " piped" : "");
            EXPECT_EQ(Bytes(image.bytes().begin(), image.bytes().end()), kept)
                << c.size << (piped ? " piped" : "");
        }
    }
}

}   // namespace
}   // namespace karvo
