"""The package and its C++ core agree on what crosses between them: a name that one side
drops or an order that one side changes fails here, not in a damaged file's report."""

import ast
import inspect
import textwrap
import types

import pytest

from vesk_arrays import _core, _damage, _options, _reader


def field_order(structseq: type) -> list[str]:
    """A structseq type's field names, in their order."""
    members = [
        name for name, value in vars(structseq).items() if isinstance(value, types.MemberDescriptorType)
    ]
    made = structseq(tuple(range(structseq.n_sequence_fields)))
    return sorted(members, key=lambda name: getattr(made, name))


def attributes_read(names: set[str]) -> set[str]:
    """The attributes that the modules that consume reports read from variables called
    `names`."""
    trees = [ast.parse(textwrap.dedent(inspect.getsource(module))) for module in (_reader, _damage)]
    return {
        node.attr
        for tree in trees
        for node in ast.walk(tree)
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in names
    }


@pytest.mark.parametrize(
    "structseq, names", [(_core.Report, {"report"}), (_core.Damage, {"record", "damage"})]
)
def test_the_fields_the_package_reads_are_the_cores(structseq, names):
    fields = field_order(structseq)
    assert len(fields) == structseq.n_sequence_fields
    assert attributes_read(names) <= set(fields)


def test_damage_records_unpack_in_the_order_the_package_takes_them():
    parameters = list(inspect.signature(_damage.DamageLedger._damage_error).parameters)[1:]
    assert field_order(_core.Damage) == parameters


def test_every_damage_kind_has_a_reason_and_every_format_a_header_reason():
    assert set(_core.DAMAGE_KINDS) == {"header", *_damage._DAMAGE_REASONS}
    assert len(set(_core.DAMAGE_KINDS)) == len(_core.DAMAGE_KINDS)
    assert _core.DAMAGED_HEADER_REASONS.keys() == _core.HEADER_FIELDS.keys()


def test_layouts_read_ahead_modes_and_limits_are_the_cores():
    assert {name or "probe": value for name, value in _options._LAYOUTS.items()} == _core.LAYOUTS
    assert _options.check_prefetch(0) == _core.READ_AHEAD_MODES["never"]
    assert _options.check_prefetch(1) == _core.READ_AHEAD_MODES["always"]
    assert _options.check_prefetch("auto") in {_core.READ_AHEAD_MODES[m] for m in ("never", "small-events")}
    assert _damage.MAX_DAMAGE_RECORDS == _core.MAX_DAMAGE_RECORDS
