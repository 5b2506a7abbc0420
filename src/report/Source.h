// Where the report's evidence comes from: this machine through the adapters,
// or a directory of evidence collected on some machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapters/Cpuid.h"
#include "adapters/SysFs.h"

namespace vmdetect::evidence {

// The function the report's log lines name, wherever they are written.
constexpr const char* kFnReport = "int vmdetect_report(char*, size_t, unsigned int)";

// The roots of all local evidence: $HOST_PROC, $HOST_SYS and $HOST_ROOT,
// each without a trailing slash ("" for "/").
struct Roots {
    std::string proc;
    std::string sys;
    std::string host;
};
Roots RootsFromEnvironment();

enum class Tree { kSys, kProc, kRoot };
using adapters::CpuidRegs;

// `path` of `tree` on this machine: under its root.
std::string PathUnder(const Roots& roots, Tree tree, const std::string& path);

// Paths are absolute within their tree ("/class/dmi/id/sys_vendor").
class Source {
public:
    virtual ~Source() = default;
    // The first `cap` bytes of a regular file; nullopt when absent or unreadable.
    virtual std::optional<std::string> Read(Tree tree, const std::string& path,
                                            std::size_t cap = adapters::kSmallFileCap) = 0;
    virtual bool Exists(Tree tree, const std::string& path) = 0;
    virtual std::vector<std::string> List(Tree tree, const std::string& path) = 0;
    // nullopt where the machine has no CPUID.
    virtual std::optional<CpuidRegs> Cpuid(std::uint32_t leaf, std::uint32_t subleaf) = 0;
    virtual std::optional<std::uint64_t> Msr(std::uint32_t index) = 0;
    // The inode of this process's namespace `name` ("pid").
    virtual std::optional<std::uint64_t> NamespaceInode(const std::string& name) = 0;
    // uname's machine: it chooses which architecture's rules apply.
    virtual std::string Machine() = 0;
    // Whether the reader is PID 1, whose own environment then counts.
    virtual bool SelfIsInit() = 0;
    virtual std::optional<std::string> OwnVariable(const char* name) = 0;
    // The variables among `names` that are set, by name; one reading of the
    // environment where the source can, instead of one search per name.
    virtual std::map<std::string, std::string, std::less<>> OwnVariables(const char* const* names,
                                                                          std::size_t count) {
        std::map<std::string, std::string, std::less<>> found;
        for (std::size_t i = 0; i < count; ++i) {
            if (auto value = OwnVariable(names[i])) {
                found.emplace(names[i], std::move(*value));
            }
        }
        return found;
    }
    // The issuer claim of the pod's service account token: a collection keeps
    // only this, for the token is a credential. nullopt when there is none.
    virtual std::optional<std::string> TokenIssuer() { return std::nullopt; }
};

// This machine, under `roots`.
std::unique_ptr<Source> LiveSource(const Roots& roots);

}  // namespace vmdetect::evidence
