// test_buf.cpp -- the growable byte buffer: capacity rule, formatting, failed
// growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <sys/resource.h>
#endif

namespace {

// Resets the growth hook even when an assertion ends the test early.
struct FailGrowthAfter {
    explicit FailGrowthAfter(long n) { docx_buf_fail_growth_after(n); }
    ~FailGrowthAfter() { docx_buf_fail_growth_after(-1); }
};

TEST(Buf, AppendingNothingAllocatesNothing) {
    docx_buf b;
    EXPECT_EQ(docx_buf_append_cstr(&b, ""), 0);
    EXPECT_EQ(docx_buf_append_cstr(&b, nullptr), 0);
    EXPECT_EQ(docx_buf_append(&b, nullptr, 0), 0);
    EXPECT_EQ(docx_buf_printf(&b, "%s", ""), 0);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 0u);
}

struct CapacityCase {
    std::vector<size_t> appends;  // sizes appended one after the other
    size_t cap;
};

class Capacity : public testing::TestWithParam<CapacityCase> {};

TEST_P(Capacity, DoublesFrom256AndKeepsRoomForTheNul) {
    docx_buf b;
    std::string expect;
    char fill = 'a';
    for (size_t n : GetParam().appends) {
        std::string bytes(n, fill++);
        ASSERT_EQ(docx_buf_append(&b, bytes.data(), bytes.size()), 0);
        expect += bytes;
    }
    EXPECT_EQ(b.cap, GetParam().cap);
    EXPECT_EQ(b.view(), expect);
    EXPECT_EQ(b.data[b.len], 0);
}

INSTANTIATE_TEST_SUITE_P(Buf, Capacity,
                         testing::Values(CapacityCase{{1}, 256}, CapacityCase{{255}, 256},
                                         CapacityCase{{256}, 512},  // the NUL is byte 257
                                         CapacityCase{{300}, 512}, CapacityCase{{255, 1}, 512},
                                         CapacityCase{{1, 1000}, 1024}, CapacityCase{{5000}, 8192},
                                         CapacityCase{{100, 100, 100, 100, 100}, 512}));

TEST(Buf, ReserveKeepsALargeEnoughBlock) {
    docx_buf b;
    ASSERT_EQ(docx_buf_reserve(&b, 1000), 0);
    EXPECT_EQ(b.cap, 1024u);
    char *block = b.data;
    ASSERT_EQ(docx_buf_reserve(&b, 1024), 0);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.cap, 1024u);
}

TEST(Buf, PrintfShortAndLongTextsGiveTheFormattedBytes) {
    for (size_t n :
         {size_t{0}, size_t{1}, size_t{510}, size_t{511}, size_t{512}, size_t{513}, size_t{5000}}) {
        SCOPED_TRACE(n);
        std::string arg(n, 'x');
        docx_buf b;
        ASSERT_EQ(docx_buf_append_cstr(&b, "head:"), 0);
        ASSERT_EQ(docx_buf_printf(&b, "%s|%d", arg.c_str(), 42), 0);
        EXPECT_EQ(b.view(), "head:" + arg + "|42");
        EXPECT_EQ(b.data[b.len], 0);
    }
    // 511 bytes fit the local array; 512 are formatted a second time.
    for (size_t n : {size_t{511}, size_t{512}}) {
        docx_buf b;
        std::string arg(n, 'y');
        ASSERT_EQ(docx_buf_printf(&b, "%s", arg.c_str()), 0);
        EXPECT_EQ(b.view(), arg);
        EXPECT_EQ(b.data[n], 0);
    }
}

struct FailedGrowthCase {
    const char *name;
    int (*grow)(docx_buf *);
};

const FailedGrowthCase failed_growth_cases[] = {
    {"append",
     [](docx_buf *b) {
         std::string big(300, 'z');
         return docx_buf_append(b, big.data(), big.size());
     }},
    {"printf", [](docx_buf *b) { return docx_buf_printf(b, "%0600d", 7); }},
    {"reserve", [](docx_buf *b) { return docx_buf_reserve(b, 100000); }},
    {"reserve room", [](docx_buf *b) { return docx_buf_reserve_room(b, 100000); }},
};

TEST(Buf, FailedGrowthKeepsTheContentsAndMarksTheBuffer) {
    for (const FailedGrowthCase &c : failed_growth_cases) {
        SCOPED_TRACE(c.name);
        docx_buf b;
        ASSERT_EQ(docx_buf_append_cstr(&b, "kept"), 0);
        char *block = b.data;
        size_t cap = b.cap;
        docx_set_error("earlier message");
        {
            FailGrowthAfter hook(0);
            EXPECT_EQ(c.grow(&b), -1);
        }
        EXPECT_TRUE(b.failed);
        EXPECT_STREQ(docx_last_error(), "out of memory");
        EXPECT_EQ(b.data, block);
        EXPECT_EQ(b.cap, cap);
        EXPECT_EQ(b.view(), "kept");
        // Appends that need no growth still work, but the mark stays.
        EXPECT_EQ(docx_buf_append_cstr(&b, "!"), 0);
        EXPECT_EQ(b.view(), "kept!");
        docx_buf_clear(&b);
        EXPECT_TRUE(b.failed);
        docx_buf_free(&b);
        EXPECT_FALSE(b.failed);
    }
}

TEST(Buf, PrependMovesTheContentsBehindTheBytes) {
    struct Case {
        std::string before, bytes, after;
    } cases[] = {
        {"", "head", "head"},
        {"body", "", "body"},
        {"body", "head ", "head body"},
        {std::string(300, 'b'), "h", std::string("h").append(300, 'b')},  // grows the block
    };
    for (const Case &c : cases) {
        docx_buf b;
        docx_buf_append_sv(&b, c.before);
        ASSERT_EQ(docx_buf_prepend(&b, c.bytes), 0);
        EXPECT_EQ(b.view(), c.after);
        if (b.data) {
            EXPECT_EQ(b.data[b.len], 0);
        }
    }
    docx_buf b;
    docx_buf_append_sv(&b, std::string(255, 'b'));  // fills the first block
    FailGrowthAfter fail(0);
    EXPECT_EQ(docx_buf_prepend(&b, "head"), -1);
    EXPECT_TRUE(b.failed);
    EXPECT_EQ(b.view(), std::string(255, 'b'));
}

TEST(Buf, GrowthHookCountsGrowthsOnly) {
    docx_buf b;
    FailGrowthAfter hook(1);
    ASSERT_EQ(docx_buf_append_cstr(&b, "a"), 0);                            // growth 0
    ASSERT_EQ(docx_buf_append(&b, std::string(200, 'b').data(), 200), 0);   // no growth
    EXPECT_EQ(docx_buf_append(&b, std::string(100, 'c').data(), 100), -1);  // growth 1
    EXPECT_EQ(b.len, 201u);
    docx_buf other;
    EXPECT_EQ(docx_buf_append_cstr(&other, "fine"), 0);  // the hook fired once only
}

TEST(Buf, AppendingAFailedBufferMarksTheTarget) {
    docx_buf src, dst;
    ASSERT_EQ(docx_buf_append_cstr(&src, "part"), 0);
    src.failed = true;
    EXPECT_EQ(docx_buf_append_buf(&dst, &src), -1);
    EXPECT_TRUE(dst.failed);

    docx_buf ok, into;
    ASSERT_EQ(docx_buf_append_cstr(&ok, "whole"), 0);
    EXPECT_EQ(docx_buf_append_buf(&into, &ok), 0);
    EXPECT_EQ(into.view(), "whole");
    EXPECT_FALSE(into.failed);
}

TEST(Buf, ClearKeepsTheBlockAndFreeAllowsReuse) {
    docx_buf b;
    ASSERT_EQ(docx_buf_append_cstr(&b, "some text"), 0);
    char *block = b.data;
    docx_buf_clear(&b);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(b.data, "");

    docx_buf fresh;
    docx_buf_free(&fresh);
    docx_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    ASSERT_EQ(docx_buf_append_cstr(&b, "again"), 0);
    EXPECT_EQ(b.view(), "again");
}

// The VmFlags of the mapping that holds `p`, from /proc/self/smaps; "" when
// there is no such file.
std::string mapping_flags(const void *p) {
    std::ifstream smaps("/proc/self/smaps");
    auto addr = reinterpret_cast<uintptr_t>(p);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> from >> dash >> to && dash == '-')
            inside = from <= addr && addr < to;
        else if (inside && line.starts_with("VmFlags:"))
            return line;
    }
    return "";
}

// A buffer of many MiB grows through several moves of its block and asks for
// huge pages (one page fault per 2 MiB instead of per 4 KiB); its bytes survive.
TEST(Buf, LargeBuffersAskForHugePagesAndKeepTheirBytes) {
    docx_buf b;
    std::string chunk(1 << 20, 0);
    for (char c = 'a'; c < 'a' + 24; ++c) {
        chunk.assign(chunk.size(), c);
        ASSERT_EQ(docx_buf_append_sv(&b, chunk), 0);
    }
    for (size_t i = 0; i < 24; ++i)
        ASSERT_EQ(b.view().substr(i << 20, 1 << 20), std::string(1 << 20, char('a' + i)));
    std::string flags = mapping_flags(b.data);
    if (flags.empty() || !std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"))
        GTEST_SKIP() << "no transparent huge pages here";
    EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
}

#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_minflt;
}

// Faults taken while filling a fresh block of `n` bytes, faulted in ahead or not.
long faults_filling(size_t n, bool ahead) {
    docx_heap block(static_cast<char *>(std::malloc(n)));
    if (!block) return -1;
    if (ahead) docx_prefault(block.get(), n);
    long before = minor_faults();
    std::memset(block.get(), 'x', n);
    long taken = minor_faults() - before;
    return std::string_view(block.get(), n) == std::string(n, 'x') ? taken : -1;
}

bool kernel_populates_ahead() {
    void *probe = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) return false;
    bool ok = madvise(probe, 4096, MADV_POPULATE_WRITE) == 0;
    munmap(probe, 4096);
    return ok;
}

// A block of 512 fresh pages faulted in ahead fills without a fault per page
// (the sanitizers' shadow pages still fault) and keeps what is written.
TEST(Buf, PrefaultedBlocksFillWithoutAFaultPerPage) {
    constexpr size_t n = size_t{2} << 20;
    long plain = faults_filling(n, false);
    long ahead = faults_filling(n, true);
    ASSERT_GE(plain, 0);
    ASSERT_GE(ahead, 0);
    std::string thp;
    std::getline(std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"), thp);
    if (!kernel_populates_ahead() || thp.starts_with("[always]"))
        GTEST_SKIP() << "the kernel cannot populate pages ahead, or maps huge pages anyway";
    EXPECT_LT(ahead * 4, plain);
}

#endif

// A buffer given room up front fills it by small appends, its pages faulted in
// ahead of the contents, and grows past it; every byte is the one appended.
TEST(Buf, RoomGivenUpFrontIsFilledAndOutgrown) {
    constexpr size_t room = size_t{1} << 20;
    constexpr size_t pieces = 2 * room / 4096 + 3;
    docx_buf b;
    docx_buf_expect(&b, room);
    EXPECT_EQ(b.cap, room);
    std::string piece(4096, 0);
    for (size_t i = 0; i < pieces; ++i) {
        piece.assign(piece.size(), static_cast<char>('a' + i % 26));
        ASSERT_EQ(docx_buf_append_sv(&b, piece), 0);
    }
    ASSERT_EQ(b.len, pieces * piece.size());
    EXPECT_EQ(b.data[b.len], 0);
    for (size_t i = 0; i < pieces; ++i)
        ASSERT_EQ(b.view().substr(i * piece.size(), piece.size()),
                  std::string(piece.size(), static_cast<char>('a' + i % 26)))
            << "piece " << i;
}

// Every way of adding bytes, in a long random mix with clears and room given
// up front, across the sizes where pages are faulted in ahead and where huge
// pages take over: the buffer always holds what a string given the same
// operations holds, followed by its NUL.
TEST(Buf, RandomMixesOfOperationsKeepTheBytes) {
    std::mt19937 rng(20261210);
    docx_buf b;
    std::string model;
    for (int step = 0; step < 3000; ++step) {
        size_t n = rng() % 3 == 0 ? rng() % 200000 : rng() % 64;
        std::string bytes(n, static_cast<char>('a' + step % 26));
        switch (rng() % 8) {
            case 0:
                ASSERT_EQ(docx_buf_prepend(&b, bytes), 0);
                model.insert(0, bytes);
                break;
            case 1:
                ASSERT_EQ(docx_buf_printf(&b, "%s#%d", bytes.c_str(), step), 0);
                model += bytes + "#" + std::to_string(step);
                break;
            case 2: {
                size_t room = b.len + rng() % (size_t{6} << 20);
                if (rng() % 2)
                    docx_buf_expect(&b, room);
                else
                    ASSERT_EQ(docx_buf_reserve_room(&b, room), 0);
                break;
            }
            case 3:
                if (rng() % 10 == 0) {
                    docx_buf_clear(&b);
                    model.clear();
                }
                break;
            default:
                ASSERT_EQ(docx_buf_append_sv(&b, bytes), 0);
                model += bytes;
                break;
        }
        ASSERT_EQ(b.len, model.size()) << "step " << step;
        ASSERT_LE(b.ready, b.cap);
        if (b.data) {
            ASSERT_EQ(b.data[b.len], 0) << "step " << step;
        }
    }
    EXPECT_EQ(b.view(), model);
}

TEST(Buf, ReleaseHandsTheTextOver) {
    docx_buf b;
    ASSERT_EQ(docx_buf_append_cstr(&b, "mine"), 0);
    docx_heap block = b.release();
    EXPECT_STREQ(block.get(), "mine");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 0u);
}

}  // namespace
