// Where the metadata services are: the real addresses unless the
// environment points elsewhere. Read afresh on every request.
#pragma once

#include <string>

namespace vmdetect {
namespace endpoints {

struct Endpoint {
    enum class State { Ok, Disabled, Malformed };
    State state = State::Ok;
    std::string base;     // "http://host[:port]", no trailing slash (Ok only)
    std::string problem;  // log text naming the variable (Malformed only)
};

// AWS_EC2_METADATA_SERVICE_ENDPOINT (base URL, an IPv6 address in
// brackets), AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE (IPv4 or IPv6: which
// real address) and AWS_EC2_METADATA_DISABLED.
Endpoint Ec2();
// GCE_METADATA_HOST (host[:port]).
Endpoint Gce();
// VMDETECT_OCI_METADATA_ENDPOINT (base URL).
Endpoint Oci();
// VMDETECT_AZURE_METADATA_ENDPOINT (base URL).
Endpoint Azure();
// VMDETECT_ALIBABA_METADATA_ENDPOINT (base URL).
Endpoint Alibaba();
// VMDETECT_OPENSTACK_METADATA_ENDPOINT, VMDETECT_DIGITALOCEAN_METADATA_ENDPOINT,
// VMDETECT_HETZNER_METADATA_ENDPOINT (base URLs).
Endpoint OpenStack();
Endpoint DigitalOcean();
Endpoint Hetzner();
// VMDETECT_AKAMAI_, _VULTR_, _SCALEWAY_, _UPCLOUD_, _IBMCLOUD_ and
// _TENCENT_METADATA_ENDPOINT (base URLs).
Endpoint Akamai();
Endpoint Vultr();
Endpoint Scaleway();
Endpoint UpCloud();
Endpoint IbmCloud();
Endpoint Tencent();
// ECS's task metadata URI, as `variable` gives it (no default: the variable
// is the mark); its host must be ECS's address or a loopback one.
Endpoint Ecs(const char* variable, const std::string& uri);

}  // namespace endpoints
}  // namespace vmdetect
