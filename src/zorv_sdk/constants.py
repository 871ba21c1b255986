"""Constants shared by the SDK's node programs.

``NODE_ID`` and ``NODE_TYPE`` name the Node-RED node that this program stands for. They are
read once, when this module is imported, from the environment variables of the same names,
and are None when a variable is not set.

``Module`` lists the kinds of node that the SDK deploys into Node-RED. Each member carries in
``type`` the Node-RED node type under which such nodes appear in a flow; these strings are part
of the deployed flows and never change:

================  ======================  ==============================================
member            ``type``                node
================  ======================  ==============================================
``VideoFeed``     ``zorv-video-feed``     a generic video source (stream URL or device)
``VFVideoFile``   ``zorv-vf-video-file``  a video source that plays a file
``VFUsbCamera``   ``zorv-vf-usb-camera``  a video source that reads a USB camera
``VFIpCamera``    ``zorv-vf-ip-camera``   a video source that reads a network camera
================  ======================  ==============================================
"""
import os
from typing import NamedTuple

__all__ = ["NODE_ID", "NODE_TYPE", "Module", "NodeModule"]

NODE_ID = os.environ.get("NODE_ID")
NODE_TYPE = os.environ.get("NODE_TYPE")


class NodeModule(NamedTuple):
    """One kind of SDK node; ``type`` is its Node-RED node type."""

    type: str


class Module:
    """The kinds of SDK node, by name. Not meant to be instantiated."""

    VideoFeed = NodeModule("zorv-video-feed")
    VFVideoFile = NodeModule("zorv-vf-video-file")
    VFUsbCamera = NodeModule("zorv-vf-usb-camera")
    VFIpCamera = NodeModule("zorv-vf-ip-camera")
