"""A program standing for one node of a Node-RED flow: it asks where its node stands.

    python examples/node_program.py --node-id detect --node-type function

The node id and type default to the NODE_ID and NODE_TYPE environment variables, the host to
NODE_RED_HOST (else 127.0.0.1) and the port to 1880. It prints the node, the nodes that feed it
and that it feeds, with the output ports that carry each wire, and the video source upstream.

For a secured Node-RED (adminAuth, https, httpAdminRoot) it goes through zorv_sdk.nodered.admin
when one of --user, --password-file, --token, --ca, --https or --admin-root is given, or
NODE_RED_TOKEN or NODE_RED_USER is set; the password may also come from NODE_RED_PASSWORD.
"""
import argparse
import os
import sys

from zorv_sdk.nodered import admin
from zorv_sdk.nodered.cli import report
from zorv_sdk.nodered.flow import FlowAPIWrapper


class PatientFlowAPIWrapper(FlowAPIWrapper):
    """Waits `wait` seconds for Node-RED instead of the library's five minutes."""

    def __init__(self, wait: int, **kwargs):
        super().__init__(**kwargs)
        self.wait = wait

    def _load_flow(self, timeout: int = 300) -> bool:
        return super()._load_flow(self.wait)


def parse_arguments(argv: list) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", help="Node-RED host (default: NODE_RED_HOST, else 127.0.0.1)")
    parser.add_argument("--port", type=int, default=1880, help="Node-RED port (default: 1880)")
    parser.add_argument("--node-id", default="", help="this node's id (default: NODE_ID)")
    parser.add_argument("--node-type", default="", help="this node's type (default: NODE_TYPE)")
    parser.add_argument("--wait", type=int, default=300, help="seconds to wait for Node-RED")
    secured = parser.add_argument_group("a secured Node-RED")
    secured.add_argument("--user", help="log in as this user (default: NODE_RED_USER)")
    secured.add_argument("--password-file", help="the user's password, on the first line (default: NODE_RED_PASSWORD)")
    secured.add_argument("--token", help="an access token instead of a login (default: NODE_RED_TOKEN)")
    secured.add_argument("--ca", help="CA bundle to trust instead of the system's; implies --https")
    secured.add_argument("--https", action="store_true", help="talk https")
    secured.add_argument("--admin-root", default="", help="Node-RED's httpAdminRoot, like /admin")
    return parser.parse_args(argv)


def security_options(args: argparse.Namespace) -> dict:
    """The options for admin.connect() that were given on the command line."""
    given = {"user": args.user, "password_file": args.password_file, "token": args.token,
             "ca": args.ca, "https": args.https, "admin_root": args.admin_root}
    return {name: value for name, value in given.items() if value}


def is_secured(args: argparse.Namespace) -> bool:
    return bool(security_options(args)) or any(
        os.environ.get(name) for name in (admin.TOKEN_VARIABLE, admin.USER_VARIABLE))


def main(argv: list) -> int:
    args = parse_arguments(argv)
    where = {"host": args.host} if args.host else {}
    wrapper = PatientFlowAPIWrapper(
        args.wait, port=args.port, node_id=args.node_id, node_type=args.node_type, **where
    )
    if is_secured(args):
        try:
            admin.connect(wrapper, **security_options(args))
        except (TypeError, ValueError) as bad:
            print(f"node_program.py: {bad}", file=sys.stderr)
            return 2
    try:
        result = wrapper.parse_flow()
    except KeyError as missing:
        if missing.args != (wrapper.node_id,):
            raise
        print(f"node {wrapper.node_id!r} is not in the deployed flow", file=sys.stderr)
        return 1
    if result is None:
        print("no answer: see the log above", file=sys.stderr)
        return 1
    print(report(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
