// The workload a process runs as: its container and pod (Container.h), the
// pod's namespace, and the managed Kubernetes services that the cloud's
// answers or the service account's token issuer name.
#pragma once

#include <string>

#include "ReportTypes.h"
#include "workload/Container.h"
#include "report/Environ.h"
#include "report/Source.h"

namespace vmdetect::workload {

struct Workload {
    ContainerIdentity container;
    std::string k8sNamespace;  // the service account's namespace file
    std::string tokenIssuer;   // the service account token's `iss` claim
    bool serviceHost = false;  // KUBERNETES_SERVICE_HOST is set
    bool InPod() const { return !container.podUid.empty() || !k8sNamespace.empty() || serviceHost; }
};

// `env`: the allow-listed environment, read once for the whole report.
// `container`: the local verdict named a container manager. `mayBeEks`: the
// firmware names AWS or no cloud, so the token's issuer may tell EKS.
Workload ReadWorkload(evidence::Source& source, const evidence::Environment& env, bool container, bool mayBeEks);

// container.*, k8s.* keys of `workload`, for the report's local part.
report::Attributes WorkloadAttributes(const Workload& workload);

// In a pod of a managed Kubernetes service, `all` (the report's merged keys)
// gets that service's cloud.platform, and k8s.cluster.name where only the
// cloud's answer tells it: EKS by its token issuer, AKS by its node
// resource group, GKE by the cluster-name Google's service answered.
void ApplyManagedKubernetes(const Workload& workload, report::Attributes& all);

// The `iss` claim of a JSON web token's payload; "" when the token is not
// one or the claim is not a short line of visible ASCII. Nothing else of the
// token is kept.
std::string IssuerOfToken(const std::string& token);

// Whether `issuer` is an EKS cluster's: https://oidc.eks.<region>.amazonaws.com/id/<32 hex>.
bool IsEksIssuer(const std::string& issuer);

// The cluster of an AKS node resource group "MC_<group>_<cluster>_<location>"
// in `region` ("" for any); "" when the group has another form.
std::string AksCluster(const std::string& resourceGroup, const std::string& region);

}  // namespace vmdetect::workload
