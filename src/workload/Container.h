// Which container this process runs in, and which pod: read from the paths
// of its own cgroup file and mount table, never from the network.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vmdetect::workload {

struct ContainerIdentity {
    std::string id;             // container.id
    std::string runtime;        // container.runtime.name; "" when the path does not tell
    std::string idSource;       // "cgroup" or "mountinfo"
    std::string podUid;         // k8s.pod.uid
    std::string podUidSource;   // "cgroup" or "mountinfo"
    std::string containerName;  // k8s.container.name, from the kubelet's mounts
};

// The identity in /proc/self/cgroup as read up to `cap` bytes.
ContainerIdentity FromCgroup(const std::string& cgroup, std::size_t cap);
// What /proc/self/mountinfo adds: the id when the cgroup file held none
// (cgroup v2 in a private namespace), the pod's uid when it held none, and
// the kubelet's container name.
void AddFromMountinfo(ContainerIdentity& identity, const std::string& mountinfo, std::size_t cap);

// The identity that /proc/self/cgroup and /proc/self/mountinfo (either may
// be absent) tell, each read up to `cap` bytes: a file that filled the cap
// loses its last, perhaps cut, line. The cgroup file decides first; the
// mount table is read when it holds no id (cgroup v2 in a private namespace).
ContainerIdentity FromFiles(const std::optional<std::string>& cgroup,
                            const std::optional<std::string>& mountinfo, std::size_t cap);

}  // namespace vmdetect::workload
