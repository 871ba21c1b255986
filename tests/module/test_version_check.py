"""The version check, on a build that targets another Python than the one running it.

The build option target_version makes such a build; it is made once, with meson and ninja, for the
interpreter running the tests, and imported in child interpreters.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
RUNNING = sys.version_info[:2]
OTHER = (RUNNING[0], RUNNING[1] - 1)


@pytest.fixture(scope="module")
def other_target_package(tmp_path_factory):
    if not (shutil.which("meson") and shutil.which("ninja")) or os.environ.get("LD_PRELOAD"):
        pytest.skip("needs meson and ninja, and an uninstrumented process")
    if not (REPO_ROOT / "meson.build").is_file():
        pytest.skip("needs the source tree to build from (these tests run from a copy of tests/)")
    work = tmp_path_factory.mktemp("other-target")
    (work / "native.ini").write_text(f"[binaries]\npython = '{sys.executable}'\n")
    machine = ["--native-file", str(work / "native.ini")]
    build = work / "build"
    setup = subprocess.run(["meson", "setup", str(build), *machine, f"-Dtarget_version={OTHER[0]}.{OTHER[1]}"],
                           cwd=REPO_ROOT, capture_output=True, text=True)
    if setup.returncode and "distutils" in setup.stdout:
        pytest.skip("this meson asks the interpreter for distutils, which it lacks")
    assert setup.returncode == 0, setup.stdout
    subprocess.run(["ninja", "-C", str(build)], check=True, capture_output=True)
    package = work / "site" / "zorv_sdk"
    shutil.copytree(REPO_ROOT / "src" / "zorv_sdk", package, ignore=shutil.ignore_patterns("meson.build"))
    shutil.copy(build / "src" / "flow" / f"flow{sysconfig.get_config_var('EXT_SUFFIX')}", package / "nodered")
    return work / "site"


def import_in_child(site, *warning_options):
    command = [sys.executable, *warning_options, "-c", "import zorv_sdk.nodered.flow as f; print(f.FlowAPIWrapper)"]
    return subprocess.run(command, capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(site)})


def test_other_target_warns_and_imports(other_target_package):
    child = import_in_child(other_target_package)
    expected = (f"RuntimeWarning: compile time Python version {OTHER[0]}.{OTHER[1]} of module "
                f"'zorv_sdk.nodered.flow' does not match runtime version {RUNNING[0]}.{RUNNING[1]}")
    assert child.returncode == 0 and expected in child.stderr and "FlowAPIWrapper" in child.stdout


def test_warning_made_an_error_fails_the_import(other_target_package):
    child = import_in_child(other_target_package, "-W", "error::RuntimeWarning")
    assert child.returncode == 1 and "RuntimeWarning: compile time Python version" in child.stderr
