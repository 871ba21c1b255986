"""A real Node-RED server, run as a child process on a loopback port.

The tests and the example talk to it through the same Admin HTTP API a
deployed Node-RED offers, so they exercise the flow reader against the
genuine article.
"""

from __future__ import annotations

import functools
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from collections import deque
from pathlib import Path
from typing import Any

import requests

REPO_ROOT = Path(__file__).resolve().parents[1]
NODERED_DIR = REPO_ROOT / "scripts" / "nodered"
SETTINGS_JS = NODERED_DIR / "settings.js"
# scripts/install_nodered.sh installs Node-RED into one of these: the second
# where npm has no Node.js new enough for the first.
INSTALL_DIRS = (NODERED_DIR, NODERED_DIR / "v4")
# Names a directory holding node_modules/node-red, so that the same harness
# can run another Node-RED (scripts/test_nodered_versions.sh).
INSTALL_DIR_VARIABLE = "FLOW_NODERED_DIR"

# Without this header Node-RED answers GET /flows with the bare node list and
# no revision; the flow reader asks for v2, so the harness does too.
API_HEADERS = {"Node-RED-API-Version": "v2"}
REQUEST_TIMEOUT = 5.0
POLL_INTERVAL = 0.1
DEPLOY_TIMEOUT = 10.0
# Generous, for Node.js under qemu-user.
NODE_VERSION_TIMEOUT = 60.0
LOG_TAIL_LINES = 40

Flow = list[dict[str, Any]]


class NodeRedError(RuntimeError):
    """Node-RED did not start, died, or did not take a deployment."""


def nodered_install_dir() -> Path:
    """The directory whose node_modules holds the Node-RED to run."""
    override = os.environ.get(INSTALL_DIR_VARIABLE)
    if override:
        return Path(override).resolve()
    for install_dir in INSTALL_DIRS:
        if (install_dir / "node_modules" / "node-red").is_dir():
            return install_dir
    return NODERED_DIR


def find_red_js() -> Path:
    """Path of the Node-RED entry point in nodered_install_dir()."""
    red_js = nodered_install_dir() / "node_modules" / "node-red" / "red.js"
    if not red_js.is_file():
        raise FileNotFoundError(
            f"Node-RED is not installed ({red_js} is missing): run "
            f"scripts/install_nodered.sh, or set {INSTALL_DIR_VARIABLE} to a "
            "directory holding node_modules/node-red"
        )
    return red_js


def find_node() -> str:
    """The Node.js installed beside Node-RED, else node on PATH.

    Fails when it is older than the Node-RED's package.json asks for.
    """
    return checked_node(nodered_install_dir())


@functools.cache
def checked_node(install_dir: Path) -> str:
    node = bundled_node(install_dir) or shutil.which("node")
    if node is None:
        raise FileNotFoundError(
            "node is not on PATH: run scripts/install_nodered.sh"
        )
    package = install_dir / "node_modules" / "node-red" / "package.json"
    wanted = json.loads(package.read_text(encoding="utf-8")).get("engines", {}).get("node")
    if wanted is not None:
        version = node_version(node)
        if version < lowest_version(wanted):
            raise NodeRedError(
                f"{node} is Node.js {'.'.join(map(str, version))}, but the "
                f"Node-RED in {install_dir} needs Node.js {wanted} "
                f"(engines.node of {package})"
            )
    return node


def bundled_node(install_dir: Path) -> str | None:
    """The Node.js of scripts/nodered's optional dependencies: npm links it into .bin, except
    npm 9 (Debian 13's), which leaves a bin named node unlinked."""
    modules = install_dir / "node_modules"
    for candidate in (modules / ".bin" / "node", *sorted(modules.glob("node-linux-*/bin/node"))):
        if candidate.is_file():
            return str(candidate)
    return None


def node_version(node: str) -> tuple[int, ...]:
    """The version a Node.js binary reports, as (major, minor, patch)."""
    printed = subprocess.run(
        [node, "--version"], capture_output=True, text=True, check=True,
        stdin=subprocess.DEVNULL, timeout=NODE_VERSION_TIMEOUT,
    ).stdout.strip()
    return version_tuple(printed.removeprefix("v"))


def lowest_version(engines_node: str) -> tuple[int, ...]:
    """The lower bound of an engines.node range of the form >=X[.Y[.Z]]."""
    match = re.fullmatch(r"\s*>=\s*v?(\d+(?:\.\d+){0,2})\s*", engines_node)
    if match is None:
        raise NodeRedError(f"cannot read the Node.js range {engines_node!r}")
    return version_tuple(match[1])


def version_tuple(text: str) -> tuple[int, ...]:
    parts = [int(part) for part in text.split(".")]
    return tuple(parts + [0] * (3 - len(parts)))


def free_loopback_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def loopback_port_is_free(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        # As Node.js does, so a closed server's lingering connections do not
        # make its own port look taken on restart.
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


class NodeRedServer:
    """One Node-RED process with its own temporary user directory.

    The initial flow is written once, as the user directory's flows.json.
    Node-RED saves every deployment there, so a stop() and start() brings the
    server back on the same port with the flow last deployed.
    """

    host = "127.0.0.1"

    def __init__(
        self,
        initial_flow: Flow,
        *,
        port: int | None = None,
        start_timeout: float = 30.0,
        stop_timeout: float = 5.0,
        settings: Path | None = None,
        https: tuple[Path, Path] | None = None,
        admin_root: str = "",
    ) -> None:
        """`settings` is the settings file (default settings.js); `https` a key and a
        certificate file to serve https with, the certificate also being what this harness
        trusts; `admin_root` Node-RED's httpAdminRoot ("/admin"), where the API then is."""
        self._red_js = find_red_js()
        self._node = find_node()
        self.port = port if port is not None else free_loopback_port()
        self.url = f"{'https' if https else 'http'}://{self.host}:{self.port}{admin_root}"
        self.settings = settings
        self.extra_settings: dict[str, Any] = {}
        if https:
            key, cert = https
            self.extra_settings["https"] = {"key": key.read_text(), "cert": cert.read_text()}
        if admin_root:
            self.extra_settings["httpAdminRoot"] = admin_root
        self.start_timeout = start_timeout
        self.stop_timeout = stop_timeout
        self.user_dir = Path(tempfile.mkdtemp(prefix="zorv-nodered-"))
        self.log_path = self.user_dir / "node-red.log"
        self.process: subprocess.Popen[bytes] | None = None
        self._http = requests.Session()
        self._http.headers.update(API_HEADERS)
        if https:
            self._http.verify = str(https[1])
            # Else REQUESTS_CA_BUNDLE, where it is set, would take the place of that verify.
            self._http.trust_env = False
        write_json(self.user_dir / "flows.json", initial_flow)

    def __enter__(self) -> NodeRedServer:
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def start(self) -> NodeRedServer:
        """Start Node-RED and return once it serves GET /flows."""
        if self.running:
            raise NodeRedError(f"Node-RED already runs at {self.url}")
        # Another server on the port would answer the readiness poll before
        # Node-RED gives up on it, and the tests would talk to the wrong one.
        if not loopback_port_is_free(self.port):
            raise NodeRedError(f"port {self.port} on {self.host} is in use")
        self.process = self._spawn()
        try:
            self._wait_until_serving()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """End the whole process group: SIGTERM first, SIGKILL if it lingers."""
        if self.process is None or self.process.returncode is not None:
            return
        group = self.process.pid
        signal_group(group, signal.SIGTERM)
        if not wait_for_exit_unreaped(group, self.stop_timeout):
            signal_group(group, signal.SIGKILL)
            wait_for_exit_unreaped(group, None)
        # Until it is reaped the leader holds on to its id, so this sweep of
        # anything Node-RED started cannot hit a process that reused the id.
        signal_group(group, signal.SIGKILL)
        self.process.wait()

    def close(self) -> None:
        self.stop()
        self._http.close()
        shutil.rmtree(self.user_dir, ignore_errors=True)

    def flows(self) -> Flow:
        """The nodes Node-RED serves now, in its order."""
        return self._get_flows()["flows"]

    def deploy(self, flow: Flow) -> str:
        """Replace the whole flow and return its revision once it is served."""
        response = self._http.post(
            f"{self.url}/flows",
            json={"flows": flow},
            headers={"Node-RED-Deployment-Type": "full"},
            timeout=REQUEST_TIMEOUT,
        )
        if response.status_code != 200:
            raise NodeRedError(
                f"deployment refused ({response.status_code}): {response.text}"
            )
        rev = response.json()["rev"]
        self._wait_until_rev(rev)
        return rev

    def log_tail(self) -> str:
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as log:
                return "".join(deque(log, maxlen=LOG_TAIL_LINES))
        except FileNotFoundError:
            return "(no log written)"

    def _spawn(self) -> subprocess.Popen[bytes]:
        # The module global is read here, when the server starts, so that it can be rebound.
        settings = self.settings or SETTINGS_JS
        if self.extra_settings:
            # Node-RED reads one settings file: this one is the chosen file with the extra
            # settings over it.
            combined = self.user_dir / "extra-settings.js"
            combined.write_text(
                f"module.exports = {{...require({json.dumps(str(settings))}), "
                f"...{json.dumps(self.extra_settings)}}};\n",
                encoding="utf-8",
            )
            settings = combined
        command = [
            self._node, str(self._red_js),
            "-u", str(self.user_dir),
            "-p", str(self.port),
            "-s", str(settings),
        ]
        with open(self.log_path, "ab") as log:
            # Its own process group lets stop() reach whatever Node-RED
            # spawns, and keeps a Ctrl-C meant for pytest from racing stop().
            return subprocess.Popen(
                command,
                cwd=self.user_dir,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )

    def _get_flows(self) -> dict[str, Any]:
        response = self._http.get(f"{self.url}/flows", timeout=REQUEST_TIMEOUT)
        response.raise_for_status()
        return response.json()

    def _wait_until_serving(self) -> None:
        deadline = time.monotonic() + self.start_timeout
        while True:
            if not self.running:
                raise NodeRedError(
                    f"Node-RED exited with status {self.process.returncode} "
                    f"before serving {self.url}; log tail:\n{self.log_tail()}"
                )
            try:
                # Early in its start Node-RED may answer with a null body before its flows load.
                if isinstance(self._get_flows(), dict):
                    return
            except requests.RequestException:
                pass
            if time.monotonic() > deadline:
                raise NodeRedError(
                    f"Node-RED did not serve {self.url}/flows within "
                    f"{self.start_timeout:g} s; log tail:\n{self.log_tail()}"
                )
            time.sleep(POLL_INTERVAL)

    def _wait_until_rev(self, rev: str) -> None:
        deadline = time.monotonic() + DEPLOY_TIMEOUT
        while self._get_flows()["rev"] != rev:
            if time.monotonic() > deadline:
                raise NodeRedError(
                    f"Node-RED did not serve revision {rev} within "
                    f"{DEPLOY_TIMEOUT:g} s; log tail:\n{self.log_tail()}"
                )
            time.sleep(POLL_INTERVAL)


def wait_for_exit_unreaped(pid: int, timeout: float | None) -> bool:
    """Wait for a child to exit but leave it a zombie; False on timeout."""
    if timeout is None:
        os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
        return True
    deadline = time.monotonic() + timeout
    while os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT | os.WNOHANG) is None:
        if time.monotonic() > deadline:
            return False
        time.sleep(POLL_INTERVAL / 2)
    return True


def signal_group(pgid: int, signum: int) -> None:
    try:
        os.killpg(pgid, signum)
    except ProcessLookupError:
        pass


def write_json(path: Path, value: Any) -> None:
    path.write_text(json.dumps(value, indent=4) + "\n", encoding="utf-8")
