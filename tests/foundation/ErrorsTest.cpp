#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "utils/Errors.h"

namespace velmor {
namespace {

std::string status(int32_t s) {
    char scratch[24];
    memset(scratch, 'x', sizeof(scratch));
    return StatusName(s, scratch);
}

TEST(Errors, StatusNames) {
    EXPECT_EQ("ERROR_CODE(0)", status(OK));
    EXPECT_EQ("UNKNOWN_ERROR", status(INT32_MIN));
    EXPECT_EQ("TIMED_OUT", status(INT32_MIN + 5));
    EXPECT_EQ("UNKNOWN_TRANSACTION", status(INT32_MIN + 6));
    EXPECT_EQ("ERROR_CODE(-2147483641)", status(INT32_MIN + 7));
    EXPECT_EQ("INVALID_OPERATION", status(-40));
    EXPECT_EQ("NAME_NOT_FOUND", status(-2));
    EXPECT_EQ("PERMISSION_DENIED", status(-1));
    EXPECT_EQ("ERROR_ALREADY_CONNECTED", status(-1000));
    EXPECT_EQ("ERROR_CODE(-1001)", status(-1001));
    EXPECT_EQ("ERROR_END_OF_STREAM", status(-1011));
    EXPECT_EQ("ERROR_CONNECTION_LOST", status(-1018));
    EXPECT_EQ("ERROR_CODE(-1017)", status(-1017));
    EXPECT_EQ("USER_STOP", status(-1100));
    EXPECT_EQ("ERROR_NOT_CONNECTED", status(2250));
    EXPECT_EQ("ERROR_CON_MSG_BIND", status(-4106));
    EXPECT_EQ("ERROR_CODE(-4003)", status(-4003));
    EXPECT_EQ("ERROR_SEND_ONLINE", status(-5099));
    EXPECT_EQ("RECV_SHORTAGE_MEMORY", status(-6002));
    EXPECT_EQ("ERROR_RECV_ONLINE", status(-6099));

    // HTTP family: the whole block, and nothing outside it.
    EXPECT_EQ("ERROR_HTTP_STATUS(0)", status(-7000));
    EXPECT_EQ("ERROR_HTTP_STATUS(404)", status(httpStatusToError(404)));
    EXPECT_EQ("ERROR_HTTP_STATUS(999)", status(-7999));
    EXPECT_EQ("ERROR_CODE(-6999)", status(-6999));

    // libcurl family: only the four named members have names.
    EXPECT_EQ("ERROR_CODE(-8000)", status(-8000));
    EXPECT_EQ("ERROR_CURLE_COULDNT_RESOLVE_HOST", status(curlCodeToError(6)));
    EXPECT_EQ("ERROR_CURLE_COULDNT_CONNECT", status(-8007));
    EXPECT_EQ("ERROR_CURLE_OPERATION_TIMEDOUT", status(-8028));
    EXPECT_EQ("ERROR_CURLE_RECV_ERROR", status(-8056));
    EXPECT_EQ("ERROR_CODE(-8035)", status(-8035));

    EXPECT_EQ("ERROR_CREATE_DIRECTORY", status(-8600));
    EXPECT_EQ("ERROR_PARSE_CONTENT_INFO_LINK", status(-8633));
    EXPECT_EQ("ERROR_CODE(-8634)", status(-8634));
    EXPECT_EQ("ERROR_NOT_VAILD_CONTENTS_INFO", status(-8646));
    EXPECT_EQ("ERROR_NOT_ALLOW_DOWNLOAD", status(-8650));
    EXPECT_EQ("INFO_NETWORK_TIMEOUT", status(-8899));

    // The MEDIA_ERROR_* sub-codes share the lookup.
    EXPECT_EQ("MEDIA_ERROR_UNKNOWN", status(1));
    EXPECT_EQ("MEDIA_ERROR_SERVER_DIED", status(100));
    EXPECT_EQ("MEDIA_ERROR_NOT_VALID_FOR_PROGRESSIVE_PLAYBACK", status(200));
    EXPECT_EQ("ERROR_CODE(2)", status(2));

    // The widest formatted value fits the caller's 24 bytes.
    char scratch[24];
    const char* text = StatusName(INT32_MAX, scratch);
    EXPECT_EQ(scratch, text);
    EXPECT_STREQ("ERROR_CODE(2147483647)", text);
    // A named code does not need the scratch buffer.
    EXPECT_NE(scratch, StatusName(-1004, scratch));
}

TEST(Errors, MediaEventAndInfoNames) {
    EXPECT_STREQ("MEDIA_NOP", MediaEventName(0));
    EXPECT_STREQ("MEDIA_PREPARED", MediaEventName(1));
    EXPECT_STREQ("MEDIA_INFO_TIMED_TEXT_DETECTED", MediaEventName(6));
    EXPECT_STREQ("MEDIA_SKIPPED", MediaEventName(10));
    EXPECT_STREQ("UNKNOWN", MediaEventName(11));
    EXPECT_STREQ("MEDIA_TIMED_TEXT", MediaEventName(99));
    EXPECT_STREQ("MEDIA_ERROR", MediaEventName(100));
    EXPECT_STREQ("MEDIA_INFO", MediaEventName(200));
    EXPECT_STREQ("UNKNOWN", MediaEventName(-1));
    EXPECT_STREQ("UNKNOWN", MediaEventName(101));

    char buf[12];
    EXPECT_STREQ("701", MediaInfoName(701, buf, true));
    EXPECT_STREQ("MEDIA_INFO_BUFFERING_START", MediaInfoName(701, buf, false));
    const char* four = MediaInfoName(4, buf, false);
    EXPECT_EQ(buf, four);
    EXPECT_STREQ("4", four);
    EXPECT_STREQ("MEDIA_INFO_UNKNOWN", MediaInfoName(1, buf, false));
    EXPECT_STREQ("MEDIA_INFO_NETWORK_BANDWIDTH", MediaInfoName(703, buf, false));
    EXPECT_STREQ("MEDIA_INFO_METADATA_UPDATE", MediaInfoName(802, buf, false));
    EXPECT_STREQ("MEDIA_INFO_TIMED_TEXT_ERROR", MediaInfoName(900, buf, false));
    EXPECT_STREQ("-2147483648", MediaInfoName(INT32_MIN, buf, false));
}

}  // namespace
}  // namespace velmor
