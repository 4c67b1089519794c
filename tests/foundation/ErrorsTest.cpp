#include <gtest/gtest.h>

#include <cstring>

#include "utils/Errors.h"

namespace velmor {
namespace {

// Names of single codes, the computed HTTP family and the gaps beside the families; numbers
// without a name are written into the caller's 24-byte scratch buffer, names are not.
TEST(Errors, StatusAndNotificationNames) {
    const std::pair<int32_t, const char*> cases[] = {
        {-1018, "ERROR_CONNECTION_LOST"}, {-6999, "ERROR_CODE(-6999)"}, {-7000, "ERROR_HTTP_STATUS(0)"},
        {httpStatusToError(404), "ERROR_HTTP_STATUS(404)"}, {-7999, "ERROR_HTTP_STATUS(999)"},
        {-8000, "ERROR_CODE(-8000)"}, {curlCodeToError(6), "ERROR_CURLE_COULDNT_RESOLVE_HOST"},
        {-8035, "ERROR_CODE(-8035)"}, {1, "MEDIA_ERROR_UNKNOWN"}, {INT32_MIN, "UNKNOWN_ERROR"},
        {INT32_MAX, "ERROR_CODE(2147483647)"}};
    for (const auto& [code, name] : cases) {
        char scratch[24];
        memset(scratch, 'x', sizeof(scratch));
        const char* text = StatusName(code, scratch);
        EXPECT_STREQ(name, text) << code;
        EXPECT_EQ(strchr(name, '(') != nullptr, text == scratch) << code;
    }
    EXPECT_STREQ("MEDIA_TIMED_TEXT", MediaEventName(99));
    EXPECT_STREQ("UNKNOWN", MediaEventName(101));
    char buf[12];
    EXPECT_STREQ("701", MediaInfoName(701, buf, true));  // numbers only
    EXPECT_STREQ("MEDIA_INFO_BUFFERING_START", MediaInfoName(701, buf, false));
    EXPECT_STREQ("-2147483648", MediaInfoName(INT32_MIN, buf, false));
}

}  // namespace
}  // namespace velmor
