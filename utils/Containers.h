// Containers used across the engine: thin typed wrappers over the standard library with the
// operations the engine uses (add, indexOfKey, valueAt, removeItemsAt, ...).
#pragma once

#include <algorithm>
#include <cstddef>
#include <list>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace velmor {

template <typename T>
class Vector {
public:
    size_t size() const { return mItems.size(); }
    bool isEmpty() const { return mItems.empty(); }
    const T& itemAt(size_t i) const { return mItems[i]; }
    T& editItemAt(size_t i) { return mItems[i]; }
    const T& operator[](size_t i) const { return mItems[i]; }
    T& operator[](size_t i) { return mItems[i]; }
    const T& top() const { return mItems.back(); }
    ssize_t add(const T& item) { mItems.push_back(item); return static_cast<ssize_t>(mItems.size() - 1); }
    ssize_t push(const T& item) { return add(item); }
    void pop() { mItems.pop_back(); }
    ssize_t insertAt(const T& item, size_t index) {
        mItems.insert(mItems.begin() + static_cast<ptrdiff_t>(index), item);
        return static_cast<ssize_t>(index);
    }
    ssize_t removeAt(size_t index) { return removeItemsAt(index, 1); }
    ssize_t removeItemsAt(size_t index, size_t count = 1) {
        if (index + count > mItems.size()) return -1;
        mItems.erase(mItems.begin() + static_cast<ptrdiff_t>(index), mItems.begin() + static_cast<ptrdiff_t>(index + count));
        return static_cast<ssize_t>(index);
    }
    void clear() { mItems.clear(); }
    typename std::vector<T>::iterator begin() { return mItems.begin(); }
    typename std::vector<T>::iterator end() { return mItems.end(); }
    typename std::vector<T>::const_iterator begin() const { return mItems.begin(); }
    typename std::vector<T>::const_iterator end() const { return mItems.end(); }

private:
    std::vector<T> mItems;
};

// Kept sorted; binary search.
template <typename T>
class SortedVector {
public:
    size_t size() const { return mItems.size(); }
    bool isEmpty() const { return mItems.empty(); }
    const T& itemAt(size_t i) const { return mItems[i]; }
    const T& operator[](size_t i) const { return mItems[i]; }
    ssize_t indexOf(const T& item) const {
        auto it = std::lower_bound(mItems.begin(), mItems.end(), item);
        if (it == mItems.end() || item < *it) return -2;
        return it - mItems.begin();
    }
    // Replaces an equal item.
    ssize_t add(const T& item) {
        auto it = std::lower_bound(mItems.begin(), mItems.end(), item);
        if (it != mItems.end() && !(item < *it)) {
            *it = item;
        } else {
            it = mItems.insert(it, item);
        }
        return it - mItems.begin();
    }
    ssize_t remove(const T& item) {
        ssize_t i = indexOf(item);
        if (i >= 0) mItems.erase(mItems.begin() + i);
        return i;
    }
    ssize_t removeItemsAt(size_t index, size_t count = 1) {
        if (index + count > mItems.size()) return -1;
        mItems.erase(mItems.begin() + static_cast<ptrdiff_t>(index), mItems.begin() + static_cast<ptrdiff_t>(index + count));
        return static_cast<ssize_t>(index);
    }
    void clear() { mItems.clear(); }

private:
    std::vector<T> mItems;
};

// A sorted vector of key/value pairs ordered by key.
template <typename K, typename V>
class KeyedVector {
public:
    size_t size() const { return mItems.size(); }
    bool isEmpty() const { return mItems.empty(); }
    // Negative when absent.
    ssize_t indexOfKey(const K& key) const {
        auto it = lowerBound(key);
        if (it == mItems.end() || key < it->first) return -2;
        return it - mItems.begin();
    }
    const K& keyAt(size_t i) const { return mItems[i].first; }
    const V& valueAt(size_t i) const { return mItems[i].second; }
    V& editValueAt(size_t i) { return mItems[i].second; }
    const V& valueFor(const K& key) const { return mItems[static_cast<size_t>(indexOfKey(key))].second; }
    // Replaces the value of an existing key.
    ssize_t add(const K& key, const V& value) {
        auto it = lowerBound(key);
        if (it != mItems.end() && !(key < it->first)) {
            it->second = value;
        } else {
            it = mItems.insert(it, std::make_pair(key, value));
        }
        return it - mItems.begin();
    }
    ssize_t replaceValueFor(const K& key, const V& value) { return add(key, value); }
    ssize_t removeItem(const K& key) {
        ssize_t i = indexOfKey(key);
        if (i >= 0) mItems.erase(mItems.begin() + i);
        return i;
    }
    ssize_t removeItemsAt(size_t index, size_t count = 1) {
        if (index + count > mItems.size()) return -1;
        mItems.erase(mItems.begin() + static_cast<ptrdiff_t>(index), mItems.begin() + static_cast<ptrdiff_t>(index + count));
        return static_cast<ssize_t>(index);
    }
    void clear() { mItems.clear(); }

private:
    typename std::vector<std::pair<K, V>>::const_iterator lowerBound(const K& key) const {
        return std::lower_bound(mItems.begin(), mItems.end(), key,
                                [](const std::pair<K, V>& a, const K& k) { return a.first < k; });
    }
    typename std::vector<std::pair<K, V>>::iterator lowerBound(const K& key) {
        return std::lower_bound(mItems.begin(), mItems.end(), key,
                                [](const std::pair<K, V>& a, const K& k) { return a.first < k; });
    }
    std::vector<std::pair<K, V>> mItems;
};

template <typename T>
using List = std::list<T>;

// A key and a value, ordered by key (header lists are SortedVector<KeyValuePair<Text8, Text8>>).
template <typename K, typename V>
struct KeyValuePair {
    KeyValuePair() = default;
    KeyValuePair(const K& k, const V& v) : key(k), value(v) {}
    bool operator<(const KeyValuePair& o) const { return key < o.key; }
    K key;
    V value;
};

}  // namespace velmor
