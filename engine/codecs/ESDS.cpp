#define LOG_TAG "VEL_ESDS"

#include "engine/codecs/ESDS.h"

#include <cstdlib>
#include <cstring>

#include "utils/Log.h"

namespace velmor {

ESDS::ESDS(const void* data, size_t size)
    : mData(static_cast<uint8_t*>(malloc(size > 0 ? size : 1))), mSize(size), mInitCheck(ERROR_MALFORMED),
      mDecoderSpecificOffset(0), mDecoderSpecificLength(0), mObjectTypeIndication(0) {
    if (mData == nullptr) {
        mSize = 0;
        return;
    }
    if (size > 0) memcpy(mData, data, size);
    mInitCheck = parse();
}

ESDS::~ESDS() { free(mData); }

status_t ESDS::getObjectTypeIndication(uint8_t* objectType) const {
    if (mInitCheck != OK) return mInitCheck;
    *objectType = mObjectTypeIndication;
    return OK;
}

status_t ESDS::getCodecSpecificInfo(const void** data, size_t* size) const {
    if (mInitCheck != OK) return mInitCheck;
    *data = mData + mDecoderSpecificOffset;
    *size = mDecoderSpecificLength;
    return OK;
}

// A descriptor: one tag byte, then a length in 7-bit groups, high bit = more to come.
status_t ESDS::skipDescriptorHeader(size_t offset, size_t size, uint8_t* tag, size_t* dataOffset,
                                    size_t* dataSize) const {
    if (size == 0) return ERROR_MALFORMED;
    *tag = mData[offset++];
    --size;
    *dataSize = 0;
    bool more;
    int groups = 0;
    do {
        if (size == 0 || ++groups > 4) return ERROR_MALFORMED;
        uint8_t x = mData[offset++];
        --size;
        *dataSize = (*dataSize << 7) | (x & 0x7f);
        more = (x & 0x80) != 0;
    } while (more);
    if (*dataSize > size) return ERROR_MALFORMED;
    *dataOffset = offset;
    return OK;
}

status_t ESDS::parse() {
    if (mSize < 3) return ERROR_MALFORMED;
    uint8_t tag;
    size_t dataOffset, dataSize;
    status_t err = skipDescriptorHeader(0, mSize, &tag, &dataOffset, &dataSize);
    if (err != OK) return err;
    if (tag != kTag_ESDescriptor) return ERROR_MALFORMED;
    return parseESDescriptor(dataOffset, dataSize);
}

status_t ESDS::parseESDescriptor(size_t offset, size_t size) {
    if (size < 3) return ERROR_MALFORMED;
    offset += 2;  // ES_ID
    size -= 2;
    uint8_t flags = mData[offset++];
    --size;
    if (flags & 0x80) {  // streamDependenceFlag
        if (size < 2) return ERROR_MALFORMED;
        offset += 2;
        size -= 2;
    }
    if (flags & 0x40) {  // URL_Flag
        if (size < 1) return ERROR_MALFORMED;
        size_t urlLength = mData[offset];
        if (size < 1 + urlLength) return ERROR_MALFORMED;
        offset += 1 + urlLength;
        size -= 1 + urlLength;
    }
    if (flags & 0x20) {  // OCRstreamFlag
        if (size < 2) return ERROR_MALFORMED;
        offset += 2;
        size -= 2;
        if ((size == 0 || mData[offset] != kTag_DecoderConfigDescriptor) && mData[offset - 2] == kTag_DecoderConfigDescriptor) {
            // Some writers set the flag without writing the OCR_ES_Id.
            offset -= 2;
            size += 2;
            VLOGW("Found malformed 'esds' atom, ignoring missing OCR_ES_Id.");
        }
    }
    if (size == 0) return ERROR_MALFORMED;
    uint8_t tag;
    size_t dataOffset, dataSize;
    status_t err = skipDescriptorHeader(offset, size, &tag, &dataOffset, &dataSize);
    if (err != OK) return err;
    if (tag != kTag_DecoderConfigDescriptor) return ERROR_MALFORMED;
    return parseDecoderConfigDescriptor(dataOffset, dataSize);
}

status_t ESDS::parseDecoderConfigDescriptor(size_t offset, size_t size) {
    // objectTypeIndication, streamType/upStream, bufferSizeDB (3), maxBitrate (4), avgBitrate (4).
    if (size < 13) return ERROR_MALFORMED;
    mObjectTypeIndication = mData[offset];
    offset += 13;
    size -= 13;
    if (size == 0) {
        mDecoderSpecificOffset = 0;
        mDecoderSpecificLength = 0;
        return OK;
    }
    uint8_t tag;
    size_t dataOffset, dataSize;
    status_t err = skipDescriptorHeader(offset, size, &tag, &dataOffset, &dataSize);
    if (err != OK) return err;
    if (tag != kTag_DecoderSpecificInfo) return ERROR_MALFORMED;
    mDecoderSpecificOffset = dataOffset;
    mDecoderSpecificLength = dataSize;
    return OK;
}

}  // namespace velmor
