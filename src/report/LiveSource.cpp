#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>

#include "Constants.h"
#include "EvDebug.h"
#include "HostProc.h"
#include "adapters/Kernel.h"
#include "net/MetadataRequest.h"
#include "workload/Kubernetes.h"
#include "report/Source.h"

namespace vmdetect::evidence {

namespace {

std::string WithoutTrailingSlashes(std::string root) {
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string Root(const char* variable, const char* fallback) {
    const char* configured = std::getenv(variable);
    return WithoutTrailingSlashes(configured != nullptr && *configured != '\0' ? configured : fallback);
}

class Live final : public Source {
public:
    explicit Live(Roots roots) : m_roots(std::move(roots)) {}

    std::optional<std::string> Read(Tree tree, const std::string& path, std::size_t cap) override {
        return adapters::ReadSmallFile(Path(tree, path), cap);
    }
    bool Exists(Tree tree, const std::string& path) override {
        return adapters::PathExists(Path(tree, path));
    }
    std::vector<std::string> List(Tree tree, const std::string& path) override {
        return adapters::ListDirectory(Path(tree, path));
    }
    // Each leaf once per reading: in a guest every CPUID is a trip to the
    // hypervisor, and the hypervisor and confidential rules share leaves.
    std::optional<CpuidRegs> Cpuid(std::uint32_t leaf, std::uint32_t subleaf) override {
        const auto known = m_cpuid.find({leaf, subleaf});
        if (known != m_cpuid.end()) {
            return known->second;
        }
        return m_cpuid[{leaf, subleaf}] = adapters::Cpuid(leaf, subleaf);
    }
    std::optional<std::uint64_t> Msr(std::uint32_t index) override {
        return adapters::ReadMsr(index);
    }
    std::optional<std::uint64_t> NamespaceInode(const std::string& name) override {
        return adapters::NamespaceInode(m_roots.proc + kSelfNamespaceDir + name);
    }
    std::string Machine() override { return adapters::KernelMachine(); }
    bool SelfIsInit() override { return ::getpid() == 1; }
    std::optional<std::string> OwnVariable(const char* name) override {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    // One pass over the environment: a search per name costs the first
    // report more than all its names together.
    std::map<std::string, std::string, std::less<>> OwnVariables(const char* const* names,
                                                                  std::size_t count) override {
        std::vector<std::string_view> wanted(names, names + count);
        bool first[256] = {};  // most entries are passed on their first letter
        for (const std::string_view name : wanted) {
            first[static_cast<unsigned char>(name.empty() ? '\0' : name[0])] = true;
        }
        std::map<std::string, std::string, std::less<>> found;
        for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
            if (!first[static_cast<unsigned char>(**entry)]) {
                continue;
            }
            const char* equals = std::strchr(*entry, '=');
            if (equals == nullptr) {
                continue;
            }
            const std::string_view name(*entry, static_cast<std::size_t>(equals - *entry));
            const auto match = std::find(wanted.begin(), wanted.end(), name);
            if (match != wanted.end() && found.count(name) == 0) {  // set twice: getenv's first counts
                found.emplace(name, equals + 1);
            }
        }
        return found;
    }
    // The token is read to decode its claim and wiped; it goes nowhere else.
    std::optional<std::string> TokenIssuer() override {
        constexpr std::size_t kTokenCap = std::size_t{16} * 1024;  // projected tokens are near 1 KiB
        auto token = adapters::ReadSmallFile(Path(Tree::kRoot, kServiceAccountToken), kTokenCap);
        if (!token) return std::nullopt;
        std::string issuer = workload::IssuerOfToken(*token);
        metadata::Wipe(*token);
        if (issuer.empty()) {
            EvDebug(nullptr).DebugLvl(kFnReport, 1,
                                      "The service account token holds no readable issuer claim");
        }
        return issuer.empty() ? std::nullopt : std::optional<std::string>(std::move(issuer));
    }

private:
    std::string Path(Tree tree, const std::string& path) const { return PathUnder(m_roots, tree, path); }

    Roots m_roots;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::optional<CpuidRegs>> m_cpuid;
};

}  // namespace

std::string PathUnder(const Roots& roots, Tree tree, const std::string& path) {
    switch (tree) {
        case Tree::kSys: return roots.sys + path;
        case Tree::kProc: return roots.proc + path;
        case Tree::kRoot: break;
    }
    return roots.host + path;
}

Roots RootsFromEnvironment() {
    Roots roots;
    roots.proc = WithoutTrailingSlashes(ProcRoot());
    roots.sys = Root(kEnvHostSys, kDefaultSysRoot);
    roots.host = Root(kEnvHostRoot, kDefaultHostRoot);
    return roots;
}

std::unique_ptr<Source> LiveSource(const Roots& roots) {
    return std::make_unique<Live>(roots);
}

}  // namespace vmdetect::evidence
