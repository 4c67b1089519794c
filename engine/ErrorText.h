// The message table behind getErrorText. LookupErrorText, the lookup itself, is declared with
// PlaybackEngine, its only caller; this header adds what a checker of the table needs.
#pragma once

#include <cstdint>
#include <vector>

namespace velmor {

// The status codes that have a text of their own, in table order. The first is -1, whose text
// also answers for every code not listed. Every language holds a text for each of them.
std::vector<int32_t> ErrorTextCodes();

}  // namespace velmor
