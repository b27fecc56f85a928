"""The type stubs: one entry for every public name of the module, with the parameters of its text signature."""

import ast
import inspect
import pathlib

import pytest

from drovik import _drovik
from test_module import INVENTORY

STUB = pathlib.Path(__file__).resolve().parents[2] / "python" / "drovik" / "_drovik.pyi"
TREE = ast.parse(STUB.read_text())
POSITIONAL_OR_KEYWORD = inspect.Parameter.POSITIONAL_OR_KEYWORD


def public(names):
    return {n for n in names if not n.startswith("_")}


def definitions(body):
    return {node.name: node for node in body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}


STUB_NAMES = definitions(TREE.body)


def stub_parameters(function, skip_first):
    args = function.args
    assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg), function.name
    defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults)][1 if skip_first else 0 :]


def runtime_parameters(obj, skip_self):
    assert obj.__text_signature__, obj
    params = list(inspect.signature(obj).parameters.values())
    if skip_self:
        assert (params[0].name, params[0].kind) == ("self", inspect.Parameter.POSITIONAL_ONLY)
        params = params[1:]
    assert all(p.kind is POSITIONAL_OR_KEYWORD for p in params), obj
    return [(p.name, p.default) for p in params]


def test_all_lists_the_inventory_in_order():
    stub_all = next(n.value for n in TREE.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert _drovik.__all__ == INVENTORY
    assert ast.literal_eval(stub_all) == INVENTORY


def test_stub_and_module_have_the_same_public_names():
    assert public(STUB_NAMES) == public(vars(_drovik))


@pytest.mark.parametrize("name", sorted(public(STUB_NAMES)))
def test_stub_entry_matches_the_module(name):
    node, obj = STUB_NAMES[name], getattr(_drovik, name)
    if isinstance(node, ast.FunctionDef):
        assert stub_parameters(node, False) == runtime_parameters(obj, False)
        return
    members = definitions(node.body)
    assert public(members) == public(vars(obj))
    if "__new__" in members:  # only the constructible classes carry a constructor signature
        assert stub_parameters(members["__new__"], True) == runtime_parameters(obj, False)
    else:
        assert obj.__text_signature__ is None
    for attr, value in vars(obj).items():
        if attr.startswith("_") or not inspect.ismethoddescriptor(value):
            continue
        static = isinstance(value, staticmethod)
        decorators = [d.id for d in members[attr].decorator_list if isinstance(d, ast.Name)]
        assert ("staticmethod" in decorators) == static, attr
        assert stub_parameters(members[attr], not static) == runtime_parameters(getattr(obj, attr), not static)
