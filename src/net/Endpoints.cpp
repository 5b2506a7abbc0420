#include "net/Endpoints.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Constants.h"

namespace vmdetect {
namespace endpoints {
namespace {

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') ||
           c == ':' || c == '.';
}

// host[:port], where host is a name, an IPv4 address or a bracketed IPv6
// address, and port is 1-65535. Anything else (user info, paths, spaces,
// control characters) is refused rather than guessed at.
bool IsAuthority(const std::string& text) {
    size_t position = 0;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close == 1) {
            return false;
        }
        for (size_t i = 1; i < close; ++i) {
            if (!IsIpv6Char(text[i])) {
                return false;
            }
        }
        position = close + 1;
    } else {
        while (position < text.size() && IsHostChar(text[position])) {
            ++position;
        }
        if (position == 0) {
            return false;
        }
    }
    if (position == text.size()) {
        return true;
    }
    if (text[position] != ':') {
        return false;
    }
    const std::string port = text.substr(position + 1);
    if (port.empty() || port.size() > 5) {
        return false;
    }
    unsigned long number = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    return number >= 1 && number <= 65535;
}

// The value as it may appear in the log: user info could be a password, and
// control characters would forge log lines.
std::string Shown(const std::string& value) {
    if (value.find('@') != std::string::npos) {
        return "(withheld: it holds user info)";
    }
    std::string shown;
    for (unsigned char c : value) {
        if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

Endpoint Malformed(const char* variable, const std::string& value, const char* expected) {
    Endpoint endpoint;
    endpoint.state = Endpoint::State::Malformed;
    endpoint.problem = std::string("Malformed ") + variable + " [" + Shown(value) +
                       "]: expected " + expected + "; no request sent";
    return endpoint;
}

// An override that is set, even to "", is used or refused, never replaced
// by the real address.
Endpoint FromBaseUrl(const char* variable, const char* fallback) {
    const char* set = std::getenv(variable);
    if (set == nullptr) {
        Endpoint endpoint;
        endpoint.base = fallback;
        return endpoint;
    }
    const std::string value = set;
    constexpr size_t kSchemeLength = 7;  // "http://"
    if (value.size() < kSchemeLength || strncasecmp(value.c_str(), "http://", kSchemeLength) != 0) {
        return Malformed(variable, value, "http://host[:port]");
    }
    std::string authority = value.substr(kSchemeLength);
    while (!authority.empty() && authority.back() == '/') {
        authority.pop_back();
    }
    if (!IsAuthority(authority)) {
        return Malformed(variable, value, "http://host[:port]");
    }
    Endpoint endpoint;
    endpoint.base = "http://" + authority;
    return endpoint;
}

}  // namespace

Endpoint Ec2() {
    const char* disabled = std::getenv(kEnvEc2Disabled);
    if (disabled != nullptr && strcasecmp(disabled, "true") == 0) {
        Endpoint endpoint;
        endpoint.state = Endpoint::State::Disabled;
        return endpoint;
    }
    // As the AWS SDKs read it: the mode picks the default address only.
    const char* mode = std::getenv(kEnvEc2EndpointMode);
    const char* fallback = kDefaultEc2Endpoint;
    if (mode != nullptr && strcasecmp(mode, "IPv6") == 0) {
        fallback = kDefaultEc2EndpointIpv6;
    } else if (mode != nullptr && strcasecmp(mode, "IPv4") != 0) {
        return Malformed(kEnvEc2EndpointMode, mode, "IPv4 or IPv6");
    }
    return FromBaseUrl(kEnvEc2Endpoint, fallback);
}

Endpoint Gce() {
    const char* set = std::getenv(kEnvGceHost);
    Endpoint endpoint;
    if (set == nullptr) {
        endpoint.base = std::string("http://") + kDefaultGceHost;
        return endpoint;
    }
    if (!IsAuthority(set)) {
        return Malformed(kEnvGceHost, set, "host[:port]");
    }
    endpoint.base = std::string("http://") + set;
    return endpoint;
}

Endpoint Oci() { return FromBaseUrl(kEnvOciEndpoint, kDefaultOciEndpoint); }

Endpoint Azure() { return FromBaseUrl(kEnvAzureEndpoint, kDefaultAzureEndpoint); }

Endpoint Alibaba() { return FromBaseUrl(kEnvAlibabaEndpoint, kDefaultAlibabaEndpoint); }

Endpoint OpenStack() { return FromBaseUrl(kEnvOpenStackEndpoint, kDefaultOpenStackEndpoint); }

Endpoint DigitalOcean() {
    return FromBaseUrl(kEnvDigitalOceanEndpoint, kDefaultDigitalOceanEndpoint);
}

Endpoint Hetzner() { return FromBaseUrl(kEnvHetznerEndpoint, kDefaultHetznerEndpoint); }

Endpoint Akamai() { return FromBaseUrl(kEnvAkamaiEndpoint, kDefaultAkamaiEndpoint); }

Endpoint Vultr() { return FromBaseUrl(kEnvVultrEndpoint, kDefaultVultrEndpoint); }

Endpoint Scaleway() { return FromBaseUrl(kEnvScalewayEndpoint, kDefaultScalewayEndpoint); }

Endpoint UpCloud() { return FromBaseUrl(kEnvUpCloudEndpoint, kDefaultUpCloudEndpoint); }

Endpoint IbmCloud() { return FromBaseUrl(kEnvIbmCloudEndpoint, kDefaultIbmCloudEndpoint); }

// As the AWS SDKs take a container endpoint: http only, and a host that is
// ECS's own address or this machine's loopback.
Endpoint Ecs(const char* variable, const std::string& uri) {
    static const std::string kEcsExpected =
        std::string("http://") + kDefaultEcsHost + "/... or a loopback address";
    constexpr size_t kSchemeLength = 7;  // "http://"
    if (uri.size() <= kSchemeLength || strncasecmp(uri.c_str(), "http://", kSchemeLength) != 0) {
        return Malformed(variable, uri, kEcsExpected.c_str());
    }
    const size_t slash = uri.find('/', kSchemeLength);
    const std::string authority = uri.substr(kSchemeLength, slash - kSchemeLength);
    std::string path = slash == std::string::npos ? "" : uri.substr(slash);
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    const std::string host = authority.substr(0, authority.rfind(':') == std::string::npos ||
                                                         authority.back() == ']'
                                                     ? authority.size()
                                                     : authority.rfind(':'));
    const bool loopback4 = host.rfind("127.", 0) == 0 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '.';
    });
    const bool allowed = host == kDefaultEcsHost || host == "[::1]" || host == "localhost" || loopback4;
    const bool plainPath = std::all_of(path.begin(), path.end(), [](char c) {
        return c > 0x20 && c < 0x7f && c != '?' && c != '#' && c != '%' && c != '\\';
    });
    if (!IsAuthority(authority) || !allowed || !plainPath) {
        return Malformed(variable, uri, kEcsExpected.c_str());
    }
    Endpoint endpoint;
    endpoint.base = "http://" + authority + path;
    return endpoint;
}

Endpoint Tencent() { return FromBaseUrl(kEnvTencentEndpoint, kDefaultTencentEndpoint); }

}  // namespace endpoints
}  // namespace vmdetect
