"""Sphinx configuration of vesk's pages: the README as the guide, the API reference from the
docstrings of the installed modules, the changelog, and the benchmark chart."""

from __future__ import annotations

from sphinx.util.inspect import TypeAliasForwardRef
from sphinx.util.typing import stringify_annotation

import vesk

project = "vesk"
author = "the vesk developers"
copyright = "the vesk developers; MIT licence"
release = version = vesk.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]

# The README links its sections by their GitHub anchors (#development).
myst_heading_anchors = 3
# Members in source order, which is the order the docstrings explain them in.
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
# The names the signatures give their types, instead of spelling out the unions and NumPy's
# array protocols they stand for. Each key is a name as the package's annotations write it;
# each value the alias documented on the API page (api.rst, "Type aliases").
autodoc_type_aliases = {
    "ArrayLike": "ArrayLike",
    "NDArray": "NDArray",
    "Offsets": "vesk_arrays.Offsets",
    "Samples": "vesk_arrays.Samples",
    "Selection": "vesk_arrays.Selection",
    "Reduction": "vesk_arrays.Reduction",
    "ListType": "vesk_arrays.ListType",
    "Destination": "vesk_arrays.Destination",
    "Pad": "vesk_arrays.Pad",
    "Source": "vesk_arrays.Source",
    "Sources": "vesk_arrays.Sources",
    "Paths": "vesk_arrays.Paths",
    "_Path": "vesk_arrays.StrPath",
    "StrPath": "vesk_arrays.StrPath",
    "Errors": "vesk_arrays.Errors",
    "Layout": "vesk_arrays.Layout",
    "Prefetch": "vesk_arrays.Prefetch",
}


def _subscripted(alias, item):
    """``NDArray[np.uint16]`` as that name, where NumPy would expand it to
    ``ndarray[tuple[Any, ...], dtype[uint16]]``: autodoc stands each alias in for a
    placeholder of its name, which it gives no subscripts of its own."""
    items = item if isinstance(item, tuple) else (item,)
    names = ", ".join(stringify_annotation(part, "fully-qualified-except-typing") for part in items)
    return TypeAliasForwardRef(f"{alias.name}[{names}]")


# Sphinx internals, so the docs extra keeps Sphinx below its next major release.
TypeAliasForwardRef.__getitem__ = _subscripted
# An alias inside another type's subscript (Iterable[Paths]) shows as its name too.
TypeAliasForwardRef.__repr__ = lambda alias: alias.name

# Signatures name types without their module (Batch, Paths); each links to its entry.
python_use_unqualified_type_names = True

# Types other libraries define (NumPy, pyarrow, pandas, awkward, Dask) are named in
# signatures, not linked: their references would need those projects' inventories. Nor are
# the package's private type variables and aliases, which have no page of their own.
nitpick_ignore_regex = [
    (
        "py:(class|obj)",
        r"(numpy|np|pyarrow|pa|pandas|pd|awkward|ak|dask|dask_awkward|os|io|typing|collections\.abc)\..*",
    ),
    ("py:(class|obj)", r"(NDArray|ArrayLike|DTypeLike|BinaryIO|PathLike|StrPath|Self)(\[.*\])?"),
    ("py:(class|obj)", r"([\w.]+\.)?_\w+"),
    # The package's type aliases (its modules' annotations name them), documented in prose.
    (
        "py:(class|obj)",
        r"(vesk_arrays\.[\w.]+\.)?(Errors|Layout|Format|Paths|Source|Prefetch|Shape|ReadInto|Piece|Partition)",
    ),
]


def resolve_in_the_package(app, env, node, contnode):
    """Docstrings name the package's classes and functions unqualified (:class:`Batch`), as
    its modules see them; a name not found where it is used is looked up in vesk_arrays."""
    target = node.get("reftarget", "")
    if node.get("refdomain") != "py" or target.startswith(("vesk_arrays.", "vesk.")):
        return None
    node = node.deepcopy()
    node["reftarget"] = f"vesk_arrays.{target.lstrip('.~')}"
    domain = env.get_domain("py")
    return domain.resolve_xref(
        env, node["refdoc"], app.builder, node["reftype"], node["reftarget"], node, contnode
    )


def setup(app):
    app.connect("missing-reference", resolve_in_the_package)


html_theme = "alabaster"
html_title = f"vesk {release}"
