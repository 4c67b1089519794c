// The foundation layer's growable byte string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmor {

class ByteString {
public:
    ByteString() = default;
    ByteString(const char* s) : mStr(s ? s : "") {}  // NOLINT: implicit by design
    ByteString(const char* s, size_t size) : mStr(s, size) {}
    ByteString(const std::string& s) : mStr(s) {}  // NOLINT
    ByteString(const ByteString& from, size_t offset, size_t n) : mStr(from.mStr, offset, n) {}

    void setTo(const char* s) { mStr = s ? s : ""; }
    void setTo(const char* s, size_t size) { mStr.assign(s, size); }
    void setTo(const ByteString& from, size_t offset, size_t n) { mStr.assign(from.mStr, offset, n); }
    void clear() { mStr.clear(); }

    size_t size() const { return mStr.size(); }
    bool empty() const { return mStr.empty(); }
    const char* c_str() const { return mStr.c_str(); }
    char operator[](size_t i) const { return mStr[i]; }

    void append(char c) { mStr.push_back(c); }
    void append(const char* s) { if (s) mStr += s; }
    void append(const char* s, size_t size) { mStr.append(s, size); }
    void append(const ByteString& from) { mStr += from.mStr; }
    void append(const ByteString& from, size_t offset, size_t n) { mStr.append(from.mStr, offset, n); }
    void append(int x);
    void append(unsigned x);
    void append(long x);
    void append(unsigned long x);
    void append(long long x);
    void append(unsigned long long x);
    void append(float x);
    void append(double x);
    void append(void* x);

    // Requires start < size() and start + n <= size().
    ByteString substr(size_t start, size_t n) const;
    // Requires pos <= size().
    void insert(const ByteString& from, size_t insertionPos);
    void insert(const char* from, size_t size, size_t insertionPos);
    void erase(size_t start, size_t n) { mStr.erase(start, n); }

    ssize_t find(const char* substring, size_t start = 0) const;
    void trim();
    void tolower();
    bool startsWith(const char* prefix) const;
    bool endsWith(const char* suffix) const;
    bool startsWithIgnoreCase(const char* prefix) const;
    size_t hash() const;

    int compare(const ByteString& other) const { return mStr.compare(other.mStr); }
    bool operator==(const ByteString& o) const { return mStr == o.mStr; }
    bool operator!=(const ByteString& o) const { return mStr != o.mStr; }
    bool operator<(const ByteString& o) const { return mStr < o.mStr; }
    bool operator==(const char* o) const { return o && mStr == o; }

    const std::string& str() const { return mStr; }

private:
    std::string mStr;
};

ByteString StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmor
