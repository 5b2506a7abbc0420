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
for name in ("AWS_EC2_METADATA_DISABLED", "AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", "VMDETECT_EVIDENCE"):
    os.environ.pop(name, None)
