// Every path, URL, command line and environment name the library uses.
#pragma once

namespace vmdetect {

// Environment.
constexpr const char* kEnvConfig = "VMDETECT_CONFIG";
constexpr const char* kEnvLog = "VMDETECT_LOG";
constexpr const char* kEnvLogLevel = "VMDETECT_LOG_LEVEL";
constexpr const char* kEnvHostProc = "HOST_PROC";
constexpr const char* kEnvHostSys = "HOST_SYS";
constexpr const char* kEnvHostRoot = "HOST_ROOT";
// A collected evidence directory that the report reads instead of the machine.
constexpr const char* kEnvEvidence = "VMDETECT_EVIDENCE";
// What a container manager sets in the environment of the container's init.
constexpr const char* kEnvContainer = "container";
constexpr const char* kEnvEc2Endpoint = "AWS_EC2_METADATA_SERVICE_ENDPOINT";
constexpr const char* kEnvEc2EndpointMode = "AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE";
constexpr const char* kEnvEc2Disabled = "AWS_EC2_METADATA_DISABLED";
constexpr const char* kEnvGceHost = "GCE_METADATA_HOST";
// Set by the kubelet in every pod's containers.
constexpr const char* kEnvKubernetesServiceHost = "KUBERNETES_SERVICE_HOST";
constexpr const char* kEnvOciEndpoint = "VMDETECT_OCI_METADATA_ENDPOINT";
constexpr const char* kEnvAzureEndpoint = "VMDETECT_AZURE_METADATA_ENDPOINT";
constexpr const char* kEnvAlibabaEndpoint = "VMDETECT_ALIBABA_METADATA_ENDPOINT";
constexpr const char* kEnvOpenStackEndpoint = "VMDETECT_OPENSTACK_METADATA_ENDPOINT";
constexpr const char* kEnvDigitalOceanEndpoint = "VMDETECT_DIGITALOCEAN_METADATA_ENDPOINT";
constexpr const char* kEnvHetznerEndpoint = "VMDETECT_HETZNER_METADATA_ENDPOINT";

// Defaults.
constexpr const char* kDefaultConfigPath = "/etc/vmdetect/vmdetect.conf";
constexpr const char* kDefaultProcRoot = "/proc";
constexpr const char* kDefaultSysRoot = "/sys";
constexpr const char* kDefaultHostRoot = "/";
// The real metadata services: this is the only place they appear.
constexpr const char* kDefaultEc2Endpoint = "http://169.254.169.254";
constexpr const char* kDefaultEc2EndpointIpv6 = "http://[fd00:ec2::254]";
constexpr const char* kDefaultOciEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultGceHost = "metadata.google.internal";
constexpr const char* kDefaultAzureEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultAlibabaEndpoint = "http://100.100.100.200";
// OpenStack, DigitalOcean and Hetzner share the link-local address.
constexpr const char* kDefaultOpenStackEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultDigitalOceanEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultHetznerEndpoint = "http://169.254.169.254";

// Loaded on the first metadata request.
constexpr const char* kLibcurlSoname = "libcurl.so.4";

// Configuration keys.
constexpr const char* kConfigSection = "VirtualServer";
constexpr const char* kKeyProxyUUID = "sProxyVMUUID";
constexpr const char* kKeyOciTimeout = "nOCIMetadataServiceTimeout";
constexpr const char* kKeyCloudIdentityTimeout = "nCloudIdentityTimeoutMs";
constexpr const char* kKeyProbeCacheSeconds = "nProbeCacheSeconds";

// Command lines.
constexpr const char* kDmiCommandFormat =
    "dmidecode --type system | grep -i '%s' | awk -F'%s' {'print $2'}";
constexpr const char* kServiceCommandFormat = "systemctl | grep '%s'";
constexpr const char* kXenCommandFormat = "grep -q control_d %s";

// Process file system.
constexpr const char* kXenCapabilities = "/xen/capabilities";  // under the proc root
constexpr const char* kCmdline = "/cmdline";

// Local evidence of the platform report. Under the sys root:
constexpr const char* kDmiIdDir = "/class/dmi/id/";
constexpr const char* kSmbiosBiosEntry = "/firmware/dmi/entries/0-0/raw";
constexpr const char* kHypervisorType = "/hypervisor/type";
constexpr const char* kXenFeatures = "/hypervisor/properties/features";
// Confidential guests: SEV-SNP only (world-readable), s390 Secure Execution, Arm CCA.
constexpr const char* kSevVmpl = "/devices/system/cpu/sev/vmpl";
constexpr const char* kSevGuestDevice = "/devices/platform/sev-guest";
constexpr const char* kProtVirtGuest = "/firmware/uv/prot_virt_guest";
constexpr const char* kCcaDevice = "/devices/platform/arm-cca-dev";
constexpr const char* kCcaRealmGuest = "/firmware/cca/realm_guest";
// Under the proc root:
constexpr const char* kXenDir = "/xen";
constexpr const char* kCpuinfo = "/cpuinfo";
constexpr const char* kSysinfo = "/sysinfo";
constexpr const char* kDeviceTree = "/device-tree";
constexpr const char* kDeviceTreeHypervisor = "/device-tree/hypervisor/compatible";
constexpr const char* kDeviceTreePartitionName = "/device-tree/ibm,partition-name";
constexpr const char* kDeviceTreeHmcManaged = "/device-tree/hmc-managed?";
constexpr const char* kDeviceTreeQemuGraphic = "/device-tree/chosen/qemu,graphic-width";
constexpr const char* kDeviceTreeCompatible = "/device-tree/compatible";
constexpr const char* kOpenVzDir = "/vz";
constexpr const char* kOpenVzHostDir = "/bc";
constexpr const char* kOsRelease = "/sys/kernel/osrelease";
constexpr const char* kSelfStatus = "/self/status";
constexpr const char* kSelfNamespaceDir = "/self/ns/";
constexpr const char* kInitEnviron = "/1/environ";
constexpr const char* kSelfCgroup = "/self/cgroup";
constexpr const char* kSelfMountinfo = "/self/mountinfo";
constexpr const char* kCommFormat = "/%d/comm";
// Under the host root:
constexpr const char* kDockerEnv = "/.dockerenv";
constexpr const char* kPodmanEnv = "/run/.containerenv";
constexpr const char* kSystemdContainer = "/run/systemd/container";
constexpr const char* kHostContainerManager = "/run/host/container-manager";
// A pod's service account; the token is read only for its issuer claim.
constexpr const char* kServiceAccountNamespace = "/var/run/secrets/kubernetes.io/serviceaccount/namespace";
constexpr const char* kServiceAccountToken = "/var/run/secrets/kubernetes.io/serviceaccount/token";

// The processor's model-specific registers (the msr module; root only).
constexpr const char* kMsrDevice = "/dev/cpu/0/msr";

// A collected evidence directory: its files, and the folders that stand for
// the sys, proc and host roots.
constexpr const char* kEvidenceFormatFile = "format";
constexpr const char* kEvidenceFormatLine = "vmdetect-evidence 1";
constexpr const char* kEvidenceUnameFile = "uname";
constexpr const char* kEvidenceCpuidFile = "cpuid";
constexpr const char* kEvidenceNamespaceFile = "ns";
constexpr const char* kEvidenceMsrFile = "msr";
// The issuer claim of the service account's token, never the token.
constexpr const char* kEvidenceTokenIssuerFile = "k8s-token-issuer";
constexpr const char* kEvidenceSysDir = "sys";
constexpr const char* kEvidenceProcDir = "proc";
constexpr const char* kEvidenceRootDir = "root";
// The allow-listed variables of the process's own environment, "NAME=value"
// entries each ended by a NUL, as /proc/<pid>/environ holds them.
constexpr const char* kEvidenceEnvironFile = "environ";

// The process's own environment: the only variables the report reads, and
// the only ones a collection writes. A name not in this list is never read,
// logged or collected, whatever it holds (keys, tokens, passwords).
constexpr const char* kEnvironAllowList[] = {
    // AWS Lambda
    "AWS_LAMBDA_FUNCTION_NAME", "AWS_LAMBDA_FUNCTION_VERSION", "AWS_LAMBDA_FUNCTION_MEMORY_SIZE",
    "AWS_LAMBDA_LOG_GROUP_NAME", "AWS_LAMBDA_LOG_STREAM_NAME", "AWS_REGION",
    // AWS ECS: the task metadata endpoint, v4 and v3
    "ECS_CONTAINER_METADATA_URI_V4", "ECS_CONTAINER_METADATA_URI",
    // Google Cloud: Bare Metal Solution, Cloud Functions, Cloud Run, App Engine
    "BMS_INSTANCE_ID", "BMS_PROJECT_ID", "BMS_REGION", "FUNCTION_TARGET", "K_SERVICE", "K_REVISION",
    "K_CONFIGURATION", "CLOUD_RUN_JOB", "CLOUD_RUN_EXECUTION", "CLOUD_RUN_TASK_INDEX", "GAE_ENV",
    "GAE_SERVICE", "GAE_VERSION", "GAE_INSTANCE",
    // Azure: App Service, Functions, Container Apps
    "WEBSITE_SITE_NAME", "WEBSITE_RESOURCE_GROUP", "WEBSITE_OWNER_NAME", "WEBSITE_SLOT_NAME",
    "WEBSITE_INSTANCE_ID", "WEBSITE_POD_NAME", "WEBSITE_MEMORY_LIMIT_MB", "REGION_NAME",
    "CONTAINER_NAME", "FUNCTIONS_WORKER_RUNTIME", "FUNCTIONS_EXTENSION_VERSION",
    "CONTAINER_APP_NAME", "CONTAINER_APP_REPLICA_NAME",
    // Heroku (dyno metadata)
    "HEROKU_DYNO_ID", "HEROKU_APP_ID", "HEROKU_SLUG_COMMIT", "HEROKU_RELEASE_CREATED_AT",
    // Kubernetes: set in every pod's containers
    "KUBERNETES_SERVICE_HOST",
};
// A longer value is no platform's: it is refused, not cut.
constexpr unsigned kEnvironValueCap = 4096;

// Metadata paths.
constexpr const char* kEc2MetaDataPath = "/latest/meta-data/";
constexpr const char* kEc2ItemInstanceId = "instance-id";
constexpr const char* kEc2ItemZone = "placement/availability-zone";
constexpr const char* kEc2TokenPath = "/latest/api/token";
constexpr const char* kGcePath = "/computeMetadata/v1/";
constexpr const char* kGceItemInstanceId = "instance/id";
constexpr const char* kGceItemProjectId = "project/project-id";
constexpr const char* kGceItemZone = "instance/zone";
constexpr const char* kGceHeader = "Metadata-Flavor: Google";
constexpr const char* kOciV1Path = "/opc/v1/instance/";
constexpr const char* kOciV2Path = "/opc/v2/instance/";
constexpr const char* kEc2TokenTtlHeader = "X-aws-ec2-metadata-token-ttl-seconds: 21600";
constexpr const char* kEc2TokenHeaderName = "X-aws-ec2-metadata-token";
constexpr const char* kOciV2Header = "Authorization: Bearer Oracle";

// Cloud identity requests.
constexpr const char* kEc2IdentityDocumentPath = "/latest/dynamic/instance-identity/document";
constexpr const char* kEc2IdentityTokenTtlHeader = "X-aws-ec2-metadata-token-ttl-seconds: 60";
constexpr const char* kGceItemMachineType = "instance/machine-type";
constexpr const char* kGceItemName = "instance/name";
constexpr const char* kGceItemHostName = "instance/hostname";
// GKE's nodes carry their cluster in the instance's attributes.
constexpr const char* kGceItemClusterName = "instance/attributes/cluster-name";
constexpr const char* kGceItemClusterLocation = "instance/attributes/cluster-location";
constexpr const char* kEc2ItemHostName = "hostname";
constexpr const char* kGceFlavorName = "Metadata-Flavor";
constexpr const char* kGceFlavorValue = "Google";
constexpr const char* kAzureComputePath =
    "/metadata/instance/compute?api-version=2021-02-01&format=json";
constexpr const char* kAzureHeader = "Metadata: true";
constexpr const char* kAlibabaTokenPath = "/latest/api/token";
constexpr const char* kAlibabaTokenTtlHeader = "X-aliyun-ecs-metadata-token-ttl-seconds: 60";
constexpr const char* kAlibabaTokenHeaderName = "X-aliyun-ecs-metadata-token";
constexpr const char* kAlibabaMetaDataPath = "/latest/meta-data/";
constexpr const char* kOpenStackMetaDataPath = "/openstack/latest/meta_data.json";
constexpr const char* kDigitalOceanMetaDataPath = "/metadata/v1.json";
constexpr const char* kHetznerMetaDataPath = "/hetzner/v1/metadata";

// Workload platforms. Elastic Beanstalk's X-Ray configuration, under the
// host root; ECS's task document under the container's metadata URI; the
// real ECS metadata address (its URI variable must name it, or loopback).
constexpr const char* kBeanstalkEnvironmentConf = "/var/elasticbeanstalk/xray/environment.conf";
constexpr const char* kEcsTaskPath = "/task";
constexpr const char* kDefaultEcsHost = "169.254.170.2";
constexpr const char* kGceItemRegion = "instance/region";

// Services.
constexpr const char* kAzureAgentService = "Azure Linux Agent";

// The six clouds asked since the Collector learnt them. Their endpoint
// variables, each "http://host[:port]":
constexpr const char* kEnvAkamaiEndpoint = "VMDETECT_AKAMAI_METADATA_ENDPOINT";
constexpr const char* kEnvVultrEndpoint = "VMDETECT_VULTR_METADATA_ENDPOINT";
constexpr const char* kEnvScalewayEndpoint = "VMDETECT_SCALEWAY_METADATA_ENDPOINT";
constexpr const char* kEnvUpCloudEndpoint = "VMDETECT_UPCLOUD_METADATA_ENDPOINT";
constexpr const char* kEnvIbmCloudEndpoint = "VMDETECT_IBMCLOUD_METADATA_ENDPOINT";
constexpr const char* kEnvTencentEndpoint = "VMDETECT_TENCENT_METADATA_ENDPOINT";
// Their real services: Akamai, Vultr, UpCloud and IBM Cloud VPC on the
// link-local address, Scaleway and Tencent on their own.
constexpr const char* kDefaultAkamaiEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultVultrEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultScalewayEndpoint = "http://169.254.42.42";
constexpr const char* kDefaultUpCloudEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultIbmCloudEndpoint = "http://169.254.169.254";
constexpr const char* kDefaultTencentEndpoint = "http://metadata.tencentyun.com";
// Their requests.
constexpr const char* kAkamaiTokenPath = "/v1/token";
constexpr const char* kAkamaiTokenTtlHeader = "Metadata-Token-Expiry-Seconds: 60";
constexpr const char* kAkamaiTokenHeaderName = "Metadata-Token";
constexpr const char* kAkamaiInstancePath = "/v1/instance";
constexpr const char* kVultrMetaDataPath = "/v1.json";
constexpr const char* kScalewayConfPath = "/conf?format=json";
constexpr const char* kUpCloudMetaDataPath = "/metadata/v1.json";
constexpr const char* kIbmCloudTokenPath = "/identity/v1/token?version=2022-03-01";
constexpr const char* kIbmCloudTokenBody = "{\"expires_in\":300}";
constexpr const char* kIbmCloudFlavorHeader = "Metadata-Flavor: ibm";
constexpr const char* kIbmCloudContentType = "Content-Type: application/json";
constexpr const char* kIbmCloudInstancePath = "/metadata/v1/instance?version=2022-03-01";
constexpr const char* kIbmCloudTokenHeaderName = "Authorization";
constexpr const char* kIbmCloudTokenPrefix = "Bearer ";
constexpr const char* kTencentMetaDataPath = "/latest/meta-data/";

}  // namespace vmdetect
