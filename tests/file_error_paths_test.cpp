// Failures of the file layer that the log job must notice: a full disk on
// write and on close, reads that fail in the middle of a message header or of
// a counted body, and misuse of the stream calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "logindex/log_indexer.h"
#include "logindex/run_options.h"
#include "logindex/sorted_log_writer.h"
#include "platform/platform.h"
#include "support/failing_runs.h"
#include "support/job_step_test.h"
#include "support/log_texts.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

const std::string LINE1 = "#1/9 TITLE\r\n";
const std::string LINE2 = PCVAN_TITLE " (ABC01234)  96/05/12  21:34 (3)\r\n";
const std::string BODY = "--\r\nbody\r\nbody\r\nbody\r\n--\r\n\r\n";
// The file layer reads in blocks of this size.
constexpr size_t READ_BLOCK = 64 * 1024;

// Text lines of `size` bytes in all, each short enough to be read whole.
std::string filler(size_t size) {
    std::string text;
    while (size > 0) {
        const size_t line = size > 4002 ? 4000 : size;
        text += std::string(line - 2, 'x') + "\r\n";
        size -= line;
    }
    return text;
}

// Indexes `log` as PC-VAN with line checking, read `fail_at` failing.
FailedRun index_failing(const TempDir& dir, const std::string& log, long fail_at) {
    write_file(dir.file("LOG.TXT"), log);
    const RunOptions options = {SERVICE_PCVAN, 1, 1, 0};
    const IndexedLogPtr indexed = make_indexed_log();
    return run_failing(
        fail_at, EIO,
        [&] { return index_log_file(dir.file("LOG.TXT").c_str(), options, indexed.get()); },
        OP_READ);
}

// The header's second line, or a counted body line, lies in the next block:
// the read of the second block fails.
TEST(IndexerReadErrors, InsideHeaderAndCountedBody) {
    TempDir dir;
    const std::string read_error =
        "Read Error: " + dir.file("LOG.TXT") + ": " + std::strerror(EIO) + "\n";
    const std::string before_line2 = filler(READ_BLOCK - LINE1.size());
    const std::string before_body = filler(READ_BLOCK - LINE1.size() - LINE2.size() - 4);
    for (const std::string* text : {&before_line2, &before_body}) {
        const std::string log = *text + LINE1 + LINE2 + BODY;
        ASSERT_EQ(index_failing(dir, log, 0).result, 1);
        FailedRun run = index_failing(dir, log, 2);
        EXPECT_EQ(run.result, -1);
        EXPECT_EQ(run.err, read_error);
    }
}

// --- The test seam -------------------------------------------------------------------

// Writes and flushes in turn, six calls: which of them fail, as "..x...".
std::string failures_of_six_calls(PlatformFile* file) {
    std::string failed;
    for (int call = 0; call < 6; ++call) {
        const int result = call % 2 == 0 ? platform_write(file, "x", 1) : platform_flush(file);
        failed += result == 0 ? '.' : 'x';
    }
    return failed;
}

TEST(FaultSeam, NthOfAKindOnceOrFromThenOn) {
    const struct {
        PlatformOperation kind;
        long n;
        FaultSpan span;
        const char* failed;
    } cases[] = {
        {OP_WRITE, 2, ONCE, "..x..."},         {OP_WRITE, 2, FROM_THEN_ON, "..x.x."},
        {OP_FLUSH, 1, ONCE, ".x...."},         {OP_ANY, 2, ONCE, ".x...."},
        {OP_ANY, 5, FROM_THEN_ON, "....xx"},   {OP_LINK, 1, FROM_THEN_ON, "......"},
        {OP_WRITE, 0, FROM_THEN_ON, "......"},
    };
    TempDir dir;
    PlatformFile* file = platform_open_write(dir.file("w").c_str());
    ASSERT_NE(file, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failed);
        const ScopedFault fault(c.kind, c.n, EIO, c.span);
        EXPECT_EQ(failures_of_six_calls(file), c.failed);
        EXPECT_EQ(fault.operations(), 6);
    }
    EXPECT_EQ(failures_of_six_calls(file), "......");
    platform_close(file);
}

// --- Stream calls --------------------------------------------------------------------

TEST(StreamMisuse, TinyLineBufferAndNegativeSeek) {
    TempDir dir;
    write_file(dir.file("a"), "line\n");
    PlatformFile* file = platform_open_read(dir.file("a").c_str());
    ASSERT_NE(file, nullptr);
    char buffer[2];
    errno = 0;
    EXPECT_EQ(platform_read_line(file, buffer, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    // Past the block in hand the seek goes to the C library, which refuses it.
    errno = 0;
    EXPECT_EQ(platform_seek(file, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(platform_read_line(file, buffer, 2), 1);
    EXPECT_EQ(platform_close(file), 0);
}

TEST(StreamMisuse, PositionOfAWrittenStream) {
    TempDir dir;
    PlatformFile* file = platform_open_write(dir.file("w").c_str());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(platform_write(file, "12345", 5), 0);
    EXPECT_EQ(platform_tell(file), 5);
    EXPECT_EQ(platform_close(file), 0);
    EXPECT_EQ(read_file(dir.file("w")), "12345");
}

// Pieces land after what was written before them and before what follows,
// in order, across many system calls (empty pieces, one larger than the
// stream's buffer); the seam fails them as one write, and the close says so.
TEST(StreamMisuse, PiecesKeepTheirPlaceAmongWrites) {
    TempDir dir;
    const std::string large(100 * 1024, 'L');
    std::vector<std::string> texts;
    for (int i = 0; i < 300; ++i) {
        texts.push_back(i % 7 == 0 ? "" : std::to_string(i) + ",");
    }
    texts[150] = large;
    std::vector<PlatformPiece> pieces;
    std::string expected = "head:";
    for (const std::string& text : texts) {
        pieces.push_back(PlatformPiece{text.data(), text.size()});
        expected += text;
    }
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing);
        PlatformFile* file = platform_open_write(dir.file("w").c_str());
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(platform_write(file, "head:", 5), 0);
        const ScopedFault fault(OP_WRITE, failing ? 1 : 0, ENOSPC);
        EXPECT_EQ(platform_write_pieces(file, pieces.data(), static_cast<int>(pieces.size())),
                  failing ? -1 : 0);
        ASSERT_EQ(platform_write(file, ":tail", 5), 0);
        EXPECT_EQ(platform_close(file), failing ? -1 : 0);
        if (!failing) {
            EXPECT_EQ(read_file(dir.file("w")), expected + ":tail");
        }
    }
}

// Closed files' blocks are reused by the next files opened: what one file
// read or wrote never shows through another, whichever kind each is.
TEST(StreamMisuse, AReusedBlockHoldsNothingOfItsLastFile) {
    TempDir dir;
    write_file(dir.file("a"), "first file, first line\nmore of it\n");
    write_file(dir.file("b"), "b\n");
    for (int round = 0; round < 3; ++round) {
        PlatformFile* a = platform_open_read(dir.file("a").c_str());
        PlatformFile* w = platform_open_write(dir.file("w").c_str());
        ASSERT_NE(a, nullptr);
        ASSERT_NE(w, nullptr);
        char* line = nullptr;
        ASSERT_EQ(platform_next_line(a, &line, 100), 23);
        ASSERT_EQ(platform_write(w, "written, not flushed", 20), 0);
        EXPECT_EQ(platform_close(a), 0);
        PlatformFile* b = platform_open_read(dir.file("b").c_str());
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(platform_next_line(b, &line, 100), 2);
        EXPECT_EQ(std::string(line), "b\n");
        EXPECT_EQ(platform_next_line(b, &line, 100), 0);
        EXPECT_EQ(platform_close(b), 0);
        EXPECT_EQ(platform_close(w), 0);
        EXPECT_EQ(read_file(dir.file("w")), "written, not flushed");
    }
}

TEST(StreamMisuse, DirectoryCannotBeCreatedOver) {
    TempDir dir;
    fs::create_directory(dir.file("d"));
    errno = 0;
    EXPECT_EQ(platform_open_write(dir.file("d").c_str()), nullptr);
    EXPECT_NE(errno, 0);
}

#ifndef _WIN32

// --- A full disk (POSIX /dev/full) ---------------------------------------------------------

// A write larger than the stream's buffer fails at once; a small one only
// when the stream is closed. Either way the close reports it.
TEST(FullDisk, WriteAndCloseReportIt) {
    for (size_t size : {size_t{10}, size_t{256 * 1024}}) {
        SCOPED_TRACE(size);
        PlatformFile* file = platform_open_write("/dev/full");
        ASSERT_NE(file, nullptr);
        const std::string data(size, 'x');
        const int written = platform_write(file, data.data(), data.size());
        EXPECT_EQ(written, size > 1024 ? -1 : 0);
        errno = 0;
        EXPECT_EQ(platform_close(file), -1);
        EXPECT_NE(errno, 0);
    }
}

// The writer notices the full disk and fails, so that the new file is
// discarded and the log stays as it was.
TEST(FullDisk, WriterFails) {
    TempDir dir;
    const std::string log = LINE1 + LINE2 + BODY;
    write_file(dir.file("LOG.TXT"), log);
    const RunOptions options = {SERVICE_PCVAN, 1, 1, 0};
    const IndexedLogPtr indexed = make_indexed_log();
    set_entries(indexed.get(), {{1, 0, 0, 3, 0}});
    testing::internal::CaptureStderr();
    int result = write_sorted_log_file(dir.file("LOG.TXT").c_str(), "/dev/full", *indexed, options);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, std::string("Write Error: /dev/full: ") + std::strerror(ENOSPC) + "\n");
    EXPECT_EQ(read_file(dir.file("LOG.TXT")), log);
}

#endif  // _WIN32

}  // namespace
