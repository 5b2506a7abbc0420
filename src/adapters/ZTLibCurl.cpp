#include "adapters/ZTLibCurl.h"

#include <dlfcn.h>
#include <strings.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Constants.h"
#include "EvDebug.h"

namespace {

constexpr const char* kSendFunction =
    "bool ZTLibCurl::ZTLibCurlSendHttpReq(_http_req_type_, const std::string&, const void*, "
    "unsigned long, bool, const char*)";
constexpr const char* kInitFunction = "bool ZTLibCurl::ZTLibCurlInit(...)";

std::atomic<int> g_fault{static_cast<int>(ZTLibCurlFault::None)};

bool Faulty(ZTLibCurlFault step) {
    return g_fault.load(std::memory_order_relaxed) == static_cast<int>(step);
}

// libcurl is loaded on the first request, not with this library: most
// guests never ask a metadata service, and libcurl with what it pulls in
// (TLS, LDAP, SSH, Kerberos) is most of a process's cost of loading us.
struct CurlApi {
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    void (*easy_reset)(CURL*);
    void (*easy_cleanup)(CURL*);
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
};

CurlApi g_curl{};
bool g_curlReady = false;

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// Loads libcurl and runs curl_global_init exactly once (it is not safe to
// race with itself or with a first curl_easy_init on older libcurl). The
// library stays loaded for the life of the process.
bool GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        void* library = ::dlopen(vmdetect::kLibcurlSoname, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            EvDebug(nullptr).Error(kInitFunction, "Cannot load %s: %s", vmdetect::kLibcurlSoname,
                                   ::dlerror());
            return;
        }
        CurlApi api{};
        const bool resolved = Resolve(library, "curl_global_init", api.global_init) &&
                              Resolve(library, "curl_easy_init", api.easy_init) &&
                              Resolve(library, "curl_easy_reset", api.easy_reset) &&
                              Resolve(library, "curl_easy_cleanup", api.easy_cleanup) &&
                              Resolve(library, "curl_easy_setopt", api.easy_setopt) &&
                              Resolve(library, "curl_easy_perform", api.easy_perform) &&
                              Resolve(library, "curl_easy_getinfo", api.easy_getinfo) &&
                              Resolve(library, "curl_slist_append", api.slist_append) &&
                              Resolve(library, "curl_slist_free_all", api.slist_free_all);
        if (!resolved || api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            return;
        }
        g_curl = api;
        g_curlReady = true;
    });
    return g_curlReady;
}

// Only reached with a handle or a header list, that is after GlobalInit().
const CurlApi& Curl() { return g_curl; }

bool IsHeaderLine(const char* line) {
    if (line == nullptr || line[0] == ':' || std::strchr(line, ':') == nullptr) {
        return false;
    }
    return std::strpbrk(line, "\r\n") == nullptr;
}

int OnCurlDebug(CURL*, curl_infotype type, char* data, size_t size, void*) {
    // Only libcurl's own notes: header and data lines may carry tokens.
    if (type != CURLINFO_TEXT) {
        return 0;
    }
    std::string text(data, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    EvDebug(nullptr).DebugLvl(kSendFunction, 4, "curl: %s", text.c_str());
    return 0;
}

// CURLOPT_PROTOCOLS and CURLOPT_REDIR_PROTOCOLS by number: newer headers
// mark the names deprecated, yet every libcurl still honours the options.
constexpr CURLoption kProtocolsMask = static_cast<CURLoption>(CURLOPTTYPE_LONG + 181);
constexpr CURLoption kRedirProtocolsMask = static_cast<CURLoption>(CURLOPTTYPE_LONG + 182);

// Plain http only, also for redirects. libcurl 7.85 and later take the
// protocol names; older releases refuse those options and know only the bit
// masks.
bool AllowOnlyHttp(CURL* handle) {
    const bool byName =
        !Faulty(ZTLibCurlFault::ProtocolNames) &&
        Curl().easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
        Curl().easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http") == CURLE_OK;
    if (byName) {
        return true;
    }
    const long mask = CURLPROTO_HTTP;
    return Curl().easy_setopt(handle, kProtocolsMask, mask) == CURLE_OK &&
           Curl().easy_setopt(handle, kRedirProtocolsMask, mask) == CURLE_OK;
}

}  // namespace

struct ZTLibCurl::Impl {
    ZTLibCurl* owner = nullptr;
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    bool collect = true;
    bool verbose = false;
    BodyCallback callback = nullptr;
    std::string replyName;  // "": no reply header kept

    // -1: not set by the caller.
    long totalMs = -1;
    long connectMs = -1;

    // Request body of a PUT.
    const char* upload = nullptr;
    size_t uploadLeft = 0;

    // Answer.
    std::string body;
    unsigned long received = 0;
    bool overflow = false;
    bool haveBody = false;
    long status = 0;
    std::string replyValue;
    bool replyFound = false;

    ~Impl() {
        if (headers != nullptr) {
            Curl().slist_free_all(headers);
        }
        if (handle != nullptr) {
            Curl().easy_cleanup(handle);
        }
    }

    bool AddHeader(const char* line) {
        curl_slist* grown = Curl().slist_append(headers, line);
        if (grown == nullptr) {
            return false;
        }
        headers = grown;
        return true;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* user) {
        Impl* self = static_cast<Impl*>(user);
        const size_t bytes = size * count;
        if (bytes > kMaxBodyBytes - self->received) {
            self->overflow = true;
            return 0;  // aborts the transfer
        }
        self->received += static_cast<unsigned long>(bytes);
        if (self->callback != nullptr) {
            return self->callback(data, size, count, self->owner);
        }
        if (self->collect) {
            self->body.append(data, bytes);
        }
        return bytes;
    }

    // Each reply header line; a status line starts a new reply (an interim
    // 1xx answer comes before the final one), the first match in it counts.
    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        Impl* self = static_cast<Impl*>(user);
        const size_t bytes = size * count;
        const std::string& name = self->replyName;
        if (bytes >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
            self->replyValue.clear();
            self->replyFound = false;
        } else if (!name.empty() && !self->replyFound && bytes > name.size() &&
                   data[name.size()] == ':' &&
                   strncasecmp(data, name.c_str(), name.size()) == 0) {
            const char* blanks = " \t\r\n";
            std::string value(data + name.size() + 1, bytes - name.size() - 1);
            value.erase(0, value.find_first_not_of(blanks));
            value.erase(value.find_last_not_of(blanks) + 1);
            self->replyValue = value;
            self->replyFound = true;
        }
        return bytes;
    }

    // The rules no caller can switch off, and the body's way back.
    bool SetRules(const std::string& url) {
        bool ok = Curl().easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK;
        // Plain http, no redirects, and never a proxy: a proxy would answer
        // with its own host's metadata.
        ok = ok && AllowOnlyHttp(handle);
        ok = ok && Curl().easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_NOPROXY, "*") == CURLE_OK;
        // No signals: the caller's process owns them, and threads may call us.
        ok = ok && Curl().easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_WRITEDATA, this) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeader) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_HEADERDATA, this) == CURLE_OK;
        // Refuses an announced oversize body before reading it; OnBody
        // catches the rest.
        return ok && Curl().easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                                        static_cast<curl_off_t>(kMaxBodyBytes)) == CURLE_OK;
    }

    static size_t OnUpload(char* buffer, size_t size, size_t count, void* user) {
        Impl* self = static_cast<Impl*>(user);
        size_t bytes = size * count;
        if (bytes > self->uploadLeft) {
            bytes = self->uploadLeft;
        }
        if (bytes > 0) {
            std::memcpy(buffer, self->upload, bytes);
            self->upload += bytes;
            self->uploadLeft -= bytes;
        }
        return bytes;
    }
};

ZTLibCurl::ZTLibCurl() : m_impl(new Impl()) { m_impl->owner = this; }

ZTLibCurl::~ZTLibCurl() { delete m_impl; }

void ZTLibCurl::InjectFaultForTesting(ZTLibCurlFault fault) {
    g_fault.store(static_cast<int>(fault), std::memory_order_relaxed);
}

bool ZTLibCurl::ZTLibCurlInit(const char* mediaType, bool collect, bool verbose,
                              BodyCallback callback) {
    if (Faulty(ZTLibCurlFault::Init) || !GlobalInit()) {
        return false;
    }
    if (m_impl->handle == nullptr) {
        m_impl->handle = Curl().easy_init();
        if (m_impl->handle == nullptr) {
            return false;
        }
    } else {
        Curl().easy_reset(m_impl->handle);
    }
    Curl().slist_free_all(m_impl->headers);
    m_impl->headers = nullptr;
    m_impl->collect = collect;
    m_impl->verbose = verbose;
    m_impl->callback = callback;
    m_impl->replyName.clear();
    m_impl->totalMs = -1;
    m_impl->connectMs = -1;
    if (mediaType != nullptr) {
        const std::string accept = std::string("Accept: ") + mediaType;
        if (!IsHeaderLine(accept.c_str()) || !m_impl->AddHeader(accept.c_str())) {
            return false;
        }
    }
    return true;
}

bool ZTLibCurl::ZTLibCurlAppendHeader(_http_hdr_type_ type, const char* line) {
    if (Faulty(ZTLibCurlFault::AppendHeader) || m_impl->handle == nullptr ||
        type != HTTP_HDR_CUSTOM || !IsHeaderLine(line)) {
        return false;
    }
    return m_impl->AddHeader(line);
}

bool ZTLibCurl::ZTLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    if (Faulty(ZTLibCurlFault::SetOption) || m_impl->handle == nullptr || value < 0) {
        return false;
    }
    const long number = value;
    switch (option) {
        case CURLOPT_TIMEOUT:
            m_impl->totalMs = number * 1000;
            return true;
        case CURLOPT_TIMEOUT_MS:
            m_impl->totalMs = number;
            return true;
        case CURLOPT_CONNECTTIMEOUT:
            m_impl->connectMs = number * 1000;
            return true;
        case CURLOPT_CONNECTTIMEOUT_MS:
            m_impl->connectMs = number;
            return true;
        default:
            return false;
    }
}

void ZTLibCurl::ZTLibCurlKeepReplyHeader(const char* name) {
    m_impl->replyName = name != nullptr ? name : "";
}

bool ZTLibCurl::ZTLibCurlSendHttpReq(_http_req_type_ type, const std::string& url,
                                     const void* body, unsigned long length, bool, const char*) {
    Impl& impl = *m_impl;
    impl.body.clear();
    impl.received = 0;
    impl.overflow = false;
    impl.haveBody = false;
    impl.status = 0;
    impl.replyValue.clear();
    impl.replyFound = false;
    if (impl.handle == nullptr || (type != HTTP_REQ_GET && type != HTTP_REQ_PUT) ||
        strncasecmp(url.c_str(), "http://", 7) != 0 || (body == nullptr && length != 0)) {
        return false;
    }
    CURL* handle = impl.handle;
    bool ok = impl.SetRules(url);

    const bool defaults = impl.totalMs < 0 && impl.connectMs < 0;
    const long totalMs = defaults ? kTotalTimeoutMs : (impl.totalMs < 0 ? 0 : impl.totalMs);
    const long connectMs = defaults ? kConnectTimeoutMs : (impl.connectMs < 0 ? 0 : impl.connectMs);
    ok = ok && Curl().easy_setopt(handle, CURLOPT_TIMEOUT_MS, totalMs) == CURLE_OK;
    ok = ok && Curl().easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, connectMs) == CURLE_OK;

    if (impl.verbose) {
        ok = ok && Curl().easy_setopt(handle, CURLOPT_DEBUGFUNCTION, &OnCurlDebug) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_VERBOSE, 1L) == CURLE_OK;
    }

    if (type == HTTP_REQ_PUT) {
        impl.upload = static_cast<const char*>(body);
        impl.uploadLeft = length;
        // A small body needs no handshake; "Expect:" keeps libcurl from adding one.
        ok = ok && impl.AddHeader("Expect:");
        ok = ok && Curl().easy_setopt(handle, CURLOPT_UPLOAD, 1L) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_READFUNCTION, &Impl::OnUpload) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_READDATA, &impl) == CURLE_OK;
        ok = ok && Curl().easy_setopt(handle, CURLOPT_INFILESIZE_LARGE,
                                    static_cast<curl_off_t>(length)) == CURLE_OK;
    } else {
        ok = ok && Curl().easy_setopt(handle, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    }
    ok = ok && Curl().easy_setopt(handle, CURLOPT_HTTPHEADER, impl.headers) == CURLE_OK;
    if (!ok) {
        return false;
    }

    const CURLcode result = Curl().easy_perform(handle);
    long status = 0;
    if (Curl().easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
        impl.status = status;
    }
    if (result != CURLE_OK || impl.overflow || impl.status < 200 || impl.status > 299) {
        impl.body.clear();
        return false;
    }
    impl.haveBody = impl.callback == nullptr && impl.collect;
    return true;
}

char* ZTLibCurl::GetHttpResponse(unsigned long& length, bool detach) {
    if (!m_impl->haveBody) {
        length = 0;
        return nullptr;
    }
    length = static_cast<unsigned long>(m_impl->body.size());
    if (!detach) {
        return &m_impl->body[0];  // NUL-terminated since C++11
    }
    char* copy = static_cast<char*>(std::malloc(m_impl->body.size() + 1));
    if (copy == nullptr) {
        length = 0;
        return nullptr;
    }
    std::memcpy(copy, m_impl->body.c_str(), m_impl->body.size() + 1);
    m_impl->body.clear();
    m_impl->haveBody = false;
    return copy;
}

long ZTLibCurl::GetHttpStatus() const { return m_impl->status; }

const std::string& ZTLibCurl::GetReplyHeader() const { return m_impl->replyValue; }
