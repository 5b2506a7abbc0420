// A machine made of files and CPUID leaves held in memory, for rules that
// must be replayed over thousands of machines without touching a disk.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "report/Source.h"

namespace fakes {

class MemorySource final : public vmdetect::evidence::Source {
public:
    using Tree = vmdetect::evidence::Tree;
    using Regs = vmdetect::evidence::CpuidRegs;

    explicit MemorySource(std::string machine) : m_machine(std::move(machine)) {}
    void Put(Tree tree, const std::string& path, std::string content) { m_files[{tree, path}] = std::move(content); }
    void SetCpuid(std::uint32_t leaf, Regs regs) { m_cpuid[leaf] = regs; }

    std::optional<std::string> Read(Tree tree, const std::string& path, std::size_t cap) override {
        const auto found = m_files.find({tree, path});
        if (found == m_files.end()) return std::nullopt;
        return found->second.substr(0, cap);
    }
    // A directory exists when a file lies under it.
    bool Exists(Tree tree, const std::string& path) override {
        const auto after = m_files.lower_bound({tree, path});
        return after != m_files.end() && after->first.first == tree && after->first.second.rfind(path, 0) == 0;
    }
    std::vector<std::string> List(Tree, const std::string&) override { return {}; }
    std::optional<Regs> Cpuid(std::uint32_t leaf, std::uint32_t) override {
        if (m_cpuid.empty()) return std::nullopt;
        const auto found = m_cpuid.find(leaf);
        return found != m_cpuid.end() ? found->second : Regs{};
    }
    std::optional<std::uint64_t> Msr(std::uint32_t) override { return std::nullopt; }
    std::optional<std::uint64_t> NamespaceInode(const std::string&) override { return std::nullopt; }
    std::string Machine() override { return m_machine; }
    bool SelfIsInit() override { return false; }
    std::optional<std::string> OwnVariable(const char*) override { return std::nullopt; }

private:
    std::string m_machine;
    std::map<std::pair<Tree, std::string>, std::string> m_files;
    std::map<std::uint32_t, Regs> m_cpuid;
};

}  // namespace fakes
