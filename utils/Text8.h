// An immutable-by-default byte string with an explicit length.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace velmor {

class Text8 {
public:
    Text8() = default;
    Text8(const char* s) : mStr(s ? s : "") {}  // NOLINT: implicit by design
    Text8(const char* s, size_t len) : mStr(s ? std::string(s, len) : std::string()) {}
    Text8(const std::string& s) : mStr(s) {}  // NOLINT

    void setTo(const char* s) { mStr = s ? s : ""; }
    void setTo(const char* s, size_t len) { mStr.assign(s, len); }
    void setTo(const Text8& o) { mStr = o.mStr; }
    void append(const char* s) { if (s) mStr += s; }
    void append(const char* s, size_t len) { mStr.append(s, len); }
    void append(const Text8& o) { mStr += o.mStr; }
    void clear() { mStr.clear(); }

    const char* string() const { return mStr.c_str(); }
    const char* c_str() const { return mStr.c_str(); }
    size_t length() const { return mStr.size(); }
    size_t size() const { return mStr.size(); }
    bool isEmpty() const { return mStr.empty(); }
    int compare(const Text8& o) const { return mStr.compare(o.mStr); }
    bool operator==(const Text8& o) const { return mStr == o.mStr; }
    bool operator!=(const Text8& o) const { return mStr != o.mStr; }
    bool operator<(const Text8& o) const { return mStr < o.mStr; }
    const std::string& std() const { return mStr; }

private:
    std::string mStr;
};

}  // namespace velmor
