#include "report/EvidenceDir.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

#include "Constants.h"
#include "EvDebug.h"
#include "adapters/Beneath.h"
#include "adapters/FileWriter.h"
#include "adapters/Kernel.h"
#include "report/Environ.h"
#include "report/VirtRules.h"

namespace vmdetect::evidence {

namespace {

// Never copied unless asked: they identify the machine, not the platform.
constexpr const char* kPrivateDmiFiles[] = {"product_serial", "product_uuid", "board_serial",
                                            "chassis_serial"};

// The path of an evidence file within the directory, whose folders stand in
// the roots' places: "sys/class/dmi/id/sys_vendor".
std::string InDirectory(Tree tree, const std::string& path) {
    std::string out = PathUnder(Roots{kEvidenceProcDir, kEvidenceSysDir, kEvidenceRootDir}, tree, path);
    while (out.back() == '/') {
        out.pop_back();
    }
    return out;
}

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*" PRIx64, digits, value);
    return text;
}

// "0x" and 1 to `digits` hex digits, the whole word.
bool ParseHex(const std::string& word, int digits, std::uint64_t& value) {
    if (word.size() < 3 || word.size() > std::size_t(digits) + 2 || word.compare(0, 2, "0x") != 0) {
        return false;
    }
    value = 0;
    for (std::size_t i = 2; i < word.size(); ++i) {
        const char c = word[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) {
            return false;
        }
        value = value * 16 + std::uint64_t(d);
    }
    return true;
}

// What a collection holds besides files.
struct Facts {
    std::map<std::pair<std::uint32_t, std::uint32_t>, CpuidRegs> cpuid;
    std::map<std::uint32_t, std::uint64_t> msr;
    std::map<std::string, std::uint64_t> namespaces;
    std::string machine;
    Environment variables;  // allow-listed variables; none in a collection without the file
    std::string tokenIssuer;  // "" for none
};

// ---- Replay ----------------------------------------------------------------

class Directory final : public Source {
public:
    Directory(std::string dir, adapters::Beneath beneath, Facts facts)
        : m_dir(std::move(dir)), m_beneath(std::move(beneath)), m_facts(std::move(facts)),
          m_x86(virt::ArchOf(m_facts.machine) == virt::Arch::kX86) {}

    std::optional<std::string> Read(Tree tree, const std::string& path, std::size_t cap) override {
        const std::string file = InDirectory(tree, path);
        adapters::Beneath::Entry entry;
        auto content = m_beneath.Read(file, cap, &entry);
        if (!content) {
            Absent(file, entry);
        }
        return content;
    }
    bool Exists(Tree tree, const std::string& path) override {
        const std::string file = InDirectory(tree, path);
        const adapters::Beneath::Entry entry = m_beneath.Kind(file);
        if (entry.kind != adapters::PathKind::kFile && entry.kind != adapters::PathKind::kDirectory) {
            Absent(file, entry);
            return false;
        }
        return true;
    }
    std::vector<std::string> List(Tree tree, const std::string& path) override {
        return m_beneath.List(InDirectory(tree, path));
    }
    // A leaf the collection lacks reads as zeros, as on a processor that has it empty.
    std::optional<CpuidRegs> Cpuid(std::uint32_t leaf, std::uint32_t subleaf) override {
        if (!m_x86) {
            return std::nullopt;
        }
        const auto found = m_facts.cpuid.find({leaf, subleaf});
        return found != m_facts.cpuid.end() ? found->second : CpuidRegs{};
    }
    std::optional<std::uint64_t> Msr(std::uint32_t index) override {
        const auto found = m_facts.msr.find(index);
        return found != m_facts.msr.end() ? std::optional<std::uint64_t>(found->second) : std::nullopt;
    }
    std::optional<std::uint64_t> NamespaceInode(const std::string& name) override {
        const auto found = m_facts.namespaces.find(name);
        return found != m_facts.namespaces.end() ? std::optional<std::uint64_t>(found->second) : std::nullopt;
    }
    std::string Machine() override { return m_facts.machine; }
    bool SelfIsInit() override { return false; }
    std::optional<std::string> OwnVariable(const char* name) override {
        const std::string* value = Variable(m_facts.variables, name);
        return value != nullptr ? std::optional<std::string>(*value) : std::nullopt;
    }
    std::optional<std::string> TokenIssuer() override {
        return m_facts.tokenIssuer.empty() ? std::nullopt : std::optional<std::string>(m_facts.tokenIssuer);
    }

private:
    // A link leading out of the collection, and anything but a file or
    // directory, count as absent, with one debug line.
    void Absent(const std::string& file, const adapters::Beneath::Entry& entry) const {
        if (entry.outside) {
            EvDebug(nullptr).DebugLvl(kFnReport, 1, "Evidence %s/%s leads out of the directory; taken as absent",
                                      m_dir.c_str(), file.c_str());
        } else if (entry.kind == adapters::PathKind::kOther) {
            EvDebug(nullptr).DebugLvl(kFnReport, 1, "Evidence %s/%s is not a file or directory; taken as absent",
                                      m_dir.c_str(), file.c_str());
        }
    }

    std::string m_dir;
    adapters::Beneath m_beneath;
    Facts m_facts;
    bool m_x86;
};

// The lines of a fact file, each split into words; a missing file has none.
std::vector<std::vector<std::string>> FactLines(const adapters::Beneath& dir, const char* name) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(dir.Read(name, 1u << 20).value_or(""));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        lines.emplace_back();
        for (std::string word; words >> word;) {
            lines.back().push_back(word);
        }
    }
    return lines;
}

void BadLine(const char* file, const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += (line.empty() ? "" : " ") + word;
    }
    EvDebug(nullptr).DebugLvl(kFnReport, 1, "Evidence %s: line [%s] does not parse; ignored", file,
                              line.c_str());
}

Facts ReadFacts(const adapters::Beneath& real) {
    Facts facts;
    const auto uname = real.Read(kEvidenceUnameFile, adapters::kSmallFileCap);
    facts.machine = uname ? std::string(virt::FirstLine(*uname)) : "";
    for (const auto& w : FactLines(real, kEvidenceCpuidFile)) {
        std::uint64_t v[6];
        bool ok = w.size() == 6;
        for (std::size_t i = 0; ok && i < 6; ++i) ok = ParseHex(w[i], 8, v[i]);
        if (!ok) {
            BadLine(kEvidenceCpuidFile, w);
            continue;
        }
        facts.cpuid[{std::uint32_t(v[0]), std::uint32_t(v[1])}] =
            CpuidRegs{std::uint32_t(v[2]), std::uint32_t(v[3]), std::uint32_t(v[4]), std::uint32_t(v[5])};
    }
    for (const auto& w : FactLines(real, kEvidenceMsrFile)) {
        std::uint64_t index = 0, value = 0;
        if (w.size() != 2 || !ParseHex(w[0], 8, index) || !ParseHex(w[1], 16, value)) {
            BadLine(kEvidenceMsrFile, w);
            continue;
        }
        facts.msr[std::uint32_t(index)] = value;
    }
    for (const auto& w : FactLines(real, kEvidenceNamespaceFile)) {
        char* end = nullptr;
        const unsigned long long inode = w.size() == 2 ? std::strtoull(w[1].c_str(), &end, 10) : 0;
        if (w.size() != 2 || end == w[1].c_str() || *end != '\0' || w[1][0] == '-') {
            BadLine(kEvidenceNamespaceFile, w);
            continue;
        }
        facts.namespaces[w[0]] = inode;
    }
    // A collection from before the file has none of the variables.
    if (const auto text = real.Read(kEvidenceEnvironFile, 1u << 20)) {
        facts.variables = ParseEnviron(*text);
    }
    // One line of one word: the claim as the token held it; anything else is no claim.
    const auto issuer = FactLines(real, kEvidenceTokenIssuerFile);
    if (issuer.size() == 1 && issuer[0].size() == 1) {
        facts.tokenIssuer = issuer[0][0];
    } else {
        for (const auto& w : issuer) BadLine(kEvidenceTokenIssuerFile, w);
    }
    return facts;
}


// ---- Collection ------------------------------------------------------------

// This machine, with every answer the report gets written down.
class Recorder final : public Source {
public:
    Recorder(const Roots& roots, bool withPrivate)
        : m_live(LiveSource(roots)), m_roots(roots), m_private(withPrivate) {}

    std::optional<std::string> Read(Tree tree, const std::string& path, std::size_t cap) override {
        auto content = m_live->Read(tree, path, cap);
        if (content && Shareable(tree, path)) {
            m_files[InDirectory(tree, path)] = tree == Tree::kProc && path == kInitEnviron
                                                   ? OnlyContainerEntry(*content) : *content;
        }
        return content;
    }
    // Existence is evidence: a directory is made, a file copied (empty when
    // unreadable), anything else stands as an empty file.
    bool Exists(Tree tree, const std::string& path) override {
        if (!m_live->Exists(tree, path)) {
            return false;
        }
        if (KindOf(tree, path) == adapters::PathKind::kDirectory) {
            m_files.emplace(InDirectory(tree, path), std::nullopt);
        } else {
            m_files.emplace(InDirectory(tree, path), m_live->Read(tree, path).value_or(""));
        }
        return true;
    }
    // The names that matter are those of directories (device tree nodes).
    std::vector<std::string> List(Tree tree, const std::string& path) override {
        std::vector<std::string> names = m_live->List(tree, path);
        m_files.emplace(InDirectory(tree, path), std::nullopt);
        for (const std::string& name : names) {
            const std::string entry = path + '/' + name;
            if (KindOf(tree, entry) == adapters::PathKind::kDirectory) {
                m_files.emplace(InDirectory(tree, entry), std::nullopt);
            }
        }
        return names;
    }
    std::optional<CpuidRegs> Cpuid(std::uint32_t leaf, std::uint32_t subleaf) override {
        const auto regs = m_live->Cpuid(leaf, subleaf);
        if (regs) m_facts.cpuid[{leaf, subleaf}] = *regs;
        return regs;
    }
    std::optional<std::uint64_t> Msr(std::uint32_t index) override {
        const auto value = m_live->Msr(index);
        if (value) m_facts.msr[index] = *value;
        return value;
    }
    std::optional<std::uint64_t> NamespaceInode(const std::string& name) override {
        const auto inode = m_live->NamespaceInode(name);
        if (inode) m_facts.namespaces[name] = *inode;
        return inode;
    }
    std::string Machine() override { return m_facts.machine = m_live->Machine(); }
    bool SelfIsInit() override { return m_live->SelfIsInit(); }
    // Only an allow-listed variable is written down; any other is read for
    // the reader alone.
    std::optional<std::string> OwnVariable(const char* name) override {
        auto value = m_live->OwnVariable(name);
        if (value && Allowed(name)) {
            m_facts.variables[name] = *value;
        }
        return value;
    }
    std::map<std::string, std::string, std::less<>> OwnVariables(const char* const* names,
                                                                  std::size_t count) override {
        auto found = m_live->OwnVariables(names, count);
        for (const auto& [name, value] : found) {
            if (Allowed(name)) {
                m_facts.variables[name] = value;
            }
        }
        return found;
    }
    std::optional<std::string> TokenIssuer() override {
        auto issuer = m_live->TokenIssuer();
        m_facts.tokenIssuer = issuer.value_or("");
        return issuer;
    }

    int Write(const std::string& dir) const;

private:
    bool Shareable(Tree tree, const std::string& path) const {
        for (const char* name : kPrivateDmiFiles) {
            if (!m_private && tree == Tree::kSys && path == std::string(kDmiIdDir) + name) {
                return false;
            }
        }
        return true;
    }
    // PID 1's environment may hold secrets; only the manager's mark is evidence.
    static std::string OnlyContainerEntry(const std::string& environ) {
        const auto value = virt::EnvironValue(environ, kEnvContainer);
        return value ? std::string(kEnvContainer) + "=" + *value + std::string(1, '\0') : "";
    }
    adapters::PathKind KindOf(Tree tree, const std::string& path) const {
        return adapters::KindOf(PathUnder(m_roots, tree, path));
    }
    std::vector<std::pair<const char*, std::string>> FactFiles() const;

    std::unique_ptr<Source> m_live;
    Roots m_roots;
    bool m_private;
    std::map<std::string, std::optional<std::string>> m_files;  // nullopt: a directory
    Facts m_facts;
};

// The files that are not copies, in the order written: the format line
// last, so a collection cut short is refused. An empty one is not written.
std::vector<std::pair<const char*, std::string>> Recorder::FactFiles() const {
    std::string cpuid, msr, namespaces;
    for (const auto& [leaf, r] : m_facts.cpuid) {
        cpuid += Hex(leaf.first, 8) + " " + Hex(leaf.second, 8) + " " + Hex(r.eax, 8) + " " + Hex(r.ebx, 8) +
                 " " + Hex(r.ecx, 8) + " " + Hex(r.edx, 8) + "\n";
    }
    for (const auto& [index, value] : m_facts.msr) msr += Hex(index, 8) + " " + Hex(value, 16) + "\n";
    for (const auto& [ns, inode] : m_facts.namespaces) namespaces += ns + " " + std::to_string(inode) + "\n";
    return {{kEvidenceCpuidFile, cpuid},
            {kEvidenceMsrFile, msr},
            {kEvidenceNamespaceFile, namespaces},
            {kEvidenceEnvironFile, FormatEnviron(m_facts.variables)},
            {kEvidenceTokenIssuerFile, m_facts.tokenIssuer.empty() ? "" : m_facts.tokenIssuer + "\n"},
            {kEvidenceUnameFile, m_facts.machine + "\n" + adapters::KernelRelease() + "\n"},
            {kEvidenceFormatFile, std::string(kEvidenceFormatLine) + "\n"}};
}

// The copies first, then the facts.
int Recorder::Write(const std::string& dir) const {
    int error = adapters::MakeEmptyDirectory(dir);
    for (auto file = m_files.begin(); error == 0 && file != m_files.end(); ++file) {
        const std::string path = dir + "/" + file->first;
        if (!file->second) {
            error = adapters::MakeDirectories(path);
            continue;
        }
        error = adapters::MakeDirectories(path.substr(0, path.rfind('/')));
        if (error == 0) error = adapters::WriteNewFile(path, *file->second);
    }
    for (const auto& [name, content] : FactFiles()) {
        if (error == 0 && !content.empty()) error = adapters::WriteNewFile(dir + "/" + name, content);
    }
    return error;
}

}  // namespace

std::unique_ptr<Source> OpenEvidence(const std::string& dir) {
    auto beneath = adapters::Beneath::Open(dir);
    const auto format = beneath ? beneath->Read(kEvidenceFormatFile, adapters::kSmallFileCap) : std::nullopt;
    if (!format || virt::FirstLine(*format) != kEvidenceFormatLine) {
        EvDebug(nullptr).Error(kFnReport, "%s is not a vmdetect evidence directory: no format line \"%s\"",
                               dir.c_str(), kEvidenceFormatLine);
        return nullptr;
    }
    Facts facts = ReadFacts(*beneath);
    return std::make_unique<Directory>(dir, std::move(*beneath), std::move(facts));
}

int Collect(const std::string& dir, const Roots& roots, bool withPrivate,
            const std::function<void(Source&)>& readAll) {
    Recorder recorder(roots, withPrivate);
    readAll(recorder);
    return recorder.Write(dir);
}

}  // namespace vmdetect::evidence
