// The container's and the pod's identity in the paths of the process's own
// cgroups and mounts. The samples named by the rows are in
// tests/data/container/ (its README gives their sources).
#include "workload/Container.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace vmdetect::workload {
namespace {

using std::string_view;

enum class IdShape {
    kHex64,    // Docker, containerd, CRI-O, podman
    kFargate,  // ECS Fargate 1.4: 32 hex digits, '-', decimal digits
    kName,     // an LXC container's name
};

// One shape of a container in a cgroup path: a segment (paths are split at
// '/' and ':') that is `prefix` <id> `suffix`, right after a segment named
// `parent` ("" for any) and somewhere below one named `under` ("" for any).
// Tried from the path's last segment back, each segment row by row: the
// deepest container wins (the inner one of nested containers), and a named
// form before the bare id, so that its runtime is kept.
struct CgroupForm {
    const char* parent;
    const char* under;
    const char* prefix;
    const char* suffix;
    IdShape shape;
    const char* runtime;  // "" when the path does not tell
};
constexpr CgroupForm kCgroupForms[] = {
    {"", "", "docker-", ".scope", IdShape::kHex64, "docker"},               // openshift-docker, docker-systemd-centos
    {"", "", "crio-", ".scope", IdShape::kHex64, "cri-o"},                  // kubepods-crio
    {"", "", "cri-containerd-", ".scope", IdShape::kHex64, "containerd"},   // kubepods-cri-containerd
    {"", "", "libpod-", ".scope", IdShape::kHex64, "podman"},               // podman-libpod
    {"cri-containerd", "", "", "", IdShape::kHex64, "containerd"},          // containerd-colon
    {"docker", "", "", "", IdShape::kHex64, "docker"},                      // docker-v1
    {"lxc", "", "", "", IdShape::kName, "lxc"},                             // lxc-v1
    {"lxc.payload", "", "", "", IdShape::kName, "lxc"},                     // lxc-payload-dir
    {"", "", "lxc.payload.", "", IdShape::kName, "lxc"},                    // lxc-payload
    {"", "ecs", "", "", IdShape::kFargate, ""},                             // ecs-fargate
    {"", "", "", "", IdShape::kHex64, ""},                                  // kubepods-cgroupfs, ecs-ec2
};

// The pod in a kubepods path: cgroupfs names its directory "pod<uid>"
// (kubepods-cgroupfs); systemd a slice "...kubepods-<qos>-pod<uid>.slice"
// with '-' in the uid written '_' (kubepods-crio, containerd-colon),
// the slice may carry a prefix ("kubelet-kubepods-...").
struct PodForm {
    const char* marker;  // the last one in the segment starts the uid
    const char* suffix;
    bool whole;          // the segment starts with the marker
};
constexpr PodForm kPodForms[] = {
    {"pod", "", true},
    {"-pod", ".slice", false},
};

// A container's own directory among a mount root's segments:
// <marker>/<64 hex>/<next>, below a segment named `under` ("" for any).
// Docker's copies a relative root ("/docker/containers/<id>/hostname")
// when its data directory is a file system of its own.
struct MountForm {
    const char* marker;
    const char* next;
    const char* under;
    const char* runtime;
    const char* podRuntime;  // the runtime when the process is in a pod
};
constexpr MountForm kMountForms[] = {
    {"overlay-containers", "userdata", "", "podman", "cri-o"},  // podman-rootless, crio-k8s
    {"containers", "", "docker", "docker", "docker"},           // docker, docker-volume, minikube-docker
};

// In a pod these are bind-mounted from the pod's sandbox (the pause
// container, containerd's sandboxes/, CRI-O's infra container): an id in
// their roots is the sandbox's, not this container's (crio-k8s).
constexpr string_view kSandboxMounts[] = {"/etc/hostname", "/etc/resolv.conf", "/etc/hosts",
                                          "/run/.containerenv", "/dev/shm"};
// A root with this segment is a sandbox's wherever it is mounted
// (containerd-k8s, minikube-containerd-sandbox).
constexpr string_view kSandboxSegment = "sandboxes";

bool Hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }

bool AllOf(string_view text, bool (*pred)(char)) {
    return !text.empty() && std::all_of(text.begin(), text.end(), pred);
}

bool Fits(IdShape shape, string_view id) {
    switch (shape) {
        case IdShape::kHex64: return id.size() == 64 && AllOf(id, Hex);
        case IdShape::kFargate:
            return id.size() > 33 && id[32] == '-' && AllOf(id.substr(0, 32), Hex) &&
                   AllOf(id.substr(33), Digit);
        case IdShape::kName:
            return id.size() <= 64 && AllOf(id, [](char c) {
                       return Hex(c) || Digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'g' && c <= 'z') ||
                              c == '.' || c == '_' || c == '-';
                   }) && id.find_first_not_of('.') != string_view::npos;
    }
    return false;
}

bool IsUuid(string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !Hex(text[i])) return false;
    }
    return true;
}

// A Kubernetes container name: a DNS label.
bool IsLabel(string_view text) {
    return text.size() <= 63 && AllOf(text, [](char c) { return Hex(c) || Digit(c) || (c >= 'g' && c <= 'z') || c == '-'; }) &&
           text.front() != '-' && text.back() != '-';
}

bool StartsWith(string_view text, string_view prefix) { return text.substr(0, prefix.size()) == prefix; }
bool EndsWith(string_view text, string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The file's lines: without a byte-order mark, trailing blanks or blank
// lines, and without a last line the cap may have cut.
std::vector<string_view> Lines(string_view text, std::size_t cap) {
    const bool cut = text.size() >= cap;
    if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
    if (cut) text = text.substr(0, text.rfind('\n') + 1);  // no line end: nothing
    std::vector<string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::vector<string_view> Split(string_view text, string_view separators) {
    std::vector<string_view> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool Has(const std::vector<string_view>& segments, std::size_t before, string_view name) {
    return std::find(segments.begin(), segments.begin() + static_cast<std::ptrdiff_t>(before), name) !=
           segments.begin() + static_cast<std::ptrdiff_t>(before);
}

// The id and runtime of one cgroup path; false when it names no container.
bool IdOfPath(const std::vector<string_view>& segments, ContainerIdentity& out) {
    for (std::size_t i = segments.size(); i-- > 0;) {
        const string_view segment = segments[i];
        for (const CgroupForm& form : kCgroupForms) {
            if ((*form.parent != '\0' && (i == 0 || segments[i - 1] != form.parent)) ||
                (*form.under != '\0' && !Has(segments, i, form.under)) || !StartsWith(segment, form.prefix) ||
                !EndsWith(segment, form.suffix)) {
                continue;
            }
            const std::size_t head = std::char_traits<char>::length(form.prefix);
            const std::size_t tail = std::char_traits<char>::length(form.suffix);
            if (segment.size() <= head + tail) continue;
            const string_view id = segment.substr(head, segment.size() - head - tail);
            if (Fits(form.shape, id)) {
                out.id = std::string(id);
                out.runtime = form.runtime;
                return true;
            }
        }
    }
    return false;
}

std::string PodOfPath(const std::vector<string_view>& segments) {
    const auto kube = std::find_if(segments.begin(), segments.end(),
                                   [](string_view s) { return s.find("kubepods") != string_view::npos; });
    for (auto it = kube; it != segments.end(); ++it) {
        for (const PodForm& form : kPodForms) {
            const std::size_t at = form.whole ? (StartsWith(*it, form.marker) ? 0 : string_view::npos)
                                              : it->rfind(form.marker);
            if (at == string_view::npos || !EndsWith(*it, form.suffix)) continue;
            const std::size_t head = at + std::char_traits<char>::length(form.marker);
            const std::size_t tail = std::char_traits<char>::length(form.suffix);
            if (it->size() <= head + tail) continue;
            std::string uid(it->substr(head, it->size() - head - tail));
            std::replace(uid.begin(), uid.end(), '_', '-');
            if (IsUuid(uid)) return uid;
        }
    }
    return "";
}

// "hierarchy:controllers:path"; the path may hold ':' itself.
void ReadCgroup(string_view text, std::size_t cap, ContainerIdentity& out) {
    for (const string_view line : Lines(text, cap)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == string_view::npos ? first : line.find(':', first + 1);
        if (second == string_view::npos) continue;
        const std::vector<string_view> segments = Split(line.substr(second + 1), "/:");
        if (out.podUid.empty()) out.podUid = PodOfPath(segments);
        if (out.id.empty() && IdOfPath(segments, out)) out.idSource = "cgroup";
    }
    if (!out.podUid.empty()) out.podUidSource = "cgroup";
}

// The mount root and mount point of a mountinfo line; false for a line
// that is not one ("id parent major:minor root point options ... - type ...").
bool RootAndPoint(string_view line, string_view& root, string_view& point) {
    string_view fields[5];
    std::size_t at = 0;
    for (string_view& field : fields) {
        at = line.find_first_not_of(' ', at);
        if (at == string_view::npos) return false;
        const std::size_t end = std::min(line.find(' ', at), line.size());
        field = line.substr(at, end - at);
        at = end;
    }
    if (fields[2].find(':') == string_view::npos || line.find(" - ", at) == string_view::npos) return false;
    root = fields[3];
    point = fields[4];
    return true;
}

// The kubelet's directory of a pod: .../kubelet/pods/<uid>/[containers/<name>/].
void KubeletMount(const std::vector<string_view>& segments, std::string& uid, std::string& name) {
    for (std::size_t i = 0; i + 2 < segments.size(); ++i) {
        if (segments[i] == "kubelet" && segments[i + 1] == "pods" && IsUuid(segments[i + 2])) {
            uid = std::string(segments[i + 2]);
            if (i + 4 < segments.size() && segments[i + 3] == "containers" && IsLabel(segments[i + 4])) {
                name = std::string(segments[i + 4]);
            }
            return;
        }
    }
}

bool IdOfMount(const std::vector<string_view>& segments, bool inPod, ContainerIdentity& out) {
    if (std::find(segments.begin(), segments.end(), kSandboxSegment) != segments.end()) return false;
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
        for (const MountForm& form : kMountForms) {
            if (segments[i] != form.marker || !Fits(IdShape::kHex64, segments[i + 1]) ||
                (*form.next != '\0' && (i + 2 >= segments.size() || segments[i + 2] != form.next)) ||
                (*form.under != '\0' && !Has(segments, i, form.under))) {
                continue;
            }
            out.id = std::string(segments[i + 1]);
            out.runtime = inPod ? form.podRuntime : form.runtime;
            return true;
        }
    }
    return false;
}

void ReadMountinfo(string_view text, std::size_t cap, ContainerIdentity& out) {
    const std::vector<string_view> lines = Lines(text, cap);
    std::vector<std::pair<string_view, std::vector<string_view>>> mounts;  // point, root's segments
    std::string uid, name;
    for (const string_view line : lines) {
        string_view root, point;
        // Only a container's or the kubelet's directory can tell anything.
        if (!RootAndPoint(line, root, point) ||
            (root.find("containers/") == string_view::npos && root.find("kubelet/pods/") == string_view::npos)) {
            continue;
        }
        mounts.emplace_back(point, Split(root, "/"));
        std::string lineUid, lineName;
        KubeletMount(mounts.back().second, lineUid, lineName);
        if (uid.empty()) uid = lineUid;
        if (name.empty() && !lineName.empty() && lineUid == uid) name = lineName;
    }
    if (out.podUid.empty() && !uid.empty()) {
        out.podUid = uid;
        out.podUidSource = "mountinfo";
    }
    if (out.podUid == uid) out.containerName = name;
    const bool inPod = !out.podUid.empty();
    for (const auto& [point, segments] : mounts) {
        if (!out.id.empty()) break;
        const bool shared = std::find(std::begin(kSandboxMounts), std::end(kSandboxMounts), point) !=
                            std::end(kSandboxMounts);
        if (!(inPod && shared) && IdOfMount(segments, inPod, out)) out.idSource = "mountinfo";
    }
}

}  // namespace

ContainerIdentity FromCgroup(const std::string& cgroup, std::size_t cap) {
    ContainerIdentity out;
    ReadCgroup(cgroup, cap, out);
    return out;
}

void AddFromMountinfo(ContainerIdentity& identity, const std::string& mountinfo, std::size_t cap) {
    ReadMountinfo(mountinfo, cap, identity);
}

ContainerIdentity FromFiles(const std::optional<std::string>& cgroup,
                            const std::optional<std::string>& mountinfo, std::size_t cap) {
    ContainerIdentity out = cgroup ? FromCgroup(*cgroup, cap) : ContainerIdentity{};
    if (mountinfo) AddFromMountinfo(out, *mountinfo, cap);
    return out;
}

}  // namespace vmdetect::workload
