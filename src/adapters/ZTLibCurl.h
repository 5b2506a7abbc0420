// HTTP client over libcurl. Plain http only, no proxy, no redirects, a
// bounded body, and default time-outs when the caller sets none.
#pragma once

#include <string>

#include <curl/curl.h>

enum _http_req_type_ { HTTP_REQ_GET = 0, HTTP_REQ_PUT = 1 };
enum _http_hdr_type_ { HTTP_HDR_CUSTOM = 0 };

class ZTLibCurl {
public:
    using BodyCallback = unsigned long (*)(void*, unsigned long, unsigned long, void*);

    static constexpr long kConnectTimeoutMs = 1000;
    static constexpr long kTotalTimeoutMs = 3000;
    static constexpr unsigned long kMaxBodyBytes = 64 * 1024;

    ZTLibCurl();
    ~ZTLibCurl();
    ZTLibCurl(const ZTLibCurl&) = delete;
    ZTLibCurl& operator=(const ZTLibCurl&) = delete;

    bool ZTLibCurlInit(const char* mediaType, bool collect, bool verbose, BodyCallback callback);
    bool ZTLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    bool ZTLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    bool ZTLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* body,
                              unsigned long length, bool keepBody, const char* last);
    // NUL-terminated body of the last successful request, or nullptr.
    char* GetHttpResponse(unsigned long& length, bool detach);
    // HTTP status of the last request (0 when none was received).
    long GetHttpStatus() const;

private:
    struct Impl;
    Impl* m_impl;
};
