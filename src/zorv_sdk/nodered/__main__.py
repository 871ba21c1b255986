"""python -m zorv_sdk.nodered: the zorv-flow command (see zorv_sdk.nodered.cli)."""
import sys

from zorv_sdk.nodered.cli import main

sys.exit(main())
