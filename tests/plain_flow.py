"""FlowAPIWrapper in plain Python: what the native module does, step for step, as Python code.

The tests run it beside the native module and ask for the same answers, log lines, exceptions
and calls into user code; the benchmark times it as the baseline. Its globals are looked up at
each use, as the native module's are, so a test rebinds them here the same way (`logger`,
`time`, `requests`, `Module`, `NODE_ID`, `NODE_TYPE`). Binding and argument type checks are
not part of it: every method body assumes its arguments have passed them.
"""
import os
import time
from typing import Optional, Union

import requests

from zorv_sdk.constants import Module, NODE_ID, NODE_TYPE
from zorv_sdk.logging import get_logger

logger = get_logger(name="FLOW")


def _pair(value):
    """Unpacks two items with the module's own messages, which Python 3's unpacking words otherwise."""
    if type(value) is tuple or type(value) is list:
        if len(value) == 2:
            return value[0], value[1]
        if len(value) > 2:
            raise ValueError("too many values to unpack (expected 2)")
        items = list(value)
    else:
        iterator, items = iter(value), []
        for item in iterator:
            items.append(item)
            if len(items) == 2:
                break
        if len(items) == 2:
            for _ in iterator:
                raise ValueError("too many values to unpack (expected 2)")
            return items[0], items[1]
    raise ValueError(f"need more than {len(items)} value{'' if len(items) == 1 else 's'} to unpack")


class FlowAPIWrapper:
    def __init__(self, host: str = os.environ.get("NODE_RED_HOST", "127.0.0.1"),
                 port: Optional[int] = 1880, node_id: Optional[str] = "",
                 node_type: Optional[str] = "") -> None:
        self.url = f"http://{host}:{port}"
        self._nodes = {}
        self._visited_node_ids = []
        self.node_id = node_id if node_id else NODE_ID
        self.node_type = node_type if node_type else NODE_TYPE

    def _load_flow(self, timeout: int = 300) -> bool:
        s_t = time.time()
        while True:
            try:
                resp = requests.get(f"{self.url}/flows", headers={"Node-RED-API-Version": "v2"})
                flows = resp.json().get("flows")
                break
            except Exception as err:
                # The wait runs while `err` is being handled: what goes wrong in it carries `err` as
                # its context.
                logger.error("Failed to parse flow - " + str(err))
                if time.time() - s_t > timeout:
                    logger.error(f"Failed to download flow in {timeout} sec, exiting...")
                    return False
                time.sleep(1)
        self._nodes = {f["id"]: f for f in flows}
        return True

    def parse_flow(self) -> Union[dict, None]:
        self._visited_node_ids = []
        if not self._load_flow():
            return None
        if self._nodes[self.node_id]["type"] == self.node_type:
            cur_node = self._nodes[self.node_id]
        else:
            logger.error(f"Could not to find node({self.node_type}) with id({self.node_id}), exiting...")
            return None
        logger.info(f"Node info: {cur_node}")
        prev_nodes = self.seek_prev_nodes(cur_node)
        logger.info(f"Previous nodes - {prev_nodes}")
        next_nodes = self.seek_next_nodes(cur_node)
        logger.info(f"Next nodes - {next_nodes}")
        vid_feed, vid_port_id = _pair(self.seek_video_feed(cur_node))
        logger.info(f"vid-fed node - {vid_feed}, {vid_port_id}")
        return {"cur_node": cur_node, "prev_nodes": prev_nodes, "next_nodes": next_nodes,
                "vid_fed": {"flow": vid_feed, "port": vid_port_id}}

    def seek_prev_nodes(self, cur_node: dict) -> list:
        prev_nodes = []
        for node in self._nodes.values():
            for idx, next_node_id in enumerate(node.get("wires", [])):
                if cur_node.get("id") in next_node_id:
                    prev_nodes.append({"node": node, "port": idx})
        return prev_nodes

    def seek_next_nodes(self, cur_node: dict) -> list:
        next_nodes = []
        for idx, next_node_ids in enumerate(cur_node.get("wires", [])):
            for wired_node_id in next_node_ids:
                next_nodes.append({"node": self._nodes[wired_node_id], "port": idx})
        return next_nodes

    def seek_video_feed(self, cur_node: dict) -> tuple:
        vid_feed_node = None
        vid_feed_port_id = None
        prevs = self.seek_prev_nodes(cur_node)
        self._visited_node_ids.append(cur_node["id"])
        for prev in prevs:
            prev_n = prev["node"]
            prev_port_id = prev["port"]
            prev_type = prev_n["type"]
            if (prev_type == Module.VideoFeed.type or prev_type == Module.VFVideoFile.type
                    or prev_type == Module.VFUsbCamera.type or prev_type == Module.VFIpCamera.type):
                return prev_n, prev_port_id
            if len(self.seek_prev_nodes(prev_n)) == 0:
                continue
            if prev_n["id"] in self._visited_node_ids:
                continue
            vid_feed_node, vid_feed_port_id = _pair(self.seek_video_feed(prev_n))
            if vid_feed_node is not None:
                break
        return vid_feed_node, vid_feed_port_id
