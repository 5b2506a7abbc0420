# Safe defaults before anything loads the library: every metadata service is
# a closed loopback port unless a test names its own stand-in, no
# configuration file of this machine, no log.
import os

for name in ("AWS_EC2_METADATA_SERVICE_ENDPOINT", "VMDETECT_OCI_METADATA_ENDPOINT",
             "VMDETECT_AZURE_METADATA_ENDPOINT", "VMDETECT_ALIBABA_METADATA_ENDPOINT",
             "VMDETECT_OPENSTACK_METADATA_ENDPOINT", "VMDETECT_DIGITALOCEAN_METADATA_ENDPOINT",
             "VMDETECT_HETZNER_METADATA_ENDPOINT"):
    os.environ[name] = "http://127.0.0.1:9"
os.environ["GCE_METADATA_HOST"] = "127.0.0.1:9"
os.environ.pop("AWS_EC2_METADATA_DISABLED", None)
os.environ.pop("AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", None)
os.environ["VMDETECT_CONFIG"] = "/nonexistent/vmdetect-test.conf"
os.environ["VMDETECT_LOG"] = "/dev/null"
os.environ["VMDETECT_LOG_LEVEL"] = "0"
