"""Collects the gallery's pictures: pyplot's figures, and the figures ventrola's functions return.

ventrola draws on ``matplotlib.figure.Figure`` objects that pyplot does not know (so that a
picture never opens a window or leaks into a user's pyplot state), which sphinx-gallery's own
scraper does not see. After each block this one hands pyplot's figures to that scraper and saves
every other figure the example's variables hold that it has not shown yet, in the order they
appear.
"""

from __future__ import annotations

from typing import Any

from matplotlib.figure import Figure
from sphinx_gallery.scrapers import figure_rst, matplotlib_scraper

# Figures already shown, per example: kept alive so that a later figure cannot reuse an id.
_shown: dict[str, list[Figure]] = {}


def new_figures(namespace: dict[str, Any], shown: list[Figure]) -> list[Figure]:
    """Figures among the namespace's values (directly, or as the first item of a returned tuple)
    that are not in ``shown``, each once."""
    found: list[Figure] = []
    for value in list(namespace.values()):
        candidates = value if isinstance(value, (tuple, list)) else (value,)
        for candidate in candidates[:4]:
            if isinstance(candidate, Figure) and not any(candidate is seen for seen in shown + found):
                found.append(candidate)
    return found


def scraper(block: Any, block_vars: dict[str, Any], gallery_conf: dict[str, Any], **kwargs: Any) -> str:
    import matplotlib.pyplot as plt

    shown = _shown.setdefault(str(block_vars["src_file"]), [])
    shown.extend(plt.figure(number).figure for number in plt.get_fignums())
    rst = matplotlib_scraper(block, block_vars, gallery_conf, **kwargs)
    paths = []
    for figure in new_figures(block_vars["example_globals"], shown):
        path = next(block_vars["image_path_iterator"])
        figure.savefig(path, dpi=100)
        shown.append(figure)
        paths.append(path)
    if not paths:
        return rst
    return rst + figure_rst(paths, gallery_conf["src_dir"])
