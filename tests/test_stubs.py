"""The shipped type information lists exactly the module's names and signatures."""
import ast
import inspect
import pathlib

import _varnix as v

STUB = pathlib.Path(__file__).resolve().parent.parent / "stubs" / "_varnix-stubs" / "__init__.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def test_stub_declares_every_public_name():
    declared = {n.name for n in stub_tree().body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert declared == set(v.__all__)


def test_stub_parameters_match_the_runtime_signatures():
    tree = stub_tree()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            runtime = inspect.signature(getattr(v, node.name))
            assert [a.arg for a in node.args.args] == list(runtime.parameters), node.name
        elif isinstance(node, ast.ClassDef) and not node.name.endswith("Error"):
            cls = getattr(v, node.name)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("__") \
                        and not item.decorator_list:
                    runtime = inspect.signature(getattr(cls, item.name))
                    names = ["self" if p == "$self" else p for p in runtime.parameters]
                    assert [a.arg for a in item.args.args] == names, f"{node.name}.{item.name}"


def test_stub_all_is_the_runtime_list():
    assigned = [n for n in stub_tree().body if isinstance(n, ast.Assign)
                and any(isinstance(t, ast.Name) and t.id == "__all__" for t in n.targets)]
    assert len(assigned) == 1
    assert ast.literal_eval(assigned[0].value) == v.__all__


def test_every_stub_class_method_and_function_has_a_docstring():
    missing = []
    for node in stub_tree().body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            if not ast.get_docstring(node):
                missing.append(node.name)
            if isinstance(node, ast.ClassDef):
                missing += [f"{node.name}.{item.name}" for item in node.body
                            if isinstance(item, ast.FunctionDef) and not ast.get_docstring(item)]
    assert missing == []
