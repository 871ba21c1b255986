"""The native module's source folders are layers: each includes only those below it."""

import re
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2] / "src" / "flow"
# Lowest first; the module's own file, which ties them together, stands above them all.
LAYERS = ["support", "binding", "fast", "methods"]


@pytest.mark.parametrize("layer", LAYERS)
def test_layer_includes_only_layers_below(layer):
    allowed = LAYERS[:LAYERS.index(layer) + 1]
    arrows = {(path.name, included) for path in (SOURCE / layer).iterdir()
              for included in re.findall(r'^#include "(\w+)/', path.read_text(), re.MULTILINE)
              if included not in allowed}
    assert arrows == set()
