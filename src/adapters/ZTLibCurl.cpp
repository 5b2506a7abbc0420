#include "ZTLibCurl.h"

// Placeholder until the client lands: every request fails.
struct ZTLibCurl::Impl {};

ZTLibCurl::ZTLibCurl() : m_impl(nullptr) {}
ZTLibCurl::~ZTLibCurl() = default;
bool ZTLibCurl::ZTLibCurlInit(const char*, bool, bool, BodyCallback) { return true; }
bool ZTLibCurl::ZTLibCurlAppendHeader(_http_hdr_type_, const char*) { return true; }
bool ZTLibCurl::ZTLibCurlSetAdditionalOptionsIntValue(CURLoption, const int&) { return true; }
bool ZTLibCurl::ZTLibCurlSendHttpReq(_http_req_type_, const std::string&, const void*,
                                     unsigned long, bool, const char*) {
    return false;
}
char* ZTLibCurl::GetHttpResponse(unsigned long& length, bool) {
    length = 0;
    return nullptr;
}
long ZTLibCurl::GetHttpStatus() const { return 0; }
