// HTTP/1.1 message pieces for the agent service: parsing a request head, percent-decoding and
// splitting a query string, parsing a Range header and writing a response head.
//
// Everything here is pure (no sockets, no shared state), so any thread may call it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvagent {

// Status codes the agent answers with.
namespace http_status {
inline constexpr int kOk = 200;
inline constexpr int kPartialContent = 206;
inline constexpr int kFound = 302;
inline constexpr int kBadRequest = 400;
inline constexpr int kForbidden = 403;
inline constexpr int kNotFound = 404;
inline constexpr int kMethodNotAllowed = 405;
inline constexpr int kRequestTimeout = 408;
inline constexpr int kContentTooLarge = 413;
inline constexpr int kRangeNotSatisfiable = 416;
inline constexpr int kHeaderFieldsTooLarge = 431;
inline constexpr int kInternalServerError = 500;
inline constexpr int kServiceUnavailable = 503;
}  // namespace http_status

// A request head as parsed from the wire. Header names are lower-cased; a repeated header keeps
// its last value.
struct HttpRequest {
    std::string method;                         // "GET", "POST", "HEAD", ...
    std::string target;                         // request target as sent ("/a/b?x=1")
    std::string path;                           // percent-decoded path part of the target
    std::string rawQuery;                       // the query after '?', as sent
    std::map<std::string, std::string> query;   // decoded names -> decoded values
    int versionMinor = 1;                       // HTTP/1.<versionMinor>
    std::map<std::string, std::string> headers; // lower-case name -> value (trimmed)
    std::string body;                           // POST body (Content-Length bytes)
    int64_t arrivalRealtimeUs = 0;              // CLOCK_REALTIME when the head was complete

    const std::string* header(const std::string& lowerName) const;
    // The decoded query value, or nullptr when the name is absent.
    const std::string* param(const std::string& name) const;
    // Whether the connection stays open after the answer (HTTP/1.1 default unless
    // "Connection: close"; HTTP/1.0 only with "Connection: keep-alive").
    bool keepAlive() const;
};

enum class ParseResult {
    kOk,
    kBadRequest,  // malformed request line, header line, escape or Content-Length
};

// Parses the head (request line and header lines, without the blank line that ends it).
// Lines end in CRLF; a bare LF is accepted too.
ParseResult parseRequestHead(std::string_view head, HttpRequest* out);

// Percent-decodes text; '+' becomes a space when plusIsSpace. Returns nothing on a bad escape
// ('%' not followed by two hex digits) or a decoded NUL byte.
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace);

// Percent-encodes everything but unreserved characters; '/' is kept when keepSlash.
std::string percentEncode(std::string_view text, bool keepSlash);

// Splits "a=1&b=x%20y" into decoded pairs. Returns false on a bad escape.
bool parseQuery(std::string_view query, std::map<std::string, std::string>* out);

// One byte range resolved against a file size.
struct ByteRange {
    enum class Kind {
        kWhole,          // no usable Range header: serve everything with 200
        kPartial,        // serve [first, last] with 206
        kUnsatisfiable,  // answer 416
    };
    Kind kind = Kind::kWhole;
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
};

// Resolves a Range header value ("bytes=a-b", "bytes=a-", "bytes=-n") against size. A header
// that is not a single well-formed byte range is ignored (the whole file is served).
ByteRange resolveRange(const std::string* rangeHeader, uint64_t size);

// The reason phrase of a status code ("OK", "Partial Content", ...).
const char* reasonPhrase(int status);

// A response head: status line, the given header lines ("Name: value"), Connection and the
// blank line.
std::string responseHead(int status, const std::vector<std::string>& headers, bool keepAlive);

}  // namespace qvagent
