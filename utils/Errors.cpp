#include "utils/Errors.h"

#include <cstdio>

namespace velmor {

const char* MediaEventName(int32_t msg) {
    switch (msg) {
        case MEDIA_NOP: return "MEDIA_NOP";
        case MEDIA_PREPARED: return "MEDIA_PREPARED";
        case MEDIA_PLAYBACK_COMPLETE: return "MEDIA_PLAYBACK_COMPLETE";
        case MEDIA_BUFFERING_UPDATE: return "MEDIA_BUFFERING_UPDATE";
        case MEDIA_SEEK_COMPLETE: return "MEDIA_SEEK_COMPLETE";
        case MEDIA_SET_VIDEO_SIZE: return "MEDIA_SET_VIDEO_SIZE";
        case MEDIA_INFO_TIMED_TEXT_DETECTED: return "MEDIA_INFO_TIMED_TEXT_DETECTED";
        case MEDIA_STARTED: return "MEDIA_STARTED";
        case MEDIA_PAUSED: return "MEDIA_PAUSED";
        case MEDIA_STOPPED: return "MEDIA_STOPPED";
        case MEDIA_SKIPPED: return "MEDIA_SKIPPED";
        case MEDIA_TIMED_TEXT: return "MEDIA_TIMED_TEXT";
        case MEDIA_ERROR: return "MEDIA_ERROR";
        case MEDIA_INFO: return "MEDIA_INFO";
        default: return "UNKNOWN";
    }
}

const char* MediaInfoName(int32_t ext1, char* scratch, bool numericOnly) {
    if (!numericOnly) {
        switch (ext1) {
            case MEDIA_INFO_UNKNOWN: return "MEDIA_INFO_UNKNOWN";
            case MEDIA_INFO_STARTED_AS_NEXT: return "MEDIA_INFO_STARTED_AS_NEXT";
            case MEDIA_INFO_RENDERING_START: return "MEDIA_INFO_RENDERING_START";
            case MEDIA_INFO_VIDEO_TRACK_LAGGING: return "MEDIA_INFO_VIDEO_TRACK_LAGGING";
            case MEDIA_INFO_BUFFERING_START: return "MEDIA_INFO_BUFFERING_START";
            case MEDIA_INFO_BUFFERING_END: return "MEDIA_INFO_BUFFERING_END";
            case MEDIA_INFO_NETWORK_BANDWIDTH: return "MEDIA_INFO_NETWORK_BANDWIDTH";
            case MEDIA_INFO_BAD_INTERLEAVING: return "MEDIA_INFO_BAD_INTERLEAVING";
            case MEDIA_INFO_NOT_SEEKABLE: return "MEDIA_INFO_NOT_SEEKABLE";
            case MEDIA_INFO_METADATA_UPDATE: return "MEDIA_INFO_METADATA_UPDATE";
            case MEDIA_INFO_TIMED_TEXT_ERROR: return "MEDIA_INFO_TIMED_TEXT_ERROR";
            default: break;
        }
    }
    snprintf(scratch, 12, "%d", ext1);
    return scratch;
}

namespace {

const char* knownStatusName(int32_t status) {
    switch (status) {
        case UNKNOWN_ERROR: return "UNKNOWN_ERROR";
        case BAD_TYPE: return "BAD_TYPE";
        case FAILED_TRANSACTION: return "FAILED_TRANSACTION";
        case NOT_ENOUGH_DATA: return "NOT_ENOUGH_DATA";
        case WOULD_BLOCK: return "WOULD_BLOCK";
        case TIMED_OUT: return "TIMED_OUT";
        case UNKNOWN_TRANSACTION: return "UNKNOWN_TRANSACTION";
        case INVALID_OPERATION: return "INVALID_OPERATION";
        case DEAD_OBJECT: return "DEAD_OBJECT";
        case BAD_VALUE: return "BAD_VALUE";
        case NO_INIT: return "NO_INIT";
        case ALREADY_EXISTS: return "ALREADY_EXISTS";
        case NO_MEMORY: return "NO_MEMORY";
        case BAD_INDEX: return "BAD_INDEX";
        case NAME_NOT_FOUND: return "NAME_NOT_FOUND";
        case PERMISSION_DENIED: return "PERMISSION_DENIED";
        case ERROR_ALREADY_CONNECTED: return "ERROR_ALREADY_CONNECTED";
        case ERROR_UNKNOWN_HOST: return "ERROR_UNKNOWN_HOST";
        case ERROR_CANNOT_CONNECT: return "ERROR_CANNOT_CONNECT";
        case ERROR_IO: return "ERROR_IO";
        case ERROR_MALFORMED: return "ERROR_MALFORMED";
        case ERROR_OUT_OF_RANGE: return "ERROR_OUT_OF_RANGE";
        case ERROR_BUFFER_TOO_SMALL: return "ERROR_BUFFER_TOO_SMALL";
        case ERROR_UNSUPPORTED: return "ERROR_UNSUPPORTED";
        case ERROR_END_OF_STREAM: return "ERROR_END_OF_STREAM";
        case INFO_FORMAT_CHANGED: return "INFO_FORMAT_CHANGED";
        case INFO_DISCONTINUITY: return "INFO_DISCONTINUITY";
        case INFO_OUTPUT_BUFFERS_CHANGED: return "INFO_OUTPUT_BUFFERS_CHANGED";
        case ERROR_NO_AUDIO: return "ERROR_NO_AUDIO";
        case ERROR_RECODE_PROGRAM: return "ERROR_RECODE_PROGRAM";
        case ERROR_CONNECTION_LOST: return "ERROR_CONNECTION_LOST";
        case USER_STOP: return "USER_STOP";
        case ERROR_CODEC_INIT: return "ERROR_CODEC_INIT";
        case ERROR_CODEC_DECODE: return "ERROR_CODEC_DECODE";
        case ERROR_NOT_CONNECTED: return "ERROR_NOT_CONNECTED";
        case ERROR_CONNECT: return "ERROR_CONNECT";
        case ERROR_CON_SHORTAGE_MEMORY: return "ERROR_CON_SHORTAGE_MEMORY";
        case ERROR_INVALIDPEER: return "ERROR_INVALIDPEER";
        case ERROR_PEERINFO: return "ERROR_PEERINFO";
        case ERROR_SERVERERROR: return "ERROR_SERVERERROR";
        case ERROR_CONNECTION_FAIL: return "ERROR_CONNECTION_FAIL";
        case ERROR_NOT_ENOUGH_HANDLE: return "ERROR_NOT_ENOUGH_HANDLE";
        case ERROR_SAME_GROUP: return "ERROR_SAME_GROUP";
        case ERROR_CON_ONLINE: return "ERROR_CON_ONLINE";
        case ERROR_CON_LOCK_FAIL: return "ERROR_CON_LOCK_FAIL";
        case ERROR_CON_SOCKET_IO: return "ERROR_CON_SOCKET_IO";
        case ERROR_CON_MESSAGE: return "ERROR_CON_MESSAGE";
        case ERROR_CON_TIMEOUT: return "ERROR_CON_TIMEOUT";
        case ERROR_CON_MSG_BIND: return "ERROR_CON_MSG_BIND";
        case ERROR_SEND: return "ERROR_SEND";
        case ERROR_SEND_CON_ID: return "ERROR_SEND_CON_ID";
        case ERROR_SEND_PARAM: return "ERROR_SEND_PARAM";
        case ERROR_USER_STOP: return "ERROR_USER_STOP";
        case ERROR_SEND_DISCONNECT: return "ERROR_SEND_DISCONNECT";
        case ERROR_SEND_SOCKET_IO: return "ERROR_SEND_SOCKET_IO";
        case ERROR_SEND_UNKNOWN: return "ERROR_SEND_UNKNOWN";
        case ERROR_SEND_ONLINE: return "ERROR_SEND_ONLINE";
        case ERROR_RECV: return "ERROR_RECV";
        case ERROR_RECV_CON_ID: return "ERROR_RECV_CON_ID";
        case RECV_SHORTAGE_MEMORY: return "RECV_SHORTAGE_MEMORY";
        case ERROR_RECV_TIMEOUT: return "ERROR_RECV_TIMEOUT";
        case ERROR_RECV_DISCONNECT: return "ERROR_RECV_DISCONNECT";
        case ERROR_RECV_SOCKET_IO: return "ERROR_RECV_SOCKET_IO";
        case ERROR_RECV_UNKNOWN: return "ERROR_RECV_UNKNOWN";
        case ERROR_RECV_PARAM: return "ERROR_RECV_PARAM";
        case ERROR_RECV_ONLINE: return "ERROR_RECV_ONLINE";
        case ERROR_CURLE_COULDNT_RESOLVE_HOST: return "ERROR_CURLE_COULDNT_RESOLVE_HOST";
        case ERROR_CURLE_COULDNT_CONNECT: return "ERROR_CURLE_COULDNT_CONNECT";
        case ERROR_CURLE_OPERATION_TIMEDOUT: return "ERROR_CURLE_OPERATION_TIMEDOUT";
        case ERROR_CURLE_RECV_ERROR: return "ERROR_CURLE_RECV_ERROR";
        case ERROR_CREATE_DIRECTORY: return "ERROR_CREATE_DIRECTORY";
        case ERROR_CREATE_FILE: return "ERROR_CREATE_FILE";
        case ERROR_SAVE_DATA: return "ERROR_SAVE_DATA";
        case ERROR_OPEN_DB: return "ERROR_OPEN_DB";
        case ERROR_CREATE_TABLE: return "ERROR_CREATE_TABLE";
        case ERROR_SELECT_TABLE: return "ERROR_SELECT_TABLE";
        case ERROR_DELETE_RECORD: return "ERROR_DELETE_RECORD";
        case ERROR_INSERT_RECORD: return "ERROR_INSERT_RECORD";
        case ERROR_OPEN_FILE: return "ERROR_OPEN_FILE";
        case ERROR_OUT_OF_MEMORY: return "ERROR_OUT_OF_MEMORY";
        case ERROR_READ_FILE: return "ERROR_READ_FILE";
        case ERROR_WRITE_FILE: return "ERROR_WRITE_FILE";
        case ERROR_ABNORMAL_GATEWAY_INFO: return "ERROR_ABNORMAL_GATEWAY_INFO";
        case ERROR_PARAM_VALUE: return "ERROR_PARAM_VALUE";
        case ERROR_NOT_LOAD: return "ERROR_NOT_LOAD";
        case ERROR_CANCEL_DOWNLOAD: return "ERROR_CANCEL_DOWNLOAD";
        case ERROR_NETWORK: return "ERROR_NETWORK";
        case ERROR_GET_CONTENTS_LENGTH: return "ERROR_GET_CONTENTS_LENGTH";
        case ERROR_GET_ENCODE_LEVEL: return "ERROR_GET_ENCODE_LEVEL";
        case ERROR_GET_MEDIA_URL: return "ERROR_GET_MEDIA_URL";
        case ERROR_NOT_FOUND_DATA: return "ERROR_NOT_FOUND_DATA";
        case ERROR_NOT_FOUND_ID: return "ERROR_NOT_FOUND_ID";
        case ERROR_DECODE_HEADER: return "ERROR_DECODE_HEADER";
        case ERROR_STORAGE_FULL: return "ERROR_STORAGE_FULL";
        case ERROR_UPDATE_RECORD: return "ERROR_UPDATE_RECORD";
        case ERROR_REMOVE_CACHE: return "ERROR_REMOVE_CACHE";
        case ERROR_NOT_FOUND_SNAPSHOT_FILENAME: return "ERROR_NOT_FOUND_SNAPSHOT_FILENAME";
        case ERROR_NOT_FOUND_THUMBNAIL_FILENAME: return "ERROR_NOT_FOUND_THUMBNAIL_FILENAME";
        case ERROR_NOT_FOUND_RECORD: return "ERROR_NOT_FOUND_RECORD";
        case ERROR_NOT_DOWNLOAD_COMPLETE_ALL: return "ERROR_NOT_DOWNLOAD_COMPLETE_ALL";
        case ERROR_NOT_DOWNLOAD_TYPE: return "ERROR_NOT_DOWNLOAD_TYPE";
        case ERROR_ALREADY_DOWNLOADING: return "ERROR_ALREADY_DOWNLOADING";
        case ERROR_DECRYPT_CONTENT_INFO_LINK: return "ERROR_DECRYPT_CONTENT_INFO_LINK";
        case ERROR_PARSE_CONTENT_INFO_LINK: return "ERROR_PARSE_CONTENT_INFO_LINK";
        case ERROR_NO_USE_CONTENT_URL: return "ERROR_NO_USE_CONTENT_URL";
        case ERROR_NOT_EXIST_DOWNLOADED_CONTENTS: return "ERROR_NOT_EXIST_DOWNLOADED_CONTENTS";
        case ERROR_DOWNLOADED_EXTRA_BLOCK: return "ERROR_DOWNLOADED_EXTRA_BLOCK";
        case ERROR_INIT_NETWORK_LIBRARY: return "ERROR_INIT_NETWORK_LIBRARY";
        case ERROR_REQUEST_CONTENT_URL: return "ERROR_REQUEST_CONTENT_URL";
        case ERROR_NOT_VAILD_CONTENTS_INFO: return "ERROR_NOT_VAILD_CONTENTS_INFO";
        case ERROR_CREATE_NO_MEDIA_FILE: return "ERROR_CREATE_NO_MEDIA_FILE";
        case ERROR_NOT_REMOVE_TYPE: return "ERROR_NOT_REMOVE_TYPE";
        case ERROR_DECRYPT: return "ERROR_DECRYPT";
        case ERROR_NOT_ALLOW_DOWNLOAD: return "ERROR_NOT_ALLOW_DOWNLOAD";
        case INFO_NETWORK_TIMEOUT: return "INFO_NETWORK_TIMEOUT";
        // The MEDIA_ERROR_* sub-codes share this lookup.
        case MEDIA_ERROR_UNKNOWN: return "MEDIA_ERROR_UNKNOWN";
        case MEDIA_ERROR_SERVER_DIED: return "MEDIA_ERROR_SERVER_DIED";
        case MEDIA_ERROR_NOT_VALID_FOR_PROGRESSIVE_PLAYBACK: return "MEDIA_ERROR_NOT_VALID_FOR_PROGRESSIVE_PLAYBACK";
        default: return nullptr;
    }
}

}  // namespace

const char* StatusName(int32_t status, char* scratch) {
    if (const char* name = knownStatusName(status)) return name;
    if (status <= ERROR_HTTP_STATUS_BASE && status >= ERROR_HTTP_STATUS_LAST) {
        snprintf(scratch, 24, "ERROR_HTTP_STATUS(%d)", ERROR_HTTP_STATUS_BASE - status);
    } else {
        snprintf(scratch, 24, "ERROR_CODE(%d)", status);
    }
    return scratch;
}

}  // namespace velmor
