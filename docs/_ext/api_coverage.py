"""Fails the build (a warning, an error under ``-W``) when a public name has no reference page.

Public means: every name in ``ventrola.__all__`` and ``ventrola.bayes.__all__``, and every method
and property of the model object :class:`ventrola.DDM` that does not start with an underscore. A
page means an entry in the Python domain, which ``autosummary``/``autodoc`` create.
"""

from __future__ import annotations

import importlib
from typing import Any

from sphinx.util import logging

logger = logging.getLogger(__name__)

MODULES = ("ventrola", "ventrola.bayes")
MODEL_OBJECT = "ventrola.DDM"


def public_names() -> list[str]:
    """The dotted names the reference must document."""
    names = []
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        names.extend(f"{module_name}.{name}" for name in module.__all__ if not name.startswith("_"))
    model = importlib.import_module("ventrola").DDM
    names.extend(f"{MODEL_OBJECT}.{name}" for name in vars(model) if not name.startswith("_"))
    return names


def missing_names(documented: set[str]) -> list[str]:
    return [name for name in public_names() if name not in documented]


def check(app: Any, env: Any) -> None:
    documented = set(env.get_domain("py").objects)
    for name in missing_names(documented):
        logger.warning("the public name %s has no page in the API reference", name, type="api_coverage")


def setup(app: Any) -> dict[str, Any]:
    app.connect("env-check-consistency", check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
