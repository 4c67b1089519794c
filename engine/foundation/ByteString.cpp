#include "engine/foundation/ByteString.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <strings.h>

namespace velmor {

void ByteString::append(int x) { mStr += std::to_string(x); }
void ByteString::append(unsigned x) { mStr += std::to_string(x); }
void ByteString::append(long x) { mStr += std::to_string(x); }
void ByteString::append(unsigned long x) { mStr += std::to_string(x); }
void ByteString::append(long long x) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%lld", x);
    mStr += buf;
}
void ByteString::append(unsigned long long x) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%llu", x);
    mStr += buf;
}
void ByteString::append(float x) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%f", static_cast<double>(x));
    mStr += buf;
}
void ByteString::append(double x) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%f", x);
    mStr += buf;
}
void ByteString::append(void* x) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%p", x);
    mStr += buf;
}

ByteString ByteString::substr(size_t start, size_t n) const {
    if (start >= mStr.size() || start + n > mStr.size()) return ByteString();
    return ByteString(mStr.substr(start, n));
}

void ByteString::insert(const ByteString& from, size_t insertionPos) {
    if (insertionPos > mStr.size()) return;
    mStr.insert(insertionPos, from.mStr);
}

void ByteString::insert(const char* from, size_t size, size_t insertionPos) {
    if (insertionPos > mStr.size()) return;
    mStr.insert(insertionPos, from, size);
}

ssize_t ByteString::find(const char* substring, size_t start) const {
    if (start > mStr.size()) return -1;
    const size_t pos = mStr.find(substring, start);
    return pos == std::string::npos ? -1 : static_cast<ssize_t>(pos);
}

void ByteString::trim() {
    size_t b = 0, e = mStr.size();
    while (b < e && isspace(static_cast<unsigned char>(mStr[b]))) ++b;
    while (e > b && isspace(static_cast<unsigned char>(mStr[e - 1]))) --e;
    mStr = mStr.substr(b, e - b);
}

void ByteString::tolower() {
    for (char& c : mStr) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
}

bool ByteString::startsWith(const char* prefix) const { return mStr.rfind(prefix, 0) == 0; }

bool ByteString::endsWith(const char* suffix) const {
    const std::string s(suffix);
    return mStr.size() >= s.size() && mStr.compare(mStr.size() - s.size(), s.size(), s) == 0;
}

bool ByteString::startsWithIgnoreCase(const char* prefix) const {
    const size_t n = strlen(prefix);
    return mStr.size() >= n && strncasecmp(mStr.c_str(), prefix, n) == 0;
}

size_t ByteString::hash() const { return std::hash<std::string>()(mStr); }

ByteString StringPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    char* buf = nullptr;
    const int n = vasprintf(&buf, format, ap);
    va_end(ap);
    ByteString result;
    if (n >= 0 && buf) result.setTo(buf, static_cast<size_t>(n));
    free(buf);
    return result;
}

}  // namespace velmor
