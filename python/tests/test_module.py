"""The compiled module against its type hints: _pelvane.pyi names every class,
attribute, function and parameter the module has, with the attributes' types."""

import ast
import pathlib
import re

from pelvane import _pelvane

STUB = ast.parse((pathlib.Path(_pelvane.__file__).parent / "_pelvane.pyi").read_text())


def stub_names(body) -> dict[str, ast.AST]:
    names = {}
    for node in body:
        if isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
    return names


def module_type(doc: str) -> str:
    """The return type of pybind11's signature line, in built-in generics."""
    return re.sub(r"\b(List|Dict|Tuple)\[", lambda m: m[1].lower() + "[", doc.split(" -> ")[1].strip())


def test_the_stub_names_what_the_module_has():
    stub = stub_names(STUB.body)
    assert set(stub) == {name for name in dir(_pelvane) if not name.startswith("_")} | {"__version__"}
    for name, node in stub.items():
        value = getattr(_pelvane, name)
        if isinstance(node, ast.FunctionDef):
            given = re.match(r"\w+\((.*)\) ->", value.__doc__).group(1)
            assert [a.arg for a in node.args.args] == re.findall(r"(\w+):", given), name
            assert len(node.args.defaults) == given.count(" = "), name
        elif isinstance(node, ast.ClassDef) and not issubclass(value, BaseException):
            fields = {n: ast.unparse(a.annotation) for n, a in stub_names(node.body).items()
                      if isinstance(a, ast.AnnAssign)}
            properties = {n: module_type(p.fget.__doc__) for n, p in vars(value).items()
                          if isinstance(p, property)}
            assert fields == properties, name
    assert [n for n, _ in stub_names(stub["Error"].body).items()] == ["detail"]
