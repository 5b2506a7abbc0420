# Safe defaults before anything loads the library: every metadata service a
# closed loopback port unless a test names its own, no configuration, no log.
import os

for name in ("AWS_EC2_METADATA_SERVICE_ENDPOINT", "VMDETECT_OCI_METADATA_ENDPOINT",
             "VMDETECT_AZURE_METADATA_ENDPOINT", "VMDETECT_ALIBABA_METADATA_ENDPOINT",
             "VMDETECT_OPENSTACK_METADATA_ENDPOINT", "VMDETECT_DIGITALOCEAN_METADATA_ENDPOINT",
             "VMDETECT_HETZNER_METADATA_ENDPOINT", "VMDETECT_AKAMAI_METADATA_ENDPOINT",
             "VMDETECT_VULTR_METADATA_ENDPOINT", "VMDETECT_SCALEWAY_METADATA_ENDPOINT",
             "VMDETECT_UPCLOUD_METADATA_ENDPOINT", "VMDETECT_IBMCLOUD_METADATA_ENDPOINT",
             "VMDETECT_TENCENT_METADATA_ENDPOINT"):
    os.environ[name] = "http://127.0.0.1:9"
os.environ.update(GCE_METADATA_HOST="127.0.0.1:9", VMDETECT_CONFIG="/nonexistent/vmdetect-test.conf",
                  VMDETECT_LOG="/dev/null", VMDETECT_LOG_LEVEL="0")
# ECS's URI variables are its mark, with no default: unset unless a test serves them.
for name in ("AWS_EC2_METADATA_DISABLED", "AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", "VMDETECT_EVIDENCE",
             "ECS_CONTAINER_METADATA_URI_V4", "ECS_CONTAINER_METADATA_URI"):
    os.environ.pop(name, None)
