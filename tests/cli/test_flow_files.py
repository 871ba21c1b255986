"""zorv-flow on flow files and standard input: the answers, their JSON, and bad input."""

import json
import subprocess
import sys

import pytest

from zorv_sdk.nodered import cli

ALL_NODES = """\
ID           TYPE                NAME                     TAB                    VIDEO SOURCE
alert        change              Person alert             Gate camera analytics  cam-ip via output 0
debug-alert  debug               Alerts                   Gate camera analytics  cam-ip via output 0
cam-usb      zorv-vf-usb-camera  Gate USB camera          Gate camera analytics  none
decode       function            Decode frame             Gate camera analytics  cam-usb via output 0
route        switch              Person or vehicle        Gate camera analytics  cam-ip via output 0
detect       function            Detect objects           Gate camera analytics  cam-ip via output 0
archive      function            Split keyframe and clip  Gate camera analytics  cam-ip via output 0
store        debug               Archive                  Gate camera analytics  cam-ip via output 0
cam-ip       zorv-vf-ip-camera   Pole IP camera           Gate camera analytics  none
resize       change              Scale to 1280x720        Gate camera analytics  cam-ip via output 0
debug-empty  debug               Frames without objects   Gate camera analytics  cam-ip via output 0
"""
TAB = "Gate camera analytics"


def node(node_id, node_type, name):
    return {"id": node_id, "type": node_type, "name": name, "tab": TAB}


CAM_IP = node("cam-ip", "zorv-vf-ip-camera", "Pole IP camera")
DETECT_JSON = {
    "node": node("detect", "function", "Detect objects"),
    "fed_by": [{"node": node("resize", "change", "Scale to 1280x720"), "port": 0},
               {"node": node("decode", "function", "Decode frame"), "port": 0}],
    "feeds": [{"node": node("route", "switch", "Person or vehicle"), "port": 0},
              {"node": node("debug-empty", "debug", "Frames without objects"), "port": 1}],
    "video_source": {"node": CAM_IP, "port": 0},
}


def without_usb_camera_wire(flow):
    """The example flow with the USB camera unplugged: decode has no video source."""
    for record in flow:
        if record["id"] == "cam-usb":
            record["wires"] = [[]]
    return flow


def test_all_nodes_by_tab_then_position(zorv_flow, write_flow, example_flow):
    done = zorv_flow("--all", "--file", write_flow(example_flow))
    assert (done.returncode, done.stdout, done.stderr) == (0, ALL_NODES, "")


def test_one_node_as_json(zorv_flow, write_flow, example_flow):
    done = zorv_flow("detect", "--json", "--file", write_flow(example_flow))
    assert (done.returncode, json.loads(done.stdout)) == (0, DETECT_JSON)


def test_a_unique_name_stands_for_its_node(zorv_flow, write_flow, example_flow):
    path = write_flow(example_flow)
    assert zorv_flow("Detect objects", "--file", path).stdout == zorv_flow("detect", "--file", path).stdout


def test_admin_api_body_on_standard_input(zorv_flow, example_flow):
    done = zorv_flow("--all", "--json", "--type", "function", "--file", "-",
                     stdin=json.dumps({"flows": example_flow, "rev": "d41d8cd98f00b204"}))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"nodes": [
        {"node": node("decode", "function", "Decode frame"),
         "video_source": {"node": node("cam-usb", "zorv-vf-usb-camera", "Gate USB camera"), "port": 0}},
        {"node": DETECT_JSON["node"], "video_source": {"node": CAM_IP, "port": 0}},
        {"node": node("archive", "function", "Split keyframe and clip"), "video_source": {"node": CAM_IP, "port": 0}},
    ]}


def test_missing_passes_a_flow_whose_nodes_all_have_a_source(zorv_flow, write_flow, example_flow):
    done = zorv_flow("--missing", "--type", "function", "--type", "debug", "--file", write_flow(example_flow))
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


@pytest.mark.parametrize("output", ["text", "json"])
def test_missing_lists_the_nodes_without_a_source_and_exits_1(zorv_flow, write_flow, example_flow, output):
    path = write_flow(without_usb_camera_wire(example_flow))
    done = zorv_flow("--missing", "--type", "function", "--file", path, *(["--json"] if output == "json" else []))
    assert done.returncode == 1
    assert done.stderr == "zorv-flow: 1 node(s) of type function have no video source upstream\n"
    if output == "json":
        assert json.loads(done.stdout) == {"nodes": [{"node": node("decode", "function", "Decode frame"),
                                                      "video_source": None}]}
    else:
        assert done.stdout.splitlines()[1:] == [
            "decode  function  Decode frame  Gate camera analytics  none"]


NOT_JSON = '[\n  {"id": "a",\n   "type" "function"}\n]\n'
AMBIGUOUS = [{"id": "one", "type": "function", "name": "Same", "wires": []},
             {"id": "two", "type": "debug", "name": "Same", "wires": []}]


@pytest.mark.parametrize("document, args, message", [
    (NOT_JSON, ["--all"], "flows.json is not JSON: Expecting ':' delimiter at line 3 column 11"),
    ("", ["--all"], "flows.json is not JSON: Expecting value at line 1 column 1"),
    (b'[{"id": "\xe9"}]', ["--all"], "flows.json is not JSON: it is not UTF-8 text"),
    ({"rev": "1"}, ["--all"], 'flows.json is not a flow: expected a list of nodes or an object with "flows"'),
    ({"flows": 3}, ["--all"], 'flows.json is not a flow: expected a list of nodes or an object with "flows"'),
    ([1], ["--all"], "flows.json is not a flow: item 0 is a int, not a node object"),
    ([{"type": "tab"}], ["--all"], 'flows.json is not a flow: item 0 has no "id" string'),
    ([{"id": "a", "type": "x", "wires": {}}], ["--all"], "flows.json is not a flow: the \"wires\" of node 'a' are not a list"),
    (None, ["detct"], "no node has the id or name 'detct'; did you mean:\n  detect (function \"Detect objects\")"),
    (None, ["Detect object"], "no node has the id or name 'Detect object'; did you mean:\n  detect (function \"Detect objects\")"),
    (None, ["zzzz"], "no node has the id or name 'zzzz'"),
    ([{"id": "a", "type": "x", "wires": [["gone"]]}], ["a"],
     "flows.json is not a whole flow: node 'a' is wired to 'gone', which is not in it; export the whole flow"),
    (AMBIGUOUS * 2, ["--all"], "flows.json has two nodes with the id 'one': a flow's ids are unique"),
    (None, ["--all", "--type", "functoin"], "no node has the type 'functoin': check --type"),
    (AMBIGUOUS, ["Same"], "2 nodes are named 'Same'; give the id of one:\n  one (function \"Same\")\n  two (debug \"Same\")"),
])
def test_bad_input_exits_2_saying_what_is_wrong(zorv_flow, write_flow, example_flow, document, args, message):
    path = write_flow(example_flow if document is None else document)
    done = zorv_flow(*args, "--file", path.name, cwd=path.parent)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"zorv-flow: {message}\n")


def test_unreadable_file_exits_2(zorv_flow, tmp_path):
    done = zorv_flow("--all", "--file", tmp_path / "none.json")
    assert (done.returncode, done.stderr) == (2, f"zorv-flow: cannot read {tmp_path / 'none.json'}: No such file or directory\n")


@pytest.mark.parametrize("args, message", [
    ([], "give one of: a node id or name, --all, --missing"),
    (["detect", "--all"], "give one of: a node id or name, --all, --missing"),
    (["--missing"], "--missing needs the types to check, like --type function"),
    (["detect", "--type", "function"], "--type goes with --all or --missing"),
    (["--all", "--file", "flows.json", "--port", "1881"], "--file reads the flow from a file: leave out --port"),
    (["--all", "--wait", "-1"], "argument --wait: invalid seconds value: '-1'"),
    (["--all", "--port", "65536"], "argument --port: invalid port value: '65536'"),
    (["--all", "--token", "t", "--token-file", "t"], "give one of --token and --token-file"),
    (["--all", "--ca", "flows.json", "--wait", "0"], "--ca flows.json holds no PEM certificate: give the CA that signed"
                                                     " Node-RED's certificate"),
    (["--all", "--host", "http://nodered.local", "--wait", "0"],
     "wrapper.url 'http://http://nodered.local:1880' has two schemes: give the wrapper a host without one"),
])
def test_usage_errors_exit_2(zorv_flow, write_flow, args, message):
    done = zorv_flow(*args, cwd=write_flow([]).parent)
    assert done.returncode == 2 and done.stderr.splitlines()[-1].endswith(message), done.stderr
    assert "Traceback" not in done.stderr


def test_control_characters_of_names_are_escaped(zorv_flow, write_flow):
    flow = [{"id": "a", "type": "x", "name": "red\x1b[31m\nfake line", "wires": []}]
    done = zorv_flow("a", "--file", write_flow(flow))
    assert done.stdout.splitlines()[0] == r'node          a (x "red\x1b[31m\nfake line")'


def test_a_closed_pipe_ends_the_command_quietly(write_flow):
    command = f"{sys.executable} -m zorv_sdk.nodered --all --file {write_flow(big_flow())} | head -1"
    done = subprocess.run(["bash", "-c", f"{command}; exit ${{PIPESTATUS[0]}}"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.startswith("ID "), done.stderr) == (141, True, "")


def big_flow():
    """More nodes than a pipe holds lines of."""
    return [{"id": f"n{index}", "type": "function", "wires": []} for index in range(5000)]


def test_ctrl_c_exits_130_without_a_traceback(monkeypatch, capsys):
    def interrupted(path):
        raise KeyboardInterrupt
    monkeypatch.setattr(cli, "read_flow_file", interrupted)
    assert (cli.main(["--all", "--file", "-"]), capsys.readouterr().err) == (130, "")
