// Turning a subtitle cue, as the engine delivers it, into lines a person can read.
//
// The engine hands the host each cue as the subtitle file's own bytes in the file's own
// character set, lightly reshaped by format:
//   SubRip   "Hello<BR>World<BR><BR>"              (every line followed by <BR>)
//   WebVTT   " align:start size:50%<TAG>Hi<BR>there" (cue settings, "<TAG>", lines joined by <BR>)
//   SAMI     "<P Class=KRCC><font color=\"yellow\">Hi</font><br>there\r\n" (a raw HTML fragment)
// The host decodes the bytes to UTF-8 (decodeToUtf8, with the character set detectCharset
// finds) and then shapes the text (shapeCue): markup removed, <BR>/<br>/<P> become line breaks,
// entities resolved, white space collapsed.
//
// Every function here is pure: no shared state, safe on any thread. Any input, however broken,
// gives a result; nothing throws.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvplay {

// The character set the engine assumes when detection finds nothing.
inline constexpr const char* kDefaultCharset = "EUC-KR";

// True when the bytes are well-formed UTF-8 (overlong forms, surrogates and values past
// U+10FFFF are not). An empty text is valid.
bool isValidUtf8(std::string_view bytes);

// The character set of a subtitle file's bytes (or of the cue bytes seen so far): "UTF-8" when
// they are valid UTF-8 (a leading byte-order mark included); otherwise libchardet's answer over
// the bytes; an empty answer is kDefaultCharset. Korean text that uses the characters CP949 adds
// to EUC-KR throws libchardet off (it then guesses a Cyrillic or Latin set with low confidence):
// when the guess is not confident and the bytes read cleanly as CP949 with Korean characters in
// them, the answer is "CP949".
std::string detectCharset(std::string_view bytes);

// The bytes converted from `charset` to UTF-8 with iconv. Names are widened to the superset the
// files are really written in (EUC-KR → CP949, Shift_JIS → CP932, ISO-8859-1 and ASCII →
// WINDOWS-1252, GB2312 → GB18030); a leading UTF-8 byte-order mark is dropped. Bytes the
// character set rejects are skipped one at a time; a name iconv does not know decodes as
// UTF-8 with the invalid bytes skipped.
std::string decodeToUtf8(std::string_view bytes, const std::string& charset);

// The display lines of a decoded cue. Empty when nothing visible is left (a SAMI "&nbsp;"
// clearing cue, a cue of tags only): the host then clears the caption.
std::vector<std::string> shapeCue(std::string_view utf8);

// The lines joined with " / ", for a one-line terminal display.
std::string joinLines(const std::vector<std::string>& lines);

}  // namespace qvplay
