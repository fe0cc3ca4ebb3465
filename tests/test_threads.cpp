// test_threads.cpp -- the handle table under concurrent docx_open and
// docx_close. Run it under ThreadSanitizer with tests/tsan/run.sh.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "docx_internal.h"
#include "tavrimel_docx.h"
#include "testkit.h"

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 400;
// Six threads holding up to 16 handles each want more than the 64 slots, so
// the table also runs full while others free slots.
constexpr size_t kHeld = 16;

TEST(HandleTable, ConcurrentOpenAndCloseNeitherShareNorLoseASlot) {
    testkit::TempDir dir;
    std::string path = testkit::write_docx(
        dir.file("t.docx"), testkit::document_xml("<w:p><w:r><w:t>x</w:t></w:r></w:p>"));
    std::array<std::atomic<int>, DOCX_MAX_HANDLES> owner{};
    std::atomic<int> given_twice{0}, out_of_range{0}, refused{0};

    auto work = [&](int id) {
        std::vector<int> held;
        auto release_all = [&] {
            for (int h : held) {
                owner[h].store(0);
                docx_close(h);
            }
            held.clear();
        };
        for (int round = 0; round < kRounds; ++round) {
            int h = docx_open(path.c_str());
            if (h >= DOCX_MAX_HANDLES || h < -1) {
                ++out_of_range;
            } else if (h >= 0) {
                int free_mark = 0;
                if (!owner[h].compare_exchange_strong(free_mark, id)) ++given_twice;
                held.push_back(h);
            } else {
                ++refused;
            }
            if (h < 0 || held.size() == kHeld) release_all();
        }
        release_all();
    };
    std::vector<std::thread> threads;
    for (int id = 1; id <= kThreads; ++id) threads.emplace_back(work, id);
    for (auto &t : threads) t.join();

    EXPECT_EQ(given_twice.load(), 0);
    EXPECT_EQ(out_of_range.load(), 0);
    // None lost: every slot can be taken again, and not one more.
    std::vector<int> all;
    for (int i = 0; i < DOCX_MAX_HANDLES; ++i) {
        all.push_back(docx_open(path.c_str()));
        EXPECT_EQ(all.back(), i) << docx_last_error();
    }
    EXPECT_EQ(docx_open(path.c_str()), -1);
    EXPECT_STREQ(docx_last_error(), "too many open handles (max 64)");
    for (int h : all) docx_close(h);
    RecordProperty("refused_while_full", refused.load());
}

}  // namespace
