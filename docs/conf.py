"""Sphinx configuration of vesk's pages: the README as the guide, the API reference from the
docstrings of the installed modules, the changelog, and the benchmark chart."""

from __future__ import annotations

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
