"""The type stub (kavro/__init__.pyi) against the module it describes: the
same public names, the same kinds (constant, function, class, property,
method), the same parameters with the same defaults, the same exception
bases; and documentation on every public function, class and member."""
import ast
import inspect
import pydoc
import re
from pathlib import Path

import pytest

import kavro

STUB = Path(kavro.__file__).with_name("__init__.pyi")
DUNDERS = {"__enter__", "__exit__"}
NO_DEFAULT = object()


def public(names):
    return {n for n in names if not n.startswith("_") or n in DUNDERS}


def split_top(text):
    """Splits at commas outside brackets."""
    parts, depth, cur = [], 0, ""
    for ch in text:
        depth += ch in "([{"
        depth -= ch in ")]}"
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    return [p.strip() for p in parts + [cur] if p.strip()]


def runtime_params(obj):
    """[(name, default)] of a function or method of the module, without self."""
    try:
        sig = inspect.signature(obj)
        params = [(p.name, NO_DEFAULT if p.default is p.empty else p.default) for p in sig.parameters.values()]
    except (ValueError, TypeError):
        # A compiled function: its signature is the docstring's first line.
        first = obj.__doc__.splitlines()[0]
        inner = re.match(r"^\w+\((.*)\) -> .*$", first).group(1)
        params = []
        for part in split_top(inner):
            name, _, rest = part.partition(":")
            default = NO_DEFAULT
            if " = " in rest:
                text = rest.split(" = ", 1)[1]
                default = ast.literal_eval(text)
            params.append((name.strip(), default))
    return [(n, d) for n, d in params if n != "self"]


def stub_params(fn):
    args = fn.args
    names = [a.arg for a in args.posonlyargs + args.args]
    defaults = [NO_DEFAULT] * (len(names) - len(args.defaults)) + list(args.defaults)
    out = []
    for name, d in zip(names, defaults):
        if d is not NO_DEFAULT:
            d = ... if isinstance(d, ast.Constant) and d.value is ... else ast.literal_eval(d)
        out.append((name, d))
    return [(n, d) for n, d in out if n != "self"]


def parse_stub():
    tree = ast.parse(STUB.read_text())
    consts, funcs, classes = set(), {}, {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign):
            consts.add(node.target.id)
        elif isinstance(node, ast.FunctionDef):
            funcs[node.name] = stub_params(node)
        elif isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    is_prop = any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list)
                    members[item.name] = "property" if is_prop else stub_params(item)
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = "attribute"
            classes[node.name] = ([ast.unparse(b) for b in node.bases], members)
    return consts, funcs, classes


CONSTS, FUNCS, CLASSES = parse_stub()


def test_the_stub_names_every_public_name_and_no_other():
    module_names = {n for n in dir(kavro) if not n.startswith("_")}
    stub_names = CONSTS | set(FUNCS) | set(CLASSES)
    assert stub_names - module_names == set(), "in the stub, not in the module"
    assert module_names - stub_names == set(), "in the module, not in the stub"


def test_constants_are_ints():
    for name in CONSTS:
        assert type(getattr(kavro, name)) is int, name


def check_params(where, runtime, stub):
    assert [n for n, _ in runtime] == [n for n, _ in stub], where
    for (name, got), (_, want) in zip(runtime, stub):
        assert (got is NO_DEFAULT) == (want is NO_DEFAULT), f"{where}: default of {name}"
        if want is not NO_DEFAULT and want is not ...:
            assert got == want, f"{where}: default of {name}"


@pytest.mark.parametrize("name", sorted(FUNCS))
def test_function_signatures(name):
    obj = getattr(kavro, name)
    assert callable(obj) and not inspect.isclass(obj), name
    check_params(name, runtime_params(obj), FUNCS[name])


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_class_members(name):
    cls = getattr(kavro, name)
    assert inspect.isclass(cls), name
    bases, members = CLASSES[name]
    if issubclass(cls, BaseException):
        assert [b.__name__ for b in cls.__bases__] == bases, name
        return
    runtime = {n: v for n, v in vars(cls).items() if n in public(vars(cls))}
    assert set(members) == set(runtime), name
    for member, kind in members.items():
        value = runtime[member]
        if kind == "property":
            assert isinstance(value, property), f"{name}.{member} is not a property"
        else:
            assert callable(value) and not isinstance(value, property), f"{name}.{member} is not a method"
            check_params(f"{name}.{member}", runtime_params(value), kind)


def _documented(obj):
    doc = inspect.getdoc(obj) or ""
    lines = [l for l in doc.splitlines() if l.strip()]
    # A compiled function's first line is only its signature.
    if lines and re.match(r"^[\w.]+\(.*\) -> .*$", lines[0]):
        lines = lines[1:]
    return bool(lines)


def test_every_public_function_class_and_member_is_documented():
    missing = []
    for name in sorted(set(FUNCS) | set(CLASSES)):
        obj = getattr(kavro, name)
        if not _documented(obj):
            missing.append(name)
        if inspect.isclass(obj) and not issubclass(obj, BaseException):
            for member in sorted(public(vars(obj))):
                value = vars(obj)[member]
                target = value.fget if isinstance(value, property) else value
                if not (_documented(value) or _documented(target)):
                    missing.append(f"{name}.{member}")
    assert missing == []


def test_help_of_device_shows_the_stream_and_its_use():
    text = pydoc.render_doc(kavro.Device, renderer=pydoc.plaintext)
    assert "stream(self, count=None, timeout=None)" in text
    assert "for frame in dev.stream()" in text
    assert "(anonymous namespace)" not in pydoc.render_doc(kavro, renderer=pydoc.plaintext)
