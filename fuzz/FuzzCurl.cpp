// Stand-in for the HTTP client in the fuzz builds: every request succeeds
// with the body set by the fuzz target, and no socket is ever opened.
#include "FuzzCurl.h"

#include "adapters/ZTLibCurl.h"

#include <cstdlib>
#include <cstring>

namespace {
std::string g_body;
int g_requests = 0;
}  // namespace

namespace fuzzcurl {
void SetBody(const std::string& body) {
    g_body = body;
    g_requests = 0;
}
int Requests() { return g_requests; }
}  // namespace fuzzcurl

struct ZTLibCurl::Impl {
    std::string body;
    std::string replyHeader;  // always empty: no reply headers here
    bool done = false;
};

ZTLibCurl::ZTLibCurl() : m_impl(new Impl) {}
ZTLibCurl::~ZTLibCurl() { delete m_impl; }
bool ZTLibCurl::ZTLibCurlInit(const char*, bool, bool, BodyCallback) { return true; }
bool ZTLibCurl::ZTLibCurlAppendHeader(_http_hdr_type_, const char*) { return true; }
bool ZTLibCurl::ZTLibCurlSetAdditionalOptionsIntValue(CURLoption, const int&) { return true; }
void ZTLibCurl::ZTLibCurlKeepReplyHeader(const char*) {}
bool ZTLibCurl::ZTLibCurlSendHttpReq(_http_req_type_, const std::string&, const void*,
                                     unsigned long, bool, const char*) {
    ++g_requests;
    m_impl->body = g_body;
    m_impl->done = true;
    return true;
}
char* ZTLibCurl::GetHttpResponse(unsigned long& length, bool detach) {
    if (!m_impl->done) {
        length = 0;
        return nullptr;
    }
    length = m_impl->body.size();
    if (detach) {
        char* copy = static_cast<char*>(std::malloc(length + 1));
        std::memcpy(copy, m_impl->body.c_str(), length + 1);
        return copy;
    }
    return &m_impl->body[0];
}
long ZTLibCurl::GetHttpStatus() const { return m_impl->done ? 200 : 0; }
const std::string& ZTLibCurl::GetReplyHeader() const { return m_impl->replyHeader; }
void ZTLibCurl::InjectFaultForTesting(ZTLibCurlFault) {}
