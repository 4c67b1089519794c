// Hexadecimal dump, 16 bytes per line: indent, "%08lx:  ", the bytes, then their printable form.
#pragma once

#include <cstddef>

namespace velmor {

class ByteString;

// Appends each line and "\n" to appendTo, or logs each line at info level (tag "VEL_hexdump")
// when appendTo is null. indent must stay below 81.
void hexdump(const void* data, size_t size, size_t indent = 0, ByteString* appendTo = nullptr);

}  // namespace velmor
