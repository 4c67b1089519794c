#include "engine/foundation/hexdump.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "engine/foundation/ByteString.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_hexdump"

namespace velmor {

namespace {
const char kSpaces[] =
    "                                                                                ";  // 80
}

void hexdump(const void* data, size_t size, size_t indent, ByteString* appendTo) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (indent > 80) indent = 80;
    for (size_t offset = 0; offset < size; offset += 16) {
        ByteString line(kSpaces, indent);
        char buf[32];
        snprintf(buf, sizeof(buf), "%08lx:  ", static_cast<unsigned long>(offset));
        line.append(buf);
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8) line.append(' ');
            if (offset + i >= size) {
                line.append("   ");
            } else {
                snprintf(buf, sizeof(buf), "%02x ", bytes[offset + i]);
                line.append(buf);
            }
        }
        line.append(' ');
        for (size_t i = 0; i < 16 && offset + i < size; ++i) {
            const int c = bytes[offset + i];
            line.append(isprint(c) ? static_cast<char>(c) : '.');
        }
        if (appendTo) {
            appendTo->append(line);
            appendTo->append("\n");
        } else {
            log(LOG_INFO, LOG_TAG, "%s", line.c_str());
        }
    }
}

}  // namespace velmor
