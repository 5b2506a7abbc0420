# The Python package against the command of the same build, on the same
# simulated machine: fake dmidecode and systemctl, files under HOST_SYS,
# HOST_PROC and HOST_ROOT, and a loopback EC2 stand-in.
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
DATA = ROOT / "tests" / "data"
CLI = os.environ.get("VMDETECT_CLI", "vmdetect")
TOKEN = "AQAEAKfc-_1xvW8Rx8vUeK7sB_Y3lQ=="
EC2_NITRO = {"sys_vendor": "Amazon EC2", "product_name": "c5.large",
             "board_asset_tag": "i-1234567890abcdef0"}


def machine(tmp, dmi=None, files=None, docker=False):
    for sub in ("sys/class/dmi/id", "proc", "root"):
        (tmp / sub).mkdir(parents=True, exist_ok=True)
    for name, value in (files or {}).items():
        (tmp / "sys/class/dmi/id" / name).write_text(value + "\n")
    if docker:
        (tmp / "proc/812").mkdir()
        (tmp / "proc/812/cmdline").write_bytes((DATA / "cmdline/dockerd-18.09-plus.cmdline").read_bytes())
        (tmp / "root/.dockerenv").write_text("")
    env = dict(os.environ, HOST_SYS=str(tmp / "sys"), HOST_PROC=str(tmp / "proc"),
               HOST_ROOT=str(tmp / "root"), PATH=f"{ROOT / 'tests/fakes'}:/usr/bin:/bin")
    env.pop("VMDETECT_FAKE_DMI", None)
    if dmi:
        env["VMDETECT_FAKE_DMI"] = str(DATA / "dmi" / dmi)
    return env


def in_python(env, code):
    run = subprocess.run([sys.executable, "-c", "import json, os, vmdetect\n" + code], env=env,
                         capture_output=True, text=True, timeout=60, check=True)
    return json.loads(run.stdout)


class Ec2(http.server.BaseHTTPRequestHandler):
    answers = {"/latest/dynamic/instance-identity/document":
               (DATA / "metadata/ec2-instance-identity-document-docs-1.json").read_text(),
               "/latest/meta-data/hostname": "ip-10-158-112-84.us-west-2.compute.internal"}
    seen = []

    def do_PUT(self):
        ttl = self.headers.get("X-aws-ec2-metadata-token-ttl-seconds")
        self.seen.append(("PUT", self.path, ttl is not None))
        self.answer(TOKEN if self.path == "/latest/api/token" and ttl else None)

    def do_GET(self):
        self.seen.append(("GET", self.path, self.headers.get("X-aws-ec2-metadata-token") == TOKEN))
        self.answer(self.answers.get(self.path))

    def answer(self, body):
        self.send_response(200 if body else 404)
        self.end_headers()
        self.wfile.write((body or "").encode())

    def log_message(self, *args):
        pass


@pytest.fixture
def ec2():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Ec2)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    Ec2.seen.clear()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize("network, files, docker", [
    (False, {}, False),
    (False, {"sys_vendor": "Ac\"me \\ corp\x01", "product_name": "\xe9t\xe9"}, True),
    (False, EC2_NITRO, True),
    (True, EC2_NITRO, False),
])
def test_report_equals_the_commands(tmp_path, ec2, network, files, docker):
    env = dict(machine(tmp_path, files=files, docker=docker), AWS_EC2_METADATA_SERVICE_ENDPOINT=ec2)
    args = [CLI, "--report"] + ([] if network else ["--no-network"])
    expected = json.loads(subprocess.run(args, env=env, capture_output=True, check=True).stdout)
    requests = list(Ec2.seen)
    got = in_python(env, f"print(json.dumps(vmdetect.report(network={network})))")
    assert got == expected
    assert Ec2.seen == requests * 2
    asked = [("PUT", "/latest/api/token", True), ("GET", "/latest/dynamic/instance-identity/document", True),
             ("GET", "/latest/meta-data/hostname", True)]
    assert requests == (asked if network and files else [])
    assert not network or got["sources"]["cloud.region"] == "imds"


@pytest.mark.parametrize("dmi, docker, flags", [
    (None, False, 0),
    ("vmware-1.txt", True, vmdetect.Hypervisor.VMWARE_VM | vmdetect.Hypervisor.DOCKER_HOST),
    ("hyperv-1.txt", False, vmdetect.Hypervisor.HYPERV_VM),
    ("ec2-nitro-1.txt", False, vmdetect.Hypervisor.AMAZON_VM),
])
def test_flag_word_equals_the_commands(tmp_path, dmi, docker, flags):
    env = machine(tmp_path, dmi=dmi, docker=docker)
    cli = json.loads(subprocess.run([CLI, "--json"], env=env, capture_output=True, check=True).stdout)
    assert in_python(env, "print(int(vmdetect.detect_hypervisor()))") == cli["flags"] == flags


def test_flag_names_and_version_follow_the_c_header_and_the_command():
    header = (ROOT / "include/ZTVMDetect.h").read_text()
    bits = {name: int(value, 16) for name, value in re.findall(r"HV_(\w+) = (0x[0-9a-fA-F]+)", header)}
    assert bits == {flag.name: flag.value for flag in vmdetect.Hypervisor}
    version = subprocess.run([CLI, "--version"], capture_output=True, text=True, check=True).stdout
    pyproject = (ROOT / "python/pyproject.toml").read_text()
    assert version == f"vmdetect {vmdetect.__version__}\n"
    assert f'\nversion = "{vmdetect.__version__}"\n' in pyproject


@pytest.mark.parametrize("library", ["/nonexistent/libvmdetect.so.1", "not-a-library", "libm.so.6"])
def test_a_library_that_cannot_serve_raises_the_packages_error(tmp_path, monkeypatch, library):
    (tmp_path / "not-a-library").write_text("INPUT(nothing)\n")
    path = str(tmp_path / library) if library == "not-a-library" else library
    monkeypatch.setenv(vmdetect.LIBRARY_ENV, path)
    monkeypatch.setattr(vmdetect, "_library", None)
    for call in (vmdetect.report, vmdetect.detect_hypervisor):
        with pytest.raises(vmdetect.VmdetectError, match=re.escape(path)):
            call()


FORK = """
before = [vmdetect.report(network=False), int(vmdetect.detect_hypervisor())] if {warm} else None
vmdetect._lock.acquire()  # as if another thread were loading at the fork
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.write(write, json.dumps([vmdetect.report(network=False), int(vmdetect.detect_hypervisor())]).encode())
    os._exit(0)
os.close(write)
after = json.loads(os.read(read, 1 << 20))
print(json.dumps([before or after, after, os.waitpid(pid, 0)[1]]))
"""


@pytest.mark.parametrize("warm", [True, False])
def test_a_forked_child_answers_as_its_parent(tmp_path, warm):
    env = machine(tmp_path, dmi="vmware-1.txt", files={"sys_vendor": "VMware, Inc."}, docker=True)
    before, after, status = in_python(env, FORK.format(warm=warm))
    assert before == after and status == 0
    assert after[0]["container"] == "docker" and after[1] == 0x20001
