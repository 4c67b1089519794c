#include "HttpMessage.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qvagent {

namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kBytesUnit = "bytes=";
constexpr size_t kMaxBodyBytes = 1 << 20;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A token character of RFC 9110 (method and header names).
bool isTokenChar(unsigned char c) {
    if (std::isalnum(c)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool parseUnsigned(std::string_view text, uint64_t* out) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parseRequestLine(std::string_view line, HttpRequest* out) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0) return false;
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return false;
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    for (char c : method) {
        if (!isTokenChar(static_cast<unsigned char>(c))) return false;
    }
    for (char c : target) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f) return false;
    }
    if (target.front() != '/') return false;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
    out->method = std::string(method);
    out->target = std::string(target);
    out->versionMinor = version.back() - '0';

    size_t question = target.find('?');
    std::string_view pathPart = target.substr(0, question);
    std::optional<std::string> path = percentDecode(pathPart, false);
    if (!path) return false;
    out->path = std::move(*path);
    out->rawQuery = question == std::string_view::npos ? std::string() : std::string(target.substr(question + 1));
    return parseQuery(out->rawQuery, &out->query);
}

}  // namespace

const std::string* HttpRequest::header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? nullptr : &it->second;
}

const std::string* HttpRequest::param(const std::string& name) const {
    auto it = query.find(name);
    return it == query.end() ? nullptr : &it->second;
}

bool HttpRequest::keepAlive() const {
    const std::string* connection = header("connection");
    std::string value = connection != nullptr ? lower(*connection) : std::string();
    if (versionMinor == 0) return value.find("keep-alive") != std::string::npos;
    return value.find("close") == std::string::npos;
}

ParseResult parseRequestHead(std::string_view head, HttpRequest* out) {
    bool first = true;
    while (!head.empty()) {
        size_t end = head.find('\n');
        std::string_view line = head.substr(0, end);
        head = end == std::string_view::npos ? std::string_view() : head.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos) {
            return ParseResult::kBadRequest;
        }
        if (first) {
            if (!parseRequestLine(line, out)) return ParseResult::kBadRequest;
            first = false;
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return ParseResult::kBadRequest;
        std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (!isTokenChar(static_cast<unsigned char>(c))) return ParseResult::kBadRequest;
        }
        out->headers[lower(name)] = std::string(trim(line.substr(colon + 1)));
    }
    if (first) return ParseResult::kBadRequest;
    if (const std::string* length = out->header("content-length")) {
        uint64_t bytes = 0;
        if (!parseUnsigned(*length, &bytes) || bytes > kMaxBodyBytes) return ParseResult::kBadRequest;
    }
    // Chunked request bodies are not used by the player; refusing them keeps framing simple.
    if (out->header("transfer-encoding") != nullptr) return ParseResult::kBadRequest;
    return ParseResult::kOk;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            char decoded = static_cast<char>(hi * 16 + lo);
            if (decoded == '\0') return std::nullopt;
            out.push_back(decoded);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string percentEncode(std::string_view text, bool keepSlash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~' || (keepSlash && c == '/')) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0xf]);
        }
    }
    return out;
}

bool parseQuery(std::string_view query, std::map<std::string, std::string>* out) {
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');
        std::optional<std::string> name = percentDecode(pair.substr(0, eq), true);
        std::optional<std::string> value =
            percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
        if (!name || !value) return false;
        (*out)[*name] = std::move(*value);
    }
    return true;
}

ByteRange resolveRange(const std::string* rangeHeader, uint64_t size) {
    ByteRange whole;
    if (rangeHeader == nullptr) return whole;
    std::string_view ranges = trim(*rangeHeader);
    if (ranges.size() < kBytesUnit.size() || lower(ranges.substr(0, kBytesUnit.size())) != kBytesUnit) return whole;
    ranges = trim(ranges.substr(kBytesUnit.size()));
    if (ranges.find(',') != std::string_view::npos) return whole;  // several ranges: send it all
    size_t dash = ranges.find('-');
    if (dash == std::string_view::npos) return whole;
    std::string_view firstText = trim(ranges.substr(0, dash));
    std::string_view lastText = trim(ranges.substr(dash + 1));

    ByteRange range;
    range.kind = ByteRange::Kind::kPartial;
    if (firstText.empty()) {
        uint64_t suffix = 0;
        if (!parseUnsigned(lastText, &suffix)) return whole;
        if (suffix == 0 || size == 0) {
            range.kind = ByteRange::Kind::kUnsatisfiable;
            return range;
        }
        range.first = suffix >= size ? 0 : size - suffix;
        range.last = size - 1;
        return range;
    }
    uint64_t first = 0;
    if (!parseUnsigned(firstText, &first)) return whole;
    uint64_t last = size == 0 ? 0 : size - 1;
    if (!lastText.empty()) {
        uint64_t asked = 0;
        if (!parseUnsigned(lastText, &asked) || asked < first) return whole;
        last = std::min(asked, last);
    }
    if (first >= size) {
        range.kind = ByteRange::Kind::kUnsatisfiable;
        return range;
    }
    range.first = first;
    range.last = last;
    return range;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case http_status::kOk: return "OK";
        case http_status::kPartialContent: return "Partial Content";
        case http_status::kFound: return "Found";
        case http_status::kBadRequest: return "Bad Request";
        case http_status::kForbidden: return "Forbidden";
        case http_status::kNotFound: return "Not Found";
        case http_status::kMethodNotAllowed: return "Method Not Allowed";
        case http_status::kRequestTimeout: return "Request Timeout";
        case http_status::kContentTooLarge: return "Content Too Large";
        case http_status::kRangeNotSatisfiable: return "Range Not Satisfiable";
        case http_status::kHeaderFieldsTooLarge: return "Request Header Fields Too Large";
        case http_status::kInternalServerError: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case http_status::kServiceUnavailable: return "Service Unavailable";
        default:
            if (status >= http_status::kInternalServerError) return "Error";
            return status >= http_status::kBadRequest ? "Client Error" : "Status";
    }
}

std::string responseHead(int status, const std::vector<std::string>& headers, bool keepAlive) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + std::string(kCrlf);
    for (const std::string& line : headers) {
        head += line;
        head += kCrlf;
    }
    head += keepAlive ? "Connection: keep-alive" : "Connection: close";
    head += kCrlf;
    head += kCrlf;
    return head;
}

}  // namespace qvagent
