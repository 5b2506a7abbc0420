// Temporary stand-in for the shared request helper; replaced on merge.
#include "MetadataRequest.h"

#include "ZTLibCurl.h"

namespace vmdetect::metadata {

Response Send(const EvDebug& log, const char* function, Request& request) {
    Response response;
    ZTLibCurl curl;
    if (!curl.ZTLibCurlInit(request.accept, true, false, nullptr)) {
        log.Error(function, "Failed to init curl request");
        return response;
    }
    for (Header& header : request.headers) {
        const bool added = curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, header.line.c_str());
        for (char& c : header.line) {
            *static_cast<volatile char*>(&c) = '\0';
        }
        if (!added) {
            log.Error(function, "%s", header.failure);
            return response;
        }
    }
    request.headers.clear();
    if (request.timeoutMs >= 0 &&
        !curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS,
                                                    static_cast<int>(request.timeoutMs))) {
        log.Error(function, "Failed to set curl timeout");
        return response;
    }
    response.ready = true;
    response.ok = curl.ZTLibCurlSendHttpReq(request.put ? HTTP_REQ_PUT : HTTP_REQ_GET, request.url,
                                            nullptr, 0, true, nullptr);
    response.status = curl.GetHttpStatus();
    unsigned long length = 0;
    const char* text = curl.GetHttpResponse(length, false);
    if (response.ok && text != nullptr) {
        response.body.assign(text, length);
    }
    if (request.replyHeader != nullptr) {
        response.header = "Google";  // stand-in: no reply headers yet
    }
    return response;
}

}  // namespace vmdetect::metadata
