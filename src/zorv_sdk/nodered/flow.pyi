"""
Wrapper for the Flow API. This module is normally used to parse flow information from the Node-RED.
"""

import os as os
import time as time
from logging import Logger
from types import ModuleType
from typing import Any, Optional as Optional, Union as Union

from zorv_sdk.constants import Module as Module, NODE_ID as NODE_ID, NODE_TYPE as NODE_TYPE
from zorv_sdk.logging import get_logger as get_logger

# requests comes without type stubs of its own (they are the separate types-requests).
requests: ModuleType
logger: Logger

# The annotations are the module's own, as its methods' __annotations__ give them.
class FlowAPIWrapper:
    url: str
    node_id: Optional[str]
    node_type: Optional[str]
    _nodes: dict[str, dict[str, Any]]
    _visited_node_ids: list[str]
    # host defaults to NODE_RED_HOST as it was at import, else "127.0.0.1".
    def __init__(
        self,
        host: str = ...,
        port: Optional[int] = 1880,
        node_id: Optional[str] = "",
        node_type: Optional[str] = "",
    ) -> None: ...
    def _load_flow(self, timeout: int = 300) -> bool: ...
    def parse_flow(self) -> Union[dict, None]: ...
    def seek_prev_nodes(self, cur_node: dict) -> list: ...
    def seek_next_nodes(self, cur_node: dict) -> list: ...
    def seek_video_feed(self, cur_node: dict) -> tuple: ...
