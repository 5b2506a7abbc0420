#include "workload/Kubernetes.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "Constants.h"
#include "EvDebug.h"
#include "net/MetadataRequest.h"

namespace vmdetect::workload {
namespace {

// Most cgroup files and mount tables fit the first read; a pod's with many
// volumes is read again whole, up to the larger cap.
constexpr std::size_t kFirstCap = std::size_t{16} * 1024;
constexpr std::size_t kWholeCap = std::size_t{256} * 1024;

// The file and the cap it was read with; nullopt when absent.
std::optional<std::string> ReadGrowing(evidence::Source& source, const char* path, std::size_t& cap) {
    cap = kFirstCap;
    auto text = source.Read(evidence::Tree::kProc, path, cap);
    if (text && text->size() >= cap) {
        cap = kWholeCap;
        text = source.Read(evidence::Tree::kProc, path, cap);
        if (text && text->size() >= cap) {
            EvDebug(nullptr).DebugLvl(evidence::kFnReport, 1, "%s passes %zu bytes; its last line is not read", path, cap);
        }
    }
    return text;
}

bool Lower(char c) { return c >= 'a' && c <= 'z'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool HexDigit(char c) { return Digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A namespace's name is a DNS label.
bool IsLabel(const std::string& text) {
    return !text.empty() && text.size() <= 63 && text.front() != '-' && text.back() != '-' &&
           std::all_of(text.begin(), text.end(), [](char c) { return Lower(c) || Digit(c) || c == '-'; });
}

std::string Trimmed(std::string text) {
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

std::string ReadNamespace(evidence::Source& source) {
    const auto file = source.Read(evidence::Tree::kRoot, kServiceAccountNamespace);
    if (!file) return "";
    std::string name = Trimmed(*file);
    if (!IsLabel(name)) {
        EvDebug(nullptr).DebugLvl(evidence::kFnReport, 1, "%s holds no namespace name; k8s.namespace.name left out",
                                  kServiceAccountNamespace);
        return "";
    }
    return name;
}

// base64url without padding, as a token's parts are; false on any other byte.
bool DecodeBase64Url(const std::string& in, std::string& out) {
    unsigned int bits = 0;
    int count = 0;
    for (const char c : in) {
        int value = c >= 'A' && c <= 'Z' ? c - 'A' : Lower(c) ? c - 'a' + 26 : Digit(c) ? c - '0' + 52
                    : c == '-' ? 62 : c == '_' ? 63 : -1;
        if (value < 0) return false;
        bits = (bits << 6) | static_cast<unsigned int>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return true;
}

// The payload's top-level "iss" string, read as nlohmann's parser goes: no
// document is built, and nesting costs no stack. A second "iss" makes it none.
class IssuerScan final : public nlohmann::json_sax<nlohmann::json> {
public:
    std::string issuer;
    bool twice = false;

    bool null() override { return Value(); }
    bool boolean(bool) override { return Value(); }
    bool number_integer(number_integer_t) override { return Value(); }
    bool number_unsigned(number_unsigned_t) override { return Value(); }
    bool number_float(number_float_t, const string_t&) override { return Value(); }
    bool binary(binary_t&) override { return Value(); }
    bool string(string_t& value) override {
        if (m_issuerNext) {
            twice = twice || !issuer.empty();
            issuer.swap(value);
        }
        return Value();
    }
    bool start_object(std::size_t) override { return Open(); }
    bool start_array(std::size_t) override { return Open(); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }
    bool key(string_t& name) override {
        m_issuerNext = m_depth == 1 && m_topIsObject && name == "iss";
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    bool Value() {
        m_issuerNext = false;
        return true;
    }
    bool Open() {
        m_topIsObject = m_topIsObject || m_depth == 0;
        ++m_depth;
        return Value();
    }
    bool Close() {
        --m_depth;
        return Value();
    }
    int m_depth = 0;
    bool m_topIsObject = false;
    bool m_issuerNext = false;
};

const std::string& Value(const report::Attributes& all, const char* key) {
    static const std::string kNone;
    const report::Attribute* found = report::Find(all, key);
    return found != nullptr ? found->value : kNone;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

Workload ReadWorkload(evidence::Source& source, const evidence::Environment& env, bool container, bool mayBeEks) {
    Workload w;
    w.k8sNamespace = ReadNamespace(source);
    w.serviceHost = evidence::Variable(env, kEnvKubernetesServiceHost) != nullptr;
    // A host's process has no container to name: its own cgroup and mounts
    // are not read (a pod sharing the host's PID namespace still has the
    // service's variable and its namespace file).
    if (!container && !w.InPod()) {
        return w;
    }
    std::size_t cap = 0;
    if (const auto cgroup = ReadGrowing(source, kSelfCgroup, cap)) {
        w.container = FromCgroup(*cgroup, cap);
    }
    // The mount table is read only for what the cgroup file did not tell.
    if (w.container.id.empty() || w.InPod()) {
        if (const auto mountinfo = ReadGrowing(source, kSelfMountinfo, cap)) {
            AddFromMountinfo(w.container, *mountinfo, cap);
        }
    }
    if (w.InPod() && mayBeEks) {
        w.tokenIssuer = source.TokenIssuer().value_or("");
    }
    EvDebug(nullptr).DebugLvl(evidence::kFnReport, 2, "Container [%s] (%s), pod [%s], namespace [%s], token issuer [%s]",
                              w.container.id.c_str(), w.container.runtime.c_str(), w.container.podUid.c_str(),
                              w.k8sNamespace.c_str(), w.tokenIssuer.c_str());
    return w;
}

report::Attributes WorkloadAttributes(const Workload& w) {
    report::Attributes out;
    const ContainerIdentity& c = w.container;
    if (!c.id.empty()) out.push_back({"container.id", c.id, c.idSource});
    if (!c.id.empty() && !c.runtime.empty()) out.push_back({"container.runtime.name", c.runtime, c.idSource});
    if (!c.podUid.empty()) out.push_back({"k8s.pod.uid", c.podUid, c.podUidSource});
    if (!w.k8sNamespace.empty()) out.push_back({"k8s.namespace.name", w.k8sNamespace, "serviceaccount"});
    if (!c.containerName.empty()) out.push_back({"k8s.container.name", c.containerName, "mountinfo"});
    return out;
}

void ApplyManagedKubernetes(const Workload& w, report::Attributes& all) {
    if (!w.InPod()) return;
    const std::string provider = Value(all, "cloud.provider");
    if (IsEksIssuer(w.tokenIssuer) && (provider.empty() || provider == "aws")) {
        if (provider.empty()) report::Put(all, {"cloud.provider", "aws", "token"});
        report::Put(all, {"cloud.platform", "aws_eks", "token"});
        return;
    }
    if (provider == "azure") {
        const std::string cluster = AksCluster(Value(all, "azure.resourcegroup.name"), Value(all, "cloud.region"));
        if (!cluster.empty()) {
            report::Put(all, {"cloud.platform", "azure.aks", "imds"});
            report::Put(all, {"k8s.cluster.name", cluster, "imds"});
        }
        return;
    }
    // Google's fetch asks for the cluster only in a pod with the service host set.
    const report::Attribute* cluster = report::Find(all, "k8s.cluster.name");
    if (provider == "gcp" && w.serviceHost && cluster != nullptr && cluster->source == "imds") {
        report::Put(all, {"cloud.platform", "gcp_kubernetes_engine", "imds"});
    }
}

std::string IssuerOfToken(const std::string& token) {
    const std::size_t first = token.find('.');
    const std::size_t second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos) return "";
    std::string payload;
    IssuerScan scan;
    // A raw NUL would end nlohmann's input early.
    const bool parsed = DecodeBase64Url(token.substr(first + 1, second - first - 1), payload) &&
                        payload.find('\0') == std::string::npos && !payload.empty() && payload.front() == '{' &&
                        nlohmann::json::sax_parse(payload, &scan);
    std::string issuer = parsed && !scan.twice ? scan.issuer : "";
    metadata::Wipe(payload);
    const bool visible = std::all_of(issuer.begin(), issuer.end(), [](char c) { return c > 0x20 && c < 0x7f; });
    return visible && issuer.size() <= 256 ? issuer : "";
}

bool IsEksIssuer(const std::string& issuer) {
    static const std::string kScheme = "https://oidc.eks.";
    static const std::string kHosts[] = {".amazonaws.com/id/", ".amazonaws.com.cn/id/"};
    if (issuer.rfind(kScheme, 0) != 0) return false;
    for (const std::string& host : kHosts) {
        const std::size_t at = issuer.find(host, kScheme.size());
        if (at == std::string::npos) continue;
        const std::string region = issuer.substr(kScheme.size(), at - kScheme.size());
        const std::string id = issuer.substr(at + host.size());
        const bool slug = !region.empty() && region.front() != '-' && region.back() != '-' &&
                          std::all_of(region.begin(), region.end(), [](char c) { return Lower(c) || Digit(c) || c == '-'; });
        return slug && id.size() == 32 && std::all_of(id.begin(), id.end(), HexDigit);
    }
    return false;
}

std::string AksCluster(const std::string& group, const std::string& region) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = group.find('_', start)) != std::string::npos; start = end + 1) {
        parts.push_back(group.substr(start, end - start));
    }
    parts.push_back(group.substr(start));
    // Group and cluster names may hold '_' themselves: such a group cannot be split.
    if (parts.size() != 4 || !SameText(parts[0], "MC") || parts[1].empty() || parts[2].empty() ||
        parts[3].empty() || (!region.empty() && !SameText(parts[3], region))) {
        return "";
    }
    return parts[2];
}

}  // namespace vmdetect::workload
