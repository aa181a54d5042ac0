"""Imports of the packages behind optional features, with the extra that installs them."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, feature: str) -> ModuleType:
    """The module, or an ImportError telling which extra of vesk brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        package = module.split(".")[0]
        raise ImportError(
            f'{feature} needs {package}, which is not installed; install it with: pip install "vesk[{extra}]"'
        ) from error
