#include "net/MetadataRequest.h"

#include <climits>
#include <cstddef>

#include "adapters/ZTLibCurl.h"

namespace vmdetect::metadata {

namespace {

constexpr const char* kFailedInit = "Failed to init curl request";
constexpr const char* kFailedTimeout = "Failed to set curl timeout";

void WipeBytes(char* text, size_t size) {
    volatile char* byte = text;
    for (size_t i = 0; i < size; ++i) {
        byte[i] = '\0';
    }
}

void WipeHeaders(std::vector<Header>& headers) {
    for (Header& header : headers) {
        Wipe(header.line);
    }
}

// Init, headers and time-out; false once the failing step is logged.
bool SetUp(const EvDebug& log, const char* function, const Request& request, ZTLibCurl& curl) {
    if (!curl.ZTLibCurlInit(request.accept, true, false, nullptr)) {
        log.Error(function, kFailedInit);
        return false;
    }
    for (const Header& header : request.headers) {
        if (!curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, header.line.c_str())) {
            log.Error(function, "%s", header.failure);
            return false;
        }
    }
    if (request.timeoutMs != -1) {
        // Beyond INT_MAX ms (24 days) a limit is as good as none being hit.
        const int ms = request.timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(request.timeoutMs);
        const bool fits = request.timeoutMs >= 0;
        if (!fits || !curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, ms)) {
            log.Error(function, kFailedTimeout);
            return false;
        }
    }
    curl.ZTLibCurlKeepReplyHeader(request.replyHeader);
    return true;
}

}  // namespace

void Wipe(std::string& text) {
    if (!text.empty()) {
        WipeBytes(&text[0], text.size());
    }
    text.clear();
}

Response Send(const EvDebug& log, const char* function, Request& request) {
    Response response;
    ZTLibCurl curl;
    const bool ready = SetUp(log, function, request, curl);
    WipeHeaders(request.headers);  // the client holds its own copies now
    if (!ready) {
        return response;
    }
    response.ready = true;
    const _http_req_type_ type = request.put ? HTTP_REQ_PUT : HTTP_REQ_GET;
    const bool body = request.put && !request.body.empty();
    response.ok = curl.ZTLibCurlSendHttpReq(type, request.url, body ? request.body.data() : nullptr,
                                            body ? request.body.size() : 0, true, nullptr);
    response.status = curl.GetHttpStatus();
    response.header = curl.GetReplyHeader();
    unsigned long length = 0;
    char* text = curl.GetHttpResponse(length, false);
    if (response.ok && text != nullptr) {
        response.body = text;  // up to a NUL, as the services send text
        // The client's copy may be a token: it goes before its memory does.
        WipeBytes(text, length);
    }
    return response;
}

}  // namespace vmdetect::metadata
