// HTTP client over libcurl. Plain http only, no proxy, no redirects, a
// bounded body, and default time-outs when the caller sets none.
//
// A status outside 200-299 is a failed request: its body is not handed out,
// but its status can still be read with GetHttpStatus().
#pragma once

#include <string>

#include <curl/curl.h>

enum _http_req_type_ { HTTP_REQ_GET = 0, HTTP_REQ_PUT = 1 };
enum _http_hdr_type_ { HTTP_HDR_CUSTOM = 0 };

// Test seam: makes one step fail in every client until reset to None, so the
// callers' failure paths can be exercised without a broken libcurl.
// ProtocolNames refuses the protocol options by name, as libcurl before 7.85
// does.
enum class ZTLibCurlFault { None, Init, AppendHeader, SetOption, ProtocolNames };

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

    // mediaType: sent as the Accept header (nullptr: none of ours).
    // collect: keep the body for GetHttpResponse (ignored when a callback is
    // given). verbose: libcurl's own progress notes go to the log at level 4
    // (never headers or data). callback: receives the body chunks instead of
    // the client's buffer, with this client as its last argument; the size
    // limit still applies.
    bool ZTLibCurlInit(const char* mediaType, bool collect, bool verbose, BodyCallback callback);
    // One complete header line "Name: value"; refused when it holds CR or LF
    // or has no name.
    bool ZTLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    // Time-outs only: CURLOPT_TIMEOUT / CURLOPT_CONNECTTIMEOUT in seconds and
    // their _MS forms, non-negative. Once any is set the defaults no longer
    // apply, and 0 means no limit. Every other option is refused, so the
    // rules above cannot be switched off.
    bool ZTLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    // Keeps the value of one reply header, named in any case, for
    // GetReplyHeader (nullptr: none). Cleared by ZTLibCurlInit.
    void ZTLibCurlKeepReplyHeader(const char* name);
    // GET, or PUT with `body` of `length` bytes (nullptr/0: an empty body;
    // a GET sends no body). The bool and the last pointer are accepted for
    // the interface's sake and change nothing. True when the transfer
    // completed with a 2xx status and a body within the limit.
    bool ZTLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* body,
                              unsigned long length, bool unused, const char* unusedLast);
    // NUL-terminated body of the last successful request ("" when it was
    // empty), or nullptr. With detach the caller owns the text and frees it
    // with free(); otherwise it stays the client's.
    char* GetHttpResponse(unsigned long& length, bool detach);
    // HTTP status of the last request, also of a failed one (0 when none
    // was received).
    long GetHttpStatus() const;
    // Value of the kept reply header in the last reply, without surrounding
    // blanks; "" when it had none. Also read on a failed request.
    const std::string& GetReplyHeader() const;

    static void InjectFaultForTesting(ZTLibCurlFault fault);

private:
    struct Impl;
    Impl* m_impl;
};
