// The memory of the cached source: a window of the stream in fixed-size pages, in stream order.
// Pages are allocated once and recycled through a free list, so steady-state fetching allocates
// nothing. The last page may be partly filled; the fetcher tops it up before it takes a new one.
//
// Threads: none of its own; the owner guards every call with its state lock. The fetcher writes
// into the free part of the last page without that lock; readers only copy the valid part, and
// releaseFromStart never drops a page that still has room, so the two never meet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

namespace velmor {

class PageCache {
public:
    struct Page {
        std::unique_ptr<uint8_t[]> mData;  // one page size, allocated once
        size_t mSize = 0;                  // valid bytes
    };

    explicit PageCache(size_t pageSize);

    size_t pageSize() const { return mPageSize; }
    // Sum of the sizes of the active pages.
    size_t totalSize() const { return mTotalSize; }

    // A free page (size 0), or a new one.
    Page* acquirePage();
    // Back to the free list, size 0.
    void releasePage(Page* page);
    // Adds a filled page at the end of the window.
    void appendPage(Page* page);
    // The last active page when it has room left, else null. Bytes written into it are counted
    // with grewLastPage.
    Page* lastPageWithRoom();
    void grewLastPage(size_t bytes);
    // Drops whole pages from the start while they fit in maxBytes; returns the bytes dropped.
    // A page that still has room (the one the fetcher fills) is never dropped here.
    size_t releaseFromStart(size_t maxBytes);
    // Drops every active page. Only the fetcher's thread may call it (it may be filling one).
    void releaseAll();
    // Copies size bytes starting at window offset from; requires from + size <= totalSize().
    void copy(size_t from, void* data, size_t size) const;

    // Pages ever allocated (active and free): a check that fetching recycles.
    size_t allocatedPages() const { return mAllocatedPages; }

private:
    PageCache(const PageCache&) = delete;
    PageCache& operator=(const PageCache&) = delete;

    const size_t mPageSize;
    size_t mTotalSize = 0;
    size_t mAllocatedPages = 0;
    std::list<std::unique_ptr<Page>> mActivePages;
    std::list<std::unique_ptr<Page>> mFreePages;
    // A page handed out by acquirePage and not yet appended or released.
    std::unique_ptr<Page> mOutstanding;
};

}  // namespace velmor
