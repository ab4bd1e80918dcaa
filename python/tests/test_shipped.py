# SPDX-License-Identifier: MIT
"""What ships with the package: its type stub, its install and the example scripts."""
import ast
import csv
import inspect
import json
import os
import re
import shutil
import signal
import site
import subprocess
import sys
import time
from pathlib import Path

import pytest

import mixlink
from conftest import ADDRESS, running_sim

STUB = Path(mixlink.__file__).with_name("_core.pyi")
EXAMPLES = Path(os.environ.get("MIXLINK_EXAMPLES", Path(__file__).parents[2] / "examples" / "python"))


def parameters(function):
    """Parameter names of a function of the module (pybind11 writes its signature first in the
    docstring)."""
    try:
        return list(inspect.signature(function).parameters)
    except (TypeError, ValueError):
        first = function.__doc__.splitlines()[0]
        return re.findall(r"(?:^|, )\*?(\w+):", first[first.index("(") + 1 : first.rindex(") ->")])


def public(names):
    return {n for n in names if not n.startswith("_") or n in ("__enter__", "__exit__", "__iter__", "__next__")}


def test_stub_names_everything_the_extension_has_with_the_same_parameters():
    tree = ast.parse(STUB.read_text())
    stub = {}
    for item in tree.body:
        if isinstance(item, ast.FunctionDef):
            stub[item.name] = [a.arg for a in item.args.args + item.args.kwonlyargs]
        elif isinstance(item, ast.ClassDef):
            members = {m.name: m for m in item.body if isinstance(m, ast.FunctionDef)}
            members.update({m.target.id: None for m in item.body if isinstance(m, ast.AnnAssign)})
            stub[item.name] = members
        elif isinstance(item, ast.AnnAssign):
            stub[item.target.id] = None
        elif isinstance(item, ast.Assign):  # type aliases
            stub.update({t.id: None for t in item.targets})
    core = mixlink._core
    assert public(vars(core)) | {"__version__"} == public(stub) - {"Value", "NodeType"} | {"__version__"}
    # The package: the extension's names and the two types written in Python.
    assert set(mixlink.__all__) == public(vars(core)) | {"__version__", "Error", "Hash"}
    assert all(getattr(mixlink, name) is getattr(core, name) for name in public(vars(core)))
    assert STUB.with_name("py.typed").is_file()
    for name, entry in stub.items():
        if name in ("Value", "NodeType"):
            continue
        thing = getattr(core, name)
        if isinstance(entry, list):
            assert parameters(thing) == entry, name
        elif isinstance(entry, dict):
            own = public(vars(thing)) - (set(vars(object)) - public(entry))
            assert own == public(entry), name
            for member, definition in entry.items():
                if definition is not None and not definition.decorator_list and member in own:
                    stub_parameters = [a.arg for a in definition.args.args + definition.args.kwonlyargs]
                    assert parameters(getattr(thing, member)) == stub_parameters, f"{name}.{member}"


def test_install_puts_the_module_and_its_stub_where_python_finds_them(tmp_path):
    build, folder = os.environ.get("MIXLINK_BUILD_DIR"), os.environ.get("MIXLINK_PYTHON_INSTALL_DIR")
    if not build or not shutil.which("cmake"):
        pytest.skip("run through ctest, which names the build folder")
    install = ["cmake", "--install", build, "--prefix", tmp_path, "--component", "python"]
    subprocess.run(install, check=True, capture_output=True)
    installed = tmp_path / folder
    where = subprocess.run(
        [sys.executable, "-c", "import mixlink, mixlink.aio; print(mixlink.__file__)"],
        check=True, capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(installed)},
    )
    package = installed / "mixlink"
    assert Path(where.stdout.strip()) == package / "__init__.py"
    assert {"_types.py", "aio.py", "_core.pyi", "py.typed"} <= {p.name for p in package.iterdir()}
    prefix = os.environ["MIXLINK_INSTALL_PREFIX"]
    if prefix in ("/usr", "/usr/local"):  # where this, the system's, Python looks
        assert os.path.join(prefix, folder) in site.getsitepackages()


def example(name, *arguments, **popen):
    return subprocess.Popen([sys.executable, EXAMPLES / name, "-a", ADDRESS, *arguments], text=True,
                            stdout=subprocess.PIPE, **popen)


def test_examples_save_the_console_print_mutes_and_record_the_analyser(tmp_path):
    with running_sim():
        assert example("save_json.py", tmp_path / "console.json").wait(30) == 0
        saved = json.loads((tmp_path / "console.json").read_text())
        assert len(saved) == sum(n.type != "container" for n in mixlink.nodes()) and saved["ch.2.name"] == "CH 2"
        assert example("rta_csv.py", "--seconds", "1", tmp_path / "rta.csv").wait(30) == 0
        rows = list(csv.reader((tmp_path / "rta.csv").open()))
        assert len(rows) > 10 and {len(r) for r in rows} == {121}
    with running_sim("--animate"):
        mutes = example("mute_changes.py")
        time.sleep(2.5)  # ch.1.mute toggles each second
        mutes.send_signal(signal.SIGINT)
        out, _ = mutes.communicate(timeout=5)
        assert mutes.returncode == 0
        assert set(out.splitlines()) <= {"ch.1.mute muted", "ch.1.mute unmuted"} and len(out.splitlines()) >= 2


@pytest.mark.parametrize(
    "program, arguments",
    [
        ("save_json.py", ["out.json"]),
        ("rta_csv.py", ["out.csv"]),
        ("mute_changes.py", []),
        ("read_value", ["ch.1.name"]),
        ("dump_json", ["ch.1.eq"]),
        ("meters", ["1"]),
    ],
)
def test_examples_say_in_one_line_that_they_cannot_connect_and_exit_1(tmp_path, program, arguments):
    if program.endswith(".py"):
        command = [sys.executable, EXAMPLES / program]
    else:
        built = Path(os.environ.get("MIXLINK_EXAMPLES_BUILT", "/nonexistent")) / program
        if not built.is_file():
            pytest.skip("MIXLINK_EXAMPLES_BUILT names no built examples")
        command = [built]
    done = subprocess.run([*command, "-a", ADDRESS, *arguments], cwd=tmp_path, capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 1 and done.stdout == ""
    assert len(done.stderr.splitlines()) == 1 and "connect" in done.stderr, done.stderr
