"""Sphinx settings of ventrola's documentation site.

The site is built by ``make docs`` into ``build/docs/html`` with warnings as errors. Its
mathematics is converted to MathML while the pages are built (``_ext/mathml_math.py``), so a
reader needs neither a network nor a script; the parameter tables are generated from
``ventrola.parameters`` (``_ext/parameter_tables.py``); ``_ext/api_coverage.py`` fails the build
when a public name has no page. The gallery's examples run at every build.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

# Every example draws its pictures off screen, and the examples' threads stay at two (the machine's
# cores), whatever the builder's environment says.
os.environ.setdefault("MPLBACKEND", "Agg")

import ventrola  # noqa: E402

project = "ventrola"
author = "the ventrola developers"
copyright = "the ventrola developers"
release = ventrola.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "mathml_math",
    "parameter_tables",
    "api_coverage",
]

html_math_renderer = "mathml"
templates_path = ["_templates"]
exclude_patterns = ["_build", "examples/README.rst"]
root_doc = "index"
# Single backticks in docstrings (the compiled module's among them) mean code.
default_role = "literal"

# Broken cross-references are warnings (and -W makes them errors).
nitpicky = True
nitpick_ignore_regex = [
    # Names of other projects' objects in signatures and type hints; the site links none of them.
    ("py:class", r"(numpy|np|npt|pandas|pd|pymc|pm|pytensor|arviz|az|matplotlib|concurrent)\..*"),
    ("py:class", r"(optional|array-like|array_like|callable|mapping|sequence|iterable|scalar)"),
]

autosummary_generate = True
autodoc_inherit_docstrings = False
autodoc_typehints = "none"

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Sections that do not parse, and parameters a docstring leaves out or names wrongly, fail the build.
numpydoc_validation_checks = {"PR01", "PR02", "GL08"}
# ``simulate`` keeps the compiled module's docstring (its page adds the sections, see
# _ext/parameter_tables.py); the distributions' signatures are PyMC's ``(name, *args, **kwargs)``.
numpydoc_validation_exclude = {r"\.__init__$", r"\._[a-z]", r"^ventrola\.simulate$", r"^ventrola\.bayes\.(Wiener|General)DDM$"}

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "reset_modules": ("matplotlib",),
    "within_subsection_order": "FileNameSortKey",
    "image_scrapers": ("figure_scraper.scraper",),
    # a cell's last value is shown when it is a table (pandas' HTML); printed text always is
    "capture_repr": ("_repr_html_",),
}

plot_include_source = True
plot_pre_code = ""
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]

html_theme = "pydata_sphinx_theme"
html_title = "ventrola"
html_static_path = ["_static"]
html_css_files = ["ventrola.css"]
html_context = {"default_mode": "auto"}  # the reader's light or dark preference
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "header_links_before_dropdown": 6,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {"index": [], "getting_started": []}
html_show_sourcelink = False
html_copy_source = False
