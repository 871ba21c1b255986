"""The native module and its plain-Python rendition, for tests that run both and compare."""

import ast
import inspect
import types

import plain_flow
from zorv_sdk.nodered import flow

MODULES = (flow, plain_flow)


class _ThroughGetattr(ast.NodeTransformer):
    def visit_Assign(self, node):
        self.generic_visit(node)
        target = node.targets[0]
        if len(node.targets) != 1 or not isinstance(target, ast.Attribute):
            return node
        call = ast.Call(ast.Name("setattr", ast.Load()), [target.value, ast.Constant(target.attr), node.value], [])
        return ast.copy_location(ast.Expr(call), node)

    def visit_Attribute(self, node):
        self.generic_visit(node)
        if not isinstance(node.ctx, ast.Load):
            return node
        return ast.copy_location(ast.Call(ast.Name("getattr", ast.Load()), [node.value, ast.Constant(node.attr)], []),
                                 node)


def unspecialised(module):
    """`module` made anew with every attribute read and store written as a getattr() or
    setattr() call. The interpreter specialises `obj.name` in place, after which an instance
    attribute is read or stored straight where it was found last, without comparing the other
    keys of the dict that a plain lookup meets: a count of the calls into a key's __eq__ would
    then depend on how warm the code is. getattr() and setattr() always make the plain lookup,
    as the native module does."""
    tree = _ThroughGetattr().visit(ast.parse(inspect.getsource(module)))
    made = types.ModuleType(module.__name__)
    made.__file__ = module.__file__
    exec(compile(ast.fix_missing_locations(tree), module.__file__, "exec"), vars(made))
    return made


def rebind(monkeypatch, **values):
    """Rebinds globals of both modules, each looking them up in its own namespace at each use."""
    for module in MODULES:
        for name, value in values.items():
            monkeypatch.setattr(module, name, value)


def plain_twin(w):
    """A plain-Python wrapper over the same node table as `w`, with a visited list of its own."""
    twin = plain_flow.FlowAPIWrapper("127.0.0.1", 1880, "S", "function")
    twin._nodes = w._nodes
    return twin
