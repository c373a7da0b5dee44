// The store's bytes read from a file, through the windows that serve small reads, are the
// file's bytes at every offset and size, wherever windows begin and end and however many reads
// take turns; what lies beyond the end fails, also when the file has shrunk since it was opened
// (what was read before it shrank may still be served).
#include "source.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <unistd.h>

using namespace talvenor::pst;

namespace {

constexpr std::size_t Window = FileSource::WindowSize;
constexpr std::size_t Small = FileSource::WindowedRead;

Bytes fileBytes(std::size_t size) {
    Bytes out(size);
    std::uint32_t x = 2463534242u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = std::uint8_t(x);
    }
    return out;
}

std::string writeFile(const QTemporaryDir& dir, const Bytes& bytes) {
    const std::string path = dir.filePath("store.bin").toStdString();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

TEST(FileSource, EveryReadGivesTheFilesBytes) {
    QTemporaryDir dir;
    const std::size_t size = 40 * Window + 1234; // more windows than are kept
    const Bytes bytes = fileBytes(size);
    const FileSource file(writeFile(dir, bytes));
    ASSERT_EQ(file.size(), size);

    struct Read {
        std::uint64_t offset;
        std::size_t count;
    };
    std::vector<Read> reads = {
        {0, 564},                      // the header
        {Window - 1, 2},               // across a window's boundary
        {Window - Small, Small},       // ending at one
        {2 * Window - 1, Small},       // the longest that starts at a window's end
        {3 * Window, Small + 1},       // one byte longer than a window serves
        {5 * Window + 17, 3 * Window}, // a large read, straight from the file
        {size - 1, 1},                 // the last byte
        {size - Small, Small},         // the last bytes, in a window cut short by the end
        {size, 0},                     // nothing, at the end
        {Window + 100, 0},             // nothing, inside
    };
    // Then reads here and there, as a message's blocks and the index pages take turns, over
    // more of the file than the windows hold.
    std::mt19937_64 random(7);
    for (int k = 0; k < 4000; ++k) {
        const std::size_t count = 1 + random() % (k % 10 == 0 ? 3 * Small : Small);
        reads.push_back({random() % (size - count + 1), count});
    }
    Bytes out;
    for (const Read& r : reads) {
        SCOPED_TRACE(::testing::Message() << "offset " << r.offset << ", " << r.count << " bytes");
        file.read(r.offset, r.count, out);
        ASSERT_EQ(out.size(), r.count);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + std::ptrdiff_t(r.offset)));
    }
    // Far fewer system calls than reads.
    EXPECT_LT(file.reads(), reads.size());

    for (const Read beyond : {Read{size - 10, 11}, Read{size + 1, 0}, Read{~0ull - 2, 8}})
        EXPECT_THROW(file.read(beyond.offset, beyond.count, out), Error) << beyond.offset;
}

TEST(FileSource, AFileThatShrankSinceItWasOpenedFailsWhereItNowEnds) {
    QTemporaryDir dir;
    const Bytes bytes = fileBytes(8 * Window);
    const std::string path = writeFile(dir, bytes);
    const FileSource file(path);
    Bytes out;
    file.read(Window, 100, out); // its window is kept
    const std::size_t end = 2 * Window + Window / 2;
    ASSERT_EQ(::truncate(path.c_str(), off_t(end)), 0);
    // Read before: still the file's bytes as they were read.
    file.read(Window + 50, 20, out);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + std::ptrdiff_t(Window + 50)));
    // Beyond the new end: a failure, in a window or straight from the file.
    EXPECT_THROW(file.read(5 * Window, 100, out), Error);
    EXPECT_THROW(file.read(4 * Window, 3 * Small, out), Error);
    EXPECT_THROW(file.read(end - 10, 20, out), Error);
    // A window that failed holds nothing afterwards.
    EXPECT_THROW(file.read(5 * Window + 8, 100, out), Error);
}

} // namespace
