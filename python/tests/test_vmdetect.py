# The package against the command of the same build, on the same simulated
# machine: fake dmidecode and systemctl, files under HOST_SYS, HOST_PROC and
# HOST_ROOT, and a loopback EC2 stand-in that records every request.
import base64
import http.server
import json
import os
import re
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import vmdetect

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests/data"
CLI = os.environ.get("VMDETECT_CLI", "vmdetect")
TOKEN = "AQAEAKfc-_1xvW8Rx8vUeK7sB_Y3lQ=="
DOCUMENT = "/latest/dynamic/instance-identity/document"
HOSTNAME = "/latest/meta-data/hostname"
ANSWERS = {"/latest/api/token": TOKEN, HOSTNAME: "ip-10-158-112-84.us-west-2.compute.internal",
           DOCUMENT: (DATA / "metadata/ec2-instance-identity-document-docs-1.json").read_text()}
# A Lambda function's environment (tests/data/environ), its credentials among it.
LAMBDA = dict(line.split("=", 1) for line in (DATA / "environ/lambda-nodejs-docs-1.env").read_text().splitlines())
EC2_NITRO = (("sys_vendor", "Amazon EC2"), ("product_name", "c5.large"), ("board_asset_tag", "i-1234567890abcdef0"))


def machine(tmp, dmi=None, files=(), docker=False):
    for sub in ("sys/class/dmi/id", "proc/812", "root"):
        (tmp / sub).mkdir(parents=True)
    for name, value in files:
        (tmp / "sys/class/dmi/id" / name).write_text(value + "\n")
    if docker:
        (tmp / "proc/812/cmdline").write_bytes((DATA / "cmdline/dockerd-18.09-plus.cmdline").read_bytes())
        (tmp / "root/.dockerenv").touch()
    return dict(os.environ, HOST_SYS=str(tmp / "sys"), HOST_PROC=str(tmp / "proc"), HOST_ROOT=str(tmp / "root"),
                PATH=f"{ROOT / 'tests/fakes'}:/usr/bin:/bin", VMDETECT_FAKE_DMI=str(DATA / "dmi" / dmi) if dmi else "")


def run(env, *args):
    return json.loads(subprocess.run(args, env=env, capture_output=True, timeout=60, check=True).stdout)


class Ec2(http.server.BaseHTTPRequestHandler):
    seen = []

    def do_GET(self):
        header = "X-aws-ec2-metadata-token" + ("-ttl-seconds" if self.command == "PUT" else "")
        self.seen.append((self.command, self.path, self.headers.get(header)))
        body = ANSWERS.get(self.path, "").encode()
        self.send_response(200 if body else 404)
        self.end_headers()
        self.wfile.write(body)

    do_PUT = do_GET

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("network, dmi, files, docker, flags, environ", [
    (False, None, (), False, 0, {}),
    (False, "vmware-1.txt", (("sys_vendor", "VMware, Inc."), ("product_name", "Ac\"me \\ \x01\xe9")), True, 0x20001, {}),
    (False, "hyperv-1.txt", (), False, vmdetect.Hypervisor.HYPERV_VM, {}),
    (True, "ec2-nitro-1.txt", EC2_NITRO, False, vmdetect.Hypervisor.AMAZON_VM, {}),
    # Lambda on EC2's firmware: Lambda's keys, and no EC2 request.
    (True, "ec2-nitro-1.txt", EC2_NITRO, False, vmdetect.Hypervisor.AMAZON_VM, LAMBDA),
])
def test_report_and_flag_word_equal_the_commands(tmp_path, network, dmi, files, docker, flags, environ):
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), Ec2) as server:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        env = dict(machine(tmp_path, dmi, files, docker), **environ,
                   AWS_EC2_METADATA_SERVICE_ENDPOINT=f"http://127.0.0.1:{server.server_address[1]}")
        Ec2.seen.clear()
        expected = run(env, CLI, "--report", *([] if network else ["--no-network"]))
        report = run(env, sys.executable, "-c", f"import json, vmdetect; print(json.dumps(vmdetect.report({network})))")
        server.shutdown()
    asked = [("PUT", "/latest/api/token", "60"), ("GET", DOCUMENT, TOKEN), ("GET", HOSTNAME, TOKEN)] * network
    assert report == expected and Ec2.seen == asked * 2 * (not environ)
    if environ:
        assert report["cloud.platform"] == "aws_lambda" and report["sources"]["cloud.platform"] == "environ"
        assert report["aws.log.group.names"] == ["/aws/lambda/my-function"]
        assert LAMBDA["AWS_SECRET_ACCESS_KEY"] not in json.dumps(report)
    got = run(env, sys.executable, "-c", "import vmdetect; print(int(vmdetect.detect_hypervisor()))")
    assert got == run(env, CLI, "--json")["flags"] == flags


def test_a_pods_keys_equal_the_commands(tmp_path):
    env = machine(tmp_path, "ec2-nitro-1.txt", EC2_NITRO, docker=True)
    (tmp_path / "proc/self").mkdir()
    (tmp_path / "proc/self/cgroup").write_bytes((DATA / "container/kubepods-crio.cgroup").read_bytes())
    account = tmp_path / "root/var/run/secrets/kubernetes.io/serviceaccount"
    account.mkdir(parents=True)
    (account / "namespace").write_text("shop")
    claims = b'{"iss":"https://oidc.eks.eu-west-1.amazonaws.com/id/0123456789ABCDEF0123456789ABCDEF"}'
    (account / "token").write_text("eyJhbGciOiJSUzI1NiJ9." + base64.urlsafe_b64encode(claims).decode().rstrip("=") + ".c2ln")
    report = run(env, sys.executable, "-c", "import json, vmdetect; print(json.dumps(vmdetect.report(False)))")
    assert report == run(env, CLI, "--report", "--no-network")
    assert (report["container.id"], report["container.runtime.name"], report["k8s.namespace.name"],
            report["cloud.platform"]) == ("2227daf62df6694645fee5df53c1f91271546a9560e8600a525690ae252b7f63",
                                          "cri-o", "shop", "aws_eks")


def test_flag_names_and_version_follow_the_c_header_and_the_command():
    header = (ROOT / "include/ZTVMDetect.h").read_text()
    assert dict(re.findall(r"HV_(\w+) = (0x\w+)", header)) == {f.name: hex(f) for f in vmdetect.Hypervisor}
    version = subprocess.run([CLI, "--version"], capture_output=True, text=True, check=True).stdout
    assert version == f"vmdetect {vmdetect.__version__}\n"


@pytest.mark.parametrize("library", ["/nonexistent/libvmdetect.so.1", "not-a-library", "libm.so.6"])
def test_a_library_that_cannot_serve_raises_the_packages_error(tmp_path, monkeypatch, library):
    (tmp_path / "not-a-library").write_text("INPUT(nothing)\n")
    path = str(tmp_path / library) if library == "not-a-library" else library
    monkeypatch.setenv(vmdetect.LIBRARY_ENV, path)
    monkeypatch.setattr(vmdetect, "_library", None)
    for call in (vmdetect.report, vmdetect.detect_hypervisor):
        with pytest.raises(vmdetect.VmdetectError, match=re.escape(path)):
            call()


# The child answers as its parent; also when another thread held the loading
# lock at the fork (warm=False: the child loads the library itself).
FORK = """import json, os, vmdetect
def answers(): return [vmdetect.report(network=False), int(vmdetect.detect_hypervisor())]
before = answers() if {warm} else None
vmdetect._lock.acquire()
read, write = os.pipe()
if os.fork() == 0:
    os.write(write, json.dumps(answers()).encode())
    os._exit(0)
os.close(write)
after = json.loads(os.read(read, 1 << 20))
print(json.dumps([before or after, after, os.wait()[1]]))"""


@pytest.mark.parametrize("warm", [True, False])
def test_a_forked_child_answers_as_its_parent(tmp_path, warm):
    env = machine(tmp_path, "vmware-1.txt", (("sys_vendor", "VMware, Inc."),), docker=True)
    before, after, status = run(env, sys.executable, "-c", FORK.format(warm=warm))
    assert before == after and status == 0 and after[0]["container"] == "docker" and after[1] == 0x20001
