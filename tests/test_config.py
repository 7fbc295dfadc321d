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
