// docx_buf.cpp -- the growable byte buffer every output is built in.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "docx_internal.h"

#if defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#endif

namespace {

long g_fail_growth_after = -1;

// Blocks from the size of a huge page on ask for huge pages; from a few of
// them on, a buffer's capacity is left to fault in by huge pages alone.
constexpr size_t huge_page = size_t{2} << 20;
constexpr size_t large_block = size_t{4} << 20;

bool growth_should_fail() {
    if (g_fail_growth_after < 0) return false;
    return g_fail_growth_after-- == 0;
}

}  // namespace

// Doubling keeps n small appends at O(n) copying; past 1 GiB the need is met
// exactly so that the capacity cannot overflow.
size_t docx_grown_capacity(size_t cap, size_t need, size_t first) {
    constexpr size_t doubling_limit = size_t{1} << 30;
    if (cap == 0 && need <= first) return first;
    size_t c = cap == 0 ? first : cap;
    while (c <= doubling_limit) {
        c *= 2;
        if (c >= need) return c;
    }
    return need;
}

// A fresh 4 KiB page costs a fault on its first touch (about 2 us on a virtual
// machine); a transparent huge page takes one fault for 512 of them. Blocks of
// a few MiB are advised before they are filled, over all the pages that hold
// them: malloc serves such blocks from a mapping of their own, and advising a
// part of it would split it, so that a later mremap could not grow it.
void docx_advise_large(void *block) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t page = 4096;
    if (!block) return;
    size_t n = malloc_usable_size(block);
    if (n < huge_page) return;
    uintptr_t from = reinterpret_cast<uintptr_t>(block) & ~(page - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(block) + n + page - 1) & ~(page - 1);
    // Only a hint: where it is refused, the pages are simply smaller.
    madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
#else
    (void)block;
#endif
}

// Faults in the pages of a block about to be filled with one call instead of
// one trap per 4 KiB page. Memory that malloc hands out again is mapped
// already, and walking its pages would only cost: a range whose first and last
// pages are mapped is taken to be mapped throughout.
void docx_prefault(void *block, size_t n) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr size_t min_size = size_t{64} << 10;
    constexpr uintptr_t page = 4096;
    if (!block || n < min_size) return;
    uintptr_t from = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
    uintptr_t to = (reinterpret_cast<uintptr_t>(block) + n) & ~(page - 1);
    if (to <= from) return;
    auto mapped = [](uintptr_t at) {
        unsigned char in_core = 0;
        return mincore(reinterpret_cast<void *>(at), page, &in_core) == 0 && (in_core & 1);
    };
    if (mapped(from) && mapped(to - page)) return;
    madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)n;
#endif
}

docx_heap docx_buf::release() noexcept {
    docx_heap block(data);
    data = nullptr;
    len = cap = ready = 0;
    failed = false;
    return block;
}

void docx_buf::swap(docx_buf &other) noexcept {
    std::swap(data, other.data);
    std::swap(len, other.len);
    std::swap(cap, other.cap);
    std::swap(ready, other.ready);
    std::swap(failed, other.failed);
}

void docx_buf_fail_growth_after(long n) {
    g_fail_growth_after = n;
}

void docx_buf_init(docx_buf *b) {
    b->data = nullptr;
    b->len = b->cap = b->ready = 0;
    b->failed = false;
}

void docx_buf_free(docx_buf *b) {
    std::free(b->data);
    docx_buf_init(b);
}

// A failed buffer stays failed: what it lost may already have been used.
void docx_buf_clear(docx_buf *b) {
    b->len = 0;
    if (b->data) b->data[0] = 0;
}

docx_heap docx_alloc_filled(size_t n) {
    docx_heap block(static_cast<char *>(std::malloc(n)));
    docx_advise_large(block.get());
    docx_prefault(block.get(), n);
    return block;
}

namespace {

// A block of `cap` bytes that realloc returned for the buffer: a moved block
// is known to hold its contents only.
void take_block(docx_buf *b, void *p, size_t cap) {
    docx_advise_large(p);
    b->data = static_cast<char *>(p);
    b->cap = cap;
    b->ready = b->len;
}

// Faults in the pages of the capacity a chunk at a time as the contents reach
// them, instead of one trap per page. A large capacity takes huge pages, which
// fault seldom enough.
void fault_in_up_to(docx_buf *b, size_t need) {
    constexpr size_t chunk = size_t{256} << 10;
    if (b->cap >= large_block) {
        b->ready = b->cap;
        return;
    }
    size_t to = std::min(b->cap, std::max(need, b->ready + chunk));
    docx_prefault(b->data + b->ready, to - b->ready);
    b->ready = to;
}

}  // namespace

int docx_buf_reserve_room(docx_buf *b, size_t need) {
    if (b->cap >= need) return 0;
    size_t cap = docx_grown_capacity(b->cap, need, 256);
    void *p = growth_should_fail() ? nullptr : std::realloc(b->data, cap);
    if (!p) {
        b->failed = true;
        docx_set_error("out of memory");
        return -1;
    }
    take_block(b, p, cap);
    return 0;
}

int docx_buf_reserve_grow(docx_buf *b, size_t need) {
    if (docx_buf_reserve_room(b, need) != 0) return -1;
    fault_in_up_to(b, need);
    return 0;
}

void docx_buf_expect(docx_buf *b, size_t n) {
    if (b->cap >= n || b->failed) return;
    if (b->len == 0) docx_buf_free(b);  // nothing for realloc to carry over
    void *p = std::realloc(b->data, n);
    if (!p) return;
    take_block(b, p, n);
    b->data[b->len] = 0;
}

namespace {

// Room for `n` more bytes and the NUL, or -1 with the buffer marked failed.
int reserve_more(docx_buf *b, size_t n) {
    if (n > SIZE_MAX - b->len - 1) {
        b->failed = true;
        docx_set_error("out of memory");
        return -1;
    }
    return docx_buf_reserve(b, b->len + n + 1);
}

// Counts `n` bytes written at the end and puts the NUL behind them.
void commit_more(docx_buf *b, size_t n) {
    b->len += n;
    b->data[b->len] = 0;
}

}  // namespace

int docx_buf_append_grow(docx_buf *b, const void *bytes, size_t n) {
    if (reserve_more(b, n) != 0) return -1;
    std::memcpy(b->data + b->len, bytes, n);
    commit_more(b, n);
    return 0;
}

int docx_buf_append_cstr(docx_buf *b, const char *s) {
    if (!s) return 0;
    return docx_buf_append(b, s, std::strlen(s));
}

int docx_buf_append_buf(docx_buf *b, const docx_buf *src) {
    if (src->failed) {
        b->failed = true;
        return -1;
    }
    return docx_buf_append(b, src->data, src->len);
}

int docx_buf_prepend(docx_buf *b, std::string_view bytes) {
    size_t n = bytes.size();
    if (n == 0) return 0;
    if (reserve_more(b, n) != 0) return -1;
    std::memmove(b->data + n, b->data, b->len);
    std::memcpy(b->data, bytes.data(), n);
    commit_more(b, n);
    return 0;
}

int docx_buf_printf(docx_buf *b, const char *fmt, ...) {
    char local[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n < 0) return -1;
    size_t need = static_cast<size_t>(n);
    if (need < sizeof local) return docx_buf_append(b, local, need);
    // Long texts are formatted a second time, straight into the buffer.
    if (reserve_more(b, need) != 0) return -1;
    va_start(ap, fmt);
    std::vsnprintf(b->data + b->len, need + 1, fmt, ap);
    va_end(ap);
    commit_more(b, need);
    return 0;
}
