# Safe defaults before anything loads the library: every metadata service a
# closed loopback port unless a test names its own, no configuration, no log.
import os

# The one list of endpoint variables: a loopback port each, or unset ("-").
_LIST = os.path.join(os.path.dirname(__file__), "..", "..", "src", "net", "endpoint-variables.tsv")
with open(_LIST, encoding="utf-8") as endpoints:
    for row in endpoints:
        if row.strip() and not row.startswith("#"):
            name, loopback, _ = row.rstrip("\n").split("\t", 2)
            if loopback == "-":
                os.environ.pop(name, None)
            else:
                os.environ[name] = loopback
os.environ.update(VMDETECT_CONFIG="/nonexistent/vmdetect-test.conf",
                  VMDETECT_LOG="/dev/null", VMDETECT_LOG_LEVEL="0")
os.environ.pop("VMDETECT_EVIDENCE", None)
