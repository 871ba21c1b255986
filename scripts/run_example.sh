#!/usr/bin/env bash
# Runs the example node program against a real Node-RED serving examples/flow.json: 14 s here once set up.
# The main job end to end: sets up what is missing, serves the example flow from a real
# Node-RED on loopback and runs the example node program for one of its nodes.
# Usage: scripts/run_example.sh [NODE_ID NODE_TYPE]   (default: detect function)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python scripts/lib/run_example.py "$@"
