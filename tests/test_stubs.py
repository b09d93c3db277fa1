"""The shipped type information lists exactly the module's names, parameters and defaults.

The runtime side is what the interpreter reads from each entry point's text signature
(inspect.signature), which the module renders from its declarations; the stub is read with ast.
"""
import ast
import inspect
import pathlib

import pytest

import _varnix as v

# The one place the stub's location is written.
STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "_varnix-stubs" / "__init__.pyi"

SOURCE = STUB.read_text()
TREE = ast.parse(SOURCE)


def is_property(node):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def stub_classes():
    return [n for n in TREE.body if isinstance(n, ast.ClassDef) and not n.name.endswith("Error")]


def stub_callables():
    """(id, stub def, runtime callable, parameters to drop from the stub's list) for every
    function, method, static method and constructor the stub declares."""
    found = []
    for node in TREE.body:
        if isinstance(node, ast.FunctionDef):
            found.append((node.name, node, getattr(v, node.name), 0))
    for cls_node in stub_classes():
        cls = getattr(v, cls_node.name)
        for item in cls_node.body:
            if not isinstance(item, ast.FunctionDef) or is_property(item):
                continue
            if item.name == "__call__":  # vectorized's: it forwards to the function it wraps
                continue
            name = f"{cls_node.name}.{item.name}"
            if item.name == "__new__":
                found.append((name, item, cls, 1))  # the class's signature has no cls
            else:
                found.append((name, item, getattr(cls, item.name), 0))
    return found


CALLABLES = stub_callables()


def stub_parameters(node, drop):
    """[(name, default or inspect.Parameter.empty)] of a stub def."""
    args = node.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
    defaults += [ast.literal_eval(d) for d in node.args.defaults]
    keyword_only = [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
                    for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults)]
    return [(a.arg, d) for a, d in zip(args, defaults)][drop:] + keyword_only


def typed(value):
    # 1 == 1.0 == True in Python; a default of the wrong type is still a wrong default.
    return (type(value), value)


def test_stub_declares_every_public_name():
    declared = {n.name for n in TREE.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert declared == set(v.__all__)


@pytest.mark.parametrize("cls_node", stub_classes(), ids=lambda n: n.name)
def test_stub_declares_every_method_of_each_class(cls_node):
    stub = {i.name for i in cls_node.body
            if isinstance(i, ast.FunctionDef) and not i.name.startswith("_")}
    runtime = {k for k in vars(getattr(v, cls_node.name)) if not k.startswith("_")}
    assert stub == runtime


@pytest.mark.parametrize("name, node, runtime, drop", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_stub_parameters_and_defaults_match_the_runtime(name, node, runtime, drop):
    expected = [(p.name, p.default) for p in inspect.signature(runtime).parameters.values()]
    stub = stub_parameters(node, drop)
    assert [n for n, _ in stub] == [n for n, _ in expected]
    assert [typed(d) for _, d in stub] == [typed(d) for _, d in expected]


@pytest.mark.parametrize("name, node, runtime, drop", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_text_signature_reads_as_the_stub_writes_it(name, node, runtime, drop):
    # The spelling too (1e-6, not 1e-06): the text signature is rendered from typed defaults.
    args = node.args.args
    first_default = len(args) - len(node.args.defaults)
    parts = []
    for i, a in enumerate(args[drop:], start=drop):
        text = "$self" if a.arg == "self" and i == 0 else a.arg
        if i >= first_default:
            text += "=" + ast.get_source_segment(SOURCE, node.args.defaults[i - first_default])
        parts.append(text)
    if node.args.kwonlyargs:
        parts.append("*")
    for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults):
        parts.append(a.arg + ("" if d is None else "=" + ast.get_source_segment(SOURCE, d)))
    assert runtime.__text_signature__ == "(" + ", ".join(parts) + ")"


def test_stub_all_is_the_runtime_list():
    assigned = [n for n in TREE.body if isinstance(n, ast.Assign)
                and any(isinstance(t, ast.Name) and t.id == "__all__" for t in n.targets)]
    assert len(assigned) == 1
    assert ast.literal_eval(assigned[0].value) == v.__all__


def test_every_stub_class_method_and_function_has_a_docstring():
    missing = []
    for node in TREE.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            if not ast.get_docstring(node):
                missing.append(node.name)
            if isinstance(node, ast.ClassDef):
                missing += [f"{node.name}.{item.name}" for item in node.body
                            if isinstance(item, ast.FunctionDef) and not ast.get_docstring(item)]
    assert missing == []
