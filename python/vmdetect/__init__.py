"""What this machine is: its hypervisor, container, firmware and cloud identity.

A thin layer over ``libvmdetect.so.1`` through :mod:`ctypes`, on the
library's public C functions only (``vmdetect_report`` and
``DetectHypervisor``). The library is loaded on the first call: from the path
in ``VMDETECT_LIBRARY`` when that is set (a build tree, tests), else by its
soname, as the dynamic linker finds it.

Both calls run in the calling thread and release the GIL while the library
works; the library itself is thread-safe and may be called again in a forked
child. The library logs as ``VMDETECT_LOG`` and ``VMDETECT_LOG_LEVEL`` say
(by default its error lines go to standard error).
"""

from __future__ import annotations

import ctypes
import enum
import json
import os
import threading
from typing import Any, Optional

__all__ = ["Hypervisor", "VmdetectError", "detect_hypervisor", "report"]
__version__ = "1.0.0"

SONAME = "libvmdetect.so.1"
LIBRARY_ENV = "VMDETECT_LIBRARY"
_REPORT_NO_NETWORK = 0x1  # VMDETECT_REPORT_NO_NETWORK in <vmdetect.h>
_REPORT_TRIES = 4


class VmdetectError(Exception):
    """The library could not be loaded, or it could not give its answer."""


class Hypervisor(enum.IntFlag):
    """The bits of the flag word, as ``HV_*`` in ``<ZTVMDetect.h>``.

    At most one guest bit (``VMWARE_VM`` to ``ALIBABA_VM``) is set; the host
    roles combine with it. No bit at all means nothing was found.
    """

    VMWARE_VM = 0x1
    HYPERV_VM = 0x2
    XEN_VM = 0x4
    KVM_VM = 0x8
    AMAZON_VM = 0x10
    AZURE_VM = 0x20
    GOOGLECLOUD_VM = 0x40
    OCI_VM = 0x80
    ALIBABA_VM = 0x100
    HYPERV_HOST = 0x10000
    DOCKER_HOST = 0x20000
    XEN_HOST = 0x40000


_library: Optional[ctypes.CDLL] = None
_lock = threading.Lock()


def _fresh_lock() -> None:
    # A child forked while another thread was loading must not wait on a
    # lock whose holder does not exist in it.
    global _lock
    _lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_fresh_lock)


def _load() -> ctypes.CDLL:
    library = _library
    if library is not None:
        return library
    with _lock:
        return _load_locked()


def _load_locked() -> ctypes.CDLL:
    global _library
    if _library is not None:
        return _library
    path = os.environ.get(LIBRARY_ENV) or SONAME
    try:
        library = ctypes.CDLL(path)
        vmdetect_report = library.vmdetect_report
        detect = library.DetectHypervisor
    except (OSError, AttributeError) as error:
        raise VmdetectError(f"cannot use {path} ({LIBRARY_ENV} names another): {error}") from error
    vmdetect_report.argtypes = (ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint)
    vmdetect_report.restype = ctypes.c_int
    detect.argtypes = ()
    detect.restype = ctypes.c_uint
    _library = library
    return library


def _report_text(library: ctypes.CDLL, options: int) -> bytes:
    # Sized first, then filled; the report is cached after the first call,
    # so a second size differs only when another thread added the network
    # part in between.
    buffer: Optional[ctypes.Array[ctypes.c_char]] = None
    size = 0
    for _ in range(_REPORT_TRIES):
        length = library.vmdetect_report(buffer, size, options)
        if length < 0:
            raise VmdetectError("libvmdetect could not make the report")
        if buffer is not None and length < size:
            return buffer.raw[:length]
        size = length + 1
        buffer = ctypes.create_string_buffer(size)
    raise VmdetectError("the report changed its size on every call")


def report(network: bool = True) -> dict[str, Any]:
    """The platform report, parsed: a dict of its keys with ``sources``.

    Always ``hypervisor`` and ``container`` (in ``systemd-detect-virt``'s
    words), ``confidential`` on a confidential guest, then the firmware keys (``firmware.vendor``, ...) and the cloud
    and host keys (``cloud.*``, ``host.*``) that are known; in a container or
    a pod its identity (``container.id``, ``container.runtime.name``,
    ``k8s.pod.uid``, ``k8s.namespace.name``, ``k8s.container.name``, and on
    GKE, AKS or EKS ``k8s.cluster.name`` and that ``cloud.platform``); and
    ``sources``, naming for each key the kind of evidence it came from.

    Reads, in this process and without root, ``$HOST_SYS/class/dmi/id``,
    ``$HOST_SYS/hypervisor``, CPUID, ``$HOST_PROC`` and the container markers
    under ``$HOST_ROOT``; starts no process. The first call reads, later ones
    copy what it read. With ``VMDETECT_EVIDENCE`` naming a directory made by
    ``vmdetect --collect``, it reads that directory instead, and asks no
    service.

    With ``network`` (the default), where the firmware names a cloud with a
    metadata service, the first call asks that one service over plain HTTP
    and may block until its deadline: ``nCloudIdentityTimeoutMs`` of the
    configuration file, 1.5 s unless set. ``network=False`` sends nothing.

    Raises :class:`VmdetectError` when the library cannot be loaded or gives
    no report.
    """
    options = 0 if network else _REPORT_NO_NETWORK
    text = _report_text(_load(), options)
    try:
        parsed = json.loads(text.decode("utf-8"))
    except ValueError as error:
        raise VmdetectError(f"the report is not JSON: {error}") from error
    if not isinstance(parsed, dict):
        raise VmdetectError("the report is not a JSON object")
    return parsed


def detect_hypervisor() -> Hypervisor:
    """The flag word of ``DetectHypervisor()``: the platform and host roles.

    Runs ``dmidecode`` (whose firmware record needs root; as another user no
    guest bit comes from it), reads ``$HOST_PROC`` for the host roles, asks
    ``systemctl`` on Microsoft firmware and, on QEMU firmware, the Oracle
    Cloud metadata service. It blocks for those: each command at most 10 s,
    the Oracle request 1 s unless ``nOCIMetadataServiceTimeout`` says
    otherwise. ``nProbeCacheSeconds`` of the configuration file lets later
    calls reuse the slow answers.

    The value is an :class:`int`; its bits are named by :class:`Hypervisor`.
    Raises :class:`VmdetectError` when the library cannot be loaded.
    """
    return Hypervisor(_load().DetectHypervisor())
