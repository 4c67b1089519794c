// Parser for an MPEG-4 ES_Descriptor (ISO/IEC 14496-1): finds the DecoderSpecificInfo, the codec
// configuration bytes both FFmpeg decoders use as extradata when no codec context is handed over.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/Errors.h"

namespace velmor {

class ESDS {
public:
    // The bytes are copied.
    ESDS(const void* data, size_t size);
    ~ESDS();

    // OK, or ERROR_MALFORMED for any inconsistency.
    status_t InitCheck() const { return mInitCheck; }
    status_t getObjectTypeIndication(uint8_t* objectType) const;
    // Points into this object.
    status_t getCodecSpecificInfo(const void** data, size_t* size) const;

private:
    ESDS(const ESDS&) = delete;
    ESDS& operator=(const ESDS&) = delete;

    status_t parse();
    status_t skipDescriptorHeader(size_t offset, size_t size, uint8_t* tag, size_t* dataOffset,
                                  size_t* dataSize) const;
    status_t parseESDescriptor(size_t offset, size_t size);
    status_t parseDecoderConfigDescriptor(size_t offset, size_t size);

    enum { kTag_ESDescriptor = 3, kTag_DecoderConfigDescriptor = 4, kTag_DecoderSpecificInfo = 5 };

    uint8_t* mData;
    size_t mSize;
    status_t mInitCheck;
    size_t mDecoderSpecificOffset;
    size_t mDecoderSpecificLength;
    uint8_t mObjectTypeIndication;
};

}  // namespace velmor
