#include "engine/PageCache.h"

#include <algorithm>
#include <cstring>

#include "utils/Mutex.h"

namespace velmor {

PageCache::PageCache(size_t pageSize) : mPageSize(pageSize) {}

PageCache::Page* PageCache::acquirePage() {
    QV_ASSERT(mOutstanding == nullptr, "one page out at a time");
    if (!mFreePages.empty()) {
        // The page freed last is the one most likely still in the processor's cache.
        mOutstanding = std::move(mFreePages.back());
        mFreePages.pop_back();
    } else {
        mOutstanding = std::make_unique<Page>();
        mOutstanding->mData.reset(new uint8_t[mPageSize]);
        ++mAllocatedPages;
    }
    mOutstanding->mSize = 0;
    return mOutstanding.get();
}

void PageCache::releasePage(Page* page) {
    QV_ASSERT(page == mOutstanding.get(), "releasing a page that was not acquired");
    mOutstanding->mSize = 0;
    mFreePages.push_back(std::move(mOutstanding));
}

void PageCache::appendPage(Page* page) {
    QV_ASSERT(page == mOutstanding.get(), "appending a page that was not acquired");
    mTotalSize += page->mSize;
    mActivePages.push_back(std::move(mOutstanding));
}

PageCache::Page* PageCache::lastPageWithRoom() {
    if (mActivePages.empty() || mActivePages.back()->mSize >= mPageSize) return nullptr;
    return mActivePages.back().get();
}

void PageCache::grewLastPage(size_t bytes) {
    mActivePages.back()->mSize += bytes;
    mTotalSize += bytes;
}

size_t PageCache::releaseFromStart(size_t maxBytes) {
    size_t released = 0;
    while (!mActivePages.empty() && mActivePages.front()->mSize == mPageSize &&
           mActivePages.front()->mSize <= maxBytes - released) {
        std::unique_ptr<Page> page = std::move(mActivePages.front());
        mActivePages.pop_front();
        released += page->mSize;
        mTotalSize -= page->mSize;
        page->mSize = 0;
        mFreePages.push_back(std::move(page));
    }
    return released;
}

void PageCache::releaseAll() {
    for (auto& page : mActivePages) {
        page->mSize = 0;
        mFreePages.push_back(std::move(page));
    }
    mActivePages.clear();
    mTotalSize = 0;
}

void PageCache::copy(size_t from, void* data, size_t size) const {
    QV_ASSERT(from + size <= mTotalSize, "copy past the cached window");
    auto* out = static_cast<uint8_t*>(data);
    size_t pageStart = 0;
    for (const auto& page : mActivePages) {
        if (size == 0) break;
        size_t pageEnd = pageStart + page->mSize;
        if (from < pageEnd) {
            size_t inPage = from - pageStart;
            size_t n = std::min(size, page->mSize - inPage);
            memcpy(out, page->mData.get() + inPage, n);
            out += n;
            from += n;
            size -= n;
        }
        pageStart = pageEnd;
    }
}

}  // namespace velmor
