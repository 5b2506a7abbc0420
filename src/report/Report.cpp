#include "report/Report.h"

#include <vmdetect.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "cloud/Identity.h"
#include "EvDebug.h"
#include "JsonText.h"
#include "Constants.h"
#include "adapters/ForkSafeMutex.h"
#include "report/EvidenceDir.h"

namespace vmdetect::report {

namespace {

std::atomic<CloudSource> g_cloudSource{nullptr};

// Firmware keys: the system (type 1) strings, as the kernel shows them.
struct FirmwareKey {
    const char* key;
    const char* file;
};
constexpr FirmwareKey kFirmwareKeys[] = {
    {"firmware.vendor", "sys_vendor"},
    {"firmware.product", "product_name"},
    {"firmware.version", "product_version"},
    {"firmware.uuid", "product_uuid"},
};

// uname's machine names in OpenTelemetry's host.arch words, the first
// matching row winning; a machine not listed keeps the kernel's own name.
struct Architecture {
    const char* machine;
    bool prefix;  // "arm" covers armv6l, armv7l, armv8l
    const char* arch;
};
constexpr Architecture kArchitectures[] = {
    {"x86_64", false, "amd64"}, {"aarch64", true, "arm64"}, {"arm", true, "arm32"},
    {"i386", false, "x86"},     {"i486", false, "x86"},     {"i586", false, "x86"},
    {"i686", false, "x86"},     {"ia64", false, "ia64"},    {"ppc64", true, "ppc64"},
    {"ppc", false, "ppc32"},    {"s390x", false, "s390x"},
};

std::string HostArch(const std::string& machine) {
    for (const Architecture& row : kArchitectures) {
        if (row.prefix ? machine.rfind(row.machine, 0) == 0 : machine == row.machine) {
            return row.arch;
        }
    }
    return machine;
}

bool IsCloudKey(const std::string& key) {
    return key.rfind("cloud.", 0) == 0 || key.rfind("host.", 0) == 0;
}

// The workload's platform names the cloud where the VM's firmware names one
// too: Cloud Run on Google's machines is Cloud Run.
void AddWorkload(Local& local) {
    local.workloadPlatform = workload::Decide(local.workloadEvidence);
    if (local.workloadPlatform == nullptr) {
        return;
    }
    for (Attribute& key : workload::FromEnvironment(*local.workloadPlatform, local.workloadEvidence)) {
        Put(local.platform, std::move(key));
    }
}

// The keys the network gives: the workload's service where its platform
// has one; the VM's cloud where no workload hides it (Lambda has no EC2
// service to ask, a Fargate task no reachable one).
std::shared_ptr<const Attributes> FromNetwork(const Local& local) {
    if (local.workloadPlatform != nullptr && !local.workloadPlatform->onHost) {
        return workload::Identify(*local.workloadPlatform, local.workloadEvidence);
    }
    const CloudSource source = g_cloudSource.load();
    return source != nullptr ? source(local.machine) : cloud::Identify(local.machine);
}

Attributes LocalAttributes(const Local& local) {
    Attributes out;
    out.push_back({"hypervisor", local.hypervisor.name, local.hypervisor.source});
    out.push_back({"container", local.container.name, local.container.source});
    if (local.confidential.name != "none") {
        out.push_back({"confidential", local.confidential.name, local.confidential.source});
    }
    for (const FirmwareKey& k : kFirmwareKeys) {
        const auto found = local.machine.dmi.find(k.file);
        if (found == local.machine.dmi.end() || found->second.empty()) {
            continue;
        }
        std::string value = found->second;
        if (std::strcmp(k.file, "product_uuid") == 0) {
            for (char& c : value) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        out.push_back({k.key, std::move(value), "dmi"});
    }
    out.insert(out.end(), local.platform.begin(), local.platform.end());
    const Attributes workload = workload::WorkloadAttributes(local.workload);
    out.insert(out.end(), workload.begin(), workload.end());
    return out;
}

// A list value's items, one a line, as a JSON array.
std::string JsonList(const std::string& items) {
    std::string out = "[";
    for (std::size_t at = 0; at < items.size();) {
        std::size_t end = items.find('\n', at);
        end = end == std::string::npos ? items.size() : end;
        out += (out.size() > 1 ? "," : "") + text::JsonString(items.substr(at, end - at));
        at = end + 1;
    }
    return out + "]";
}

struct Cache {
    adapters::ForkSafeMutex mutex;
    std::shared_ptr<const Local> local;
    std::shared_ptr<const std::string> localJson;
    std::shared_ptr<const Attributes> cloud;  // what networkJson was made from
    std::shared_ptr<const std::string> networkJson;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

// Whatever a fork caught half-made is dropped unread, and made again.
void Abandon(Cache& cache) {
    new (&cache.local) std::shared_ptr<const Local>();
    new (&cache.localJson) std::shared_ptr<const std::string>();
    new (&cache.cloud) std::shared_ptr<const Attributes>();
    new (&cache.networkJson) std::shared_ptr<const std::string>();
}

// The evidence directory that $VMDETECT_EVIDENCE names, nullptr when none.
const char* EvidenceDirectory() {
    const char* dir = std::getenv(kEnvEvidence);
    return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

// The local evidence, read by the first caller; it cannot change while the
// process lives. A bad evidence directory is not remembered.
std::shared_ptr<const Local> LocalOnce(Cache& cache) {
    const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
    if (!cache.local) {
        const char* replay = EvidenceDirectory();
        const std::unique_ptr<evidence::Source> source =
            replay != nullptr ? evidence::OpenEvidence(replay)
                              : evidence::LiveSource(evidence::RootsFromEnvironment());
        if (!source) {
            return nullptr;
        }
        Local read = ReadLocal(*source);
        read.replayed = replay != nullptr;
        auto local = std::make_shared<const Local>(std::move(read));
        EvDebug(nullptr).DebugLvl(evidence::kFnReport, 1,
                                  "Platform report: hypervisor %s (%s), container %s (%s), confidential %s (%s), "
                                  "workload platform %s",
                                  local->hypervisor.name.c_str(), local->hypervisor.source.c_str(),
                                  local->container.name.c_str(), local->container.source.c_str(),
                                  local->confidential.name.c_str(), local->confidential.source.c_str(),
                                  local->workloadPlatform == nullptr ? "none"
                                  : local->workloadPlatform->platform != nullptr ? local->workloadPlatform->platform
                                                                          : local->workloadPlatform->provider);
        cache.localJson = std::make_shared<const std::string>(Serialize(*local, Attributes{}));
        cache.local = std::move(local);
    }
    return cache.local;
}

}  // namespace

Local ReadLocal(evidence::Source& source) {
    Local local;
    virt::VmEvidence vm = evidence::ReadVmEvidence(source);
    local.hypervisor = virt::DecideHypervisor(vm);
    local.container = virt::DecideContainer(evidence::ReadContainerEvidence(source));
    local.confidential = virt::DecideConfidential(evidence::ReadConfidentialEvidence(source, vm));
    local.machine.guest = vm.cpuidHypervisor;
    local.machine.dmi = std::move(vm.dmi);
    local.platform = cloud::FromFirmware(local.machine);
    local.workloadEvidence = workload::ReadEvidence(source);
    AddWorkload(local);
    const std::string arch = HostArch(source.Machine());
    if (!arch.empty()) {
        local.platform.push_back({"host.arch", arch, "uname"});
    }
    local.platform.push_back({"os.type", "linux", "uname"});
    const Attribute* provider = Find(local.platform, "cloud.provider");
    local.workload = workload::ReadWorkload(source, local.workloadEvidence.env, local.container.name != "none",
                                            provider == nullptr || provider->value == "aws");
    const workload::ContainerIdentity& pod = local.workload.container;
    local.machine.kubernetesPod = local.workload.serviceHost &&
                                  (!pod.podUid.empty() || !local.workload.k8sNamespace.empty());
    return local;
}

Local ReadLocal(const evidence::Roots& roots) {
    return ReadLocal(*evidence::LiveSource(roots));
}

std::string Serialize(const Local& local, const Attributes& cloud) {
    Attributes all = LocalAttributes(local);
    for (const Attribute& a : cloud) {
        Attribute* same = Find(all, a.key);
        const bool named =
            local.workloadPlatform != nullptr && (a.key == "cloud.provider" || a.key == "cloud.platform");
        if (same != nullptr && a.key == "container.id" && same->value != a.value) {
            // ECS's DockerId and the cgroup's id name one container.
            EvDebug(nullptr).DebugLvl(evidence::kFnReport, 1,
                                      "container.id [%s] of the task metadata differs from the %s's [%s]; keeping the %s's",
                                      a.value.c_str(), same->source.c_str(), same->value.c_str(), same->source.c_str());
        }
        if (same == nullptr && !named) {
            all.push_back(a);
        } else if (same != nullptr && IsCloudKey(a.key) && !named) {
            *same = a;
        }
    }
    workload::ApplyManagedKubernetes(local.workload, all);
    std::string out = "{";
    std::string sources;
    for (const Attribute& a : all) {
        out += text::JsonString(a.key) + ":" + (a.list ? JsonList(a.value) : text::JsonString(a.value)) + ",";
        if (!a.source.empty()) {
            sources += (sources.empty() ? "" : ",") + text::JsonString(a.key) + ":" +
                       text::JsonString(a.source);
        }
    }
    out += "\"sources\":{" + sources + "}}";
    return out;
}

std::shared_ptr<const std::string> Cached(unsigned int options) {
    Cache& cache = TheCache();
    const std::shared_ptr<const Local> local = LocalOnce(cache);
    if (!local) {
        return nullptr;
    }
    if ((options & VMDETECT_REPORT_NO_NETWORK) != 0 || local->replayed) {
        const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
        return cache.localJson;
    }
    // Asked outside the lock: a cold answer may wait on the network.
    std::shared_ptr<const Attributes> cloud = FromNetwork(*local);
    const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
    if (!cloud || cloud->empty()) {
        return cache.localJson;
    }
    if (cache.cloud != cloud || !cache.networkJson) {
        cache.networkJson = std::make_shared<const std::string>(Serialize(*local, *cloud));
        cache.cloud = std::move(cloud);
    }
    return cache.networkJson;
}

void SetCloudSourceForTesting(CloudSource source) {
    g_cloudSource.store(source);
}

void ResetCacheForTesting() {
    Cache& cache = TheCache();
    const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
    cache.local.reset();
    cache.localJson.reset();
    cache.cloud.reset();
    cache.networkJson.reset();
}

}  // namespace vmdetect::report

extern "C" int vmdetect_report(char* buffer, size_t size, unsigned int options) {
    if ((options & ~VMDETECT_REPORT_NO_NETWORK) != 0) {
        return -1;
    }
    std::shared_ptr<const std::string> json;
    try {
        json = vmdetect::report::Cached(options);
    } catch (...) {
        return -1;  // out of memory: no report, and nothing thrown into C
    }
    if (!json || json->size() > static_cast<std::size_t>(INT_MAX)) {
        return -1;
    }
    if (buffer != nullptr && size > 0) {
        const std::size_t n = json->size() < size ? json->size() : size - 1;
        std::memcpy(buffer, json->data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(json->size());
}

extern "C" int vmdetect_collect(const char* dir, unsigned int options) {
    if (dir == nullptr || *dir == '\0' || (options & ~VMDETECT_COLLECT_PRIVATE) != 0) {
        errno = EINVAL;
        return -1;
    }
    int error = 0;
    try {
        error = vmdetect::evidence::Collect(dir, vmdetect::evidence::RootsFromEnvironment(),
                                            (options & VMDETECT_COLLECT_PRIVATE) != 0,
                                            [](vmdetect::evidence::Source& source) {
                                                (void)vmdetect::report::ReadLocal(source);
                                            });
    } catch (...) {
        error = ENOMEM;
    }
    errno = error;
    return error == 0 ? 0 : -1;
}
