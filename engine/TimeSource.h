// The media clock: the audio player while audio plays, the system clock otherwise.
#pragma once

#include <cstdint>

#include "utils/Log.h"

namespace velmor {

class TimeSource {
public:
    TimeSource() = default;
    virtual ~TimeSource() = default;
    virtual int64_t getRealTimeUs() = 0;

private:
    TimeSource(const TimeSource&) = delete;
    TimeSource& operator=(const TimeSource&) = delete;
};

class SystemTimeSource : public TimeSource {
public:
    SystemTimeSource() : mStartTimeUs(GetNowUs()) {}
    int64_t getRealTimeUs() override { return GetNowUs() - mStartTimeUs; }

private:
    int64_t mStartTimeUs;
};

}  // namespace velmor
