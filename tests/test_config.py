"""The TOML problem description as Python sees it: messages arrive unchanged as RuntimeError."""
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
