"""The TOML problem description as Python sees it: messages arrive unchanged as RuntimeError."""
import pathlib
import re

import pytest

from vantrel import _testing as t

BASE = 'mesh.file = "m.msh"\npec.tags = []\n'


@pytest.mark.parametrize(
    "text, frequencies",
    [
        pytest.param(BASE, [1.0e10], id="default"),
        pytest.param(BASE + "[frequency]\nrange = [1e9, 3e9, 3.7]\n", [1e9, 2e9, 3e9], id="range"),
        pytest.param(BASE + "[frequency]\nvalues = [3e9]\nrange = [1, 2, 9]\n", [3e9], id="values-win"),
        pytest.param(BASE + "frequency = [[], [1e9, 2e9, -5]]\n", [1e9], id="array-form"),
    ],
)
def test_frequency_list(text, frequencies):
    assert t.config_frequency_list(text) == frequencies


def test_port_kinds_in_file_order():
    text = BASE + 'ports = [["pmc", 1], { type = "abc", tag = 2 }, ["coax", 3, 1, 2]]\n'
    assert t.config_port_kinds(text) == ["pmc", "abc", "coax"]


@pytest.mark.parametrize(
    "text, report",
    [
        pytest.param("", "TOML parse error at line 1, column 1\n  |\n1 | \n  | ^\nmissing field `mesh`\n", id="empty"),
        pytest.param(
            'mesh.file = "ü"\npec.tags = [1, 2.5]\n',
            "TOML parse error at line 2, column 16\n  |\n2 | pec.tags = [1, 2.5]\n  |                ^^^\n"
            "invalid type: floating point `2.5`, expected i32\n",
            id="value",
        ),
        pytest.param(
            BASE + '[[ports]]\ntype = "Coax"\n',
            "TOML parse error at line 4, column 8\n  |\n4 | type = \"Coax\"\n  |        ^^^^^^\n"
            "unknown variant `Coax`, expected one of `rectangular`, `floquet`, `user_defined`, `coax`, "
            "`lumped`, `abc`, `pmc`, `lumped_element`, `surface_impedance`\n",
            id="kind",
        ),
    ],
)
def test_failure_reaches_python_unchanged(text, report):
    with pytest.raises(RuntimeError) as info:
        t.config_port_kinds(text)
    assert str(info.value) == "Cannot parse TOML: " + report


def test_range_count_too_large_is_refused():
    with pytest.raises(RuntimeError, match="at most 100000000"):
        t.config_frequency_list(BASE + "[frequency]\nrange = [1e9, 2e9, 1e19]\n")


# ---- inputs that must never take the interpreter down --------------------------------------------

DEEP_SCRIPT = r"""
import json, sys, threading
from vantrel import _testing as t

def outcome(text):
    try:
        t.config_port_kinds(text)
        return "parsed"
    except RuntimeError as e:
        return str(e)

def in_thread(text, stack):
    old = threading.stack_size(stack)
    try:
        out = []
        th = threading.Thread(target=lambda: out.append(outcome(text)))
        th.start()
        th.join()
    finally:
        threading.stack_size(old)
    return out[0]

base = 'mesh.file = "m.msh"\npec.tags = []\n'
chain = lambda n: "a" + ".a" * (n - 1)
print(json.dumps({
    "header_main": outcome(base + "[" + chain(50000) + "]\n"),
    "dotted_main": outcome(base + chain(50000) + " = 1\n"),
    "header_thread": in_thread(base + "[" + chain(2000) + "]\n", 256 * 1024),
    "inline_thread": in_thread(base + "x = " + "{ a = " * 2000 + "1" + " }" * 2000 + "\n", 256 * 1024),
    "limit_thread": in_thread(base + "x = " + "{ a = " * 31 + "1" + " }" * 31 + "\n", 256 * 1024),
}))
"""


def test_deep_nesting_is_refused_on_any_stack():
    # Run apart: a regression would kill the interpreter, not fail an assertion.
    import json
    import os
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-c", DEEP_SCRIPT], capture_output=True, text=True,
                          env=dict(os.environ), timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out.pop("limit_thread") == "parsed"  # the deepest accepted text fits a 256 KiB stack
    for case, message in out.items():
        assert message.startswith("Cannot parse TOML: TOML parse error at line 3, column "), case
        assert message.endswith("\nnested deeper than 32 levels\n"), case


@pytest.mark.parametrize(
    "text, quoted_line",
    [
        pytest.param(BASE + 'x = "a\0b"\n', '3 | x = "a\0b"\n', id="nul-in-string"),
        pytest.param(BASE + "x = \0\n", "3 | x = \0\n", id="nul-value"),
    ],
)
def test_failure_text_arrives_whole(text, quoted_line):
    # A NUL in the text ends up in the quoted source line: the message must not stop there.
    with pytest.raises(RuntimeError) as info:
        t.config_port_kinds(text)
    before, after = str(info.value).split(quoted_line)
    assert before.startswith("Cannot parse TOML: TOML parse error at line 3, column ")
    assert after.startswith("  |") and "\ninvalid" in after  # caret line, then the parser's message


# ---- the reference page docs/configuration.md ----------------------------------------------------

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOC = (ROOT / "docs" / "configuration.md").read_text()

# The heading under which the reference documents each record of the reader.
SECTIONS = {
    "Config": "## How the file is read", "MeshConfig": "## `[mesh]`",
    "FrequencyConfig": "## `[frequency]`", "PecConfig": "## `[pec]`",
    "SolverConfig": "## `[solver]`", "AdaptiveConfig": "## `[adaptive]`",
    "EigenmodeConfig": "## `[eigenmode]`", "OutputConfig": "## `[output]`",
    "MaterialConfig": "## `[[materials]]`", "DebyeConfig": "### `debye`",
    "DrudeConfig": "### `drude`", "PmlConfig": "## `[[pml]]`",
    "PortConfig::Rectangular": "### `rectangular`", "PortConfig::Floquet": "### `floquet`",
    "PortConfig::UserDefined": "### `user_defined`", "PortConfig::Coax": "### `coax`",
    "PortConfig::Lumped": "### `lumped`", "PortConfig::Abc": "### `abc`",
    "PortConfig::Pmc": "### `pmc`", "PortConfig::LumpedElement": "### `lumped_element`",
    "PortConfig::SurfaceImpedance": "### `surface_impedance`",
}


def table_keys(heading):
    """The keys in the first column of the tables under a heading, in order, down to the next
    heading of the same or a higher level."""
    body = DOC.split("\n" + heading + "\n", 1)[1]
    end = re.search(r"^#{1,%d} " % heading.index(" "), body, re.M)
    return re.findall(r"^\| `(\w+)` \|", body[:end.start() if end else None], re.M)


def test_reference_names_every_key_the_reader_knows():
    source = (ROOT / "src" / "fd" / "config.cpp").read_text()
    schemas = re.findall(r"struct Schema<([\w:]+)> \{(.*?)\n\};", source, re.S)
    records = {name: re.findall(r'(?:required|defaulted)\("(\w+)"', fields)
               for name, fields in schemas}
    assert set(records) == set(SECTIONS)
    for name, keys in records.items():  # in the reader's order, which the array form follows
        assert [k for k in table_keys(SECTIONS[name]) if k in keys] == keys, name
    assert "type" in table_keys("## `[[ports]]`")
    header = (ROOT / "src" / "fd" / "config.hpp").read_text()
    kinds = re.search(r"PORT_KIND_NAMES = \{(.*?)\};", header, re.S)
    assert re.findall(r'"(\w+)"', kinds.group(1)) == [
        SECTIONS[n].split("`")[1] for n in SECTIONS if n.startswith("PortConfig::")]


@pytest.mark.parametrize("block", [pytest.param(b, id=f"block{i}") for i, b in
                                   enumerate(re.findall(r"```toml\n(.*?)```", DOC, re.S))])
def test_reference_examples_are_read(block):
    # A fragment gets the two required tables it leaves out.
    for table, line in (("mesh", 'file = "m.msh"'), ("pec", "tags = []")):
        if not re.search(r"^\[%s\]" % table, block, re.M):
            block += f"\n[{table}]\n{line}\n"
    t.config_port_kinds(block)
