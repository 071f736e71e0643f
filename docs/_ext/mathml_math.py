"""Renders the site's mathematics as MathML while the pages are built.

Sphinx's usual renderers either load a script from a content-delivery network when a page is
read (MathJax) or need a LaTeX installation at build time (imgmath). This one converts each
``:math:`` role and ``.. math::`` block to MathML with latex2mathml, so the built pages show
their equations without a script and without a network; browsers draw MathML natively.

A formula that latex2mathml cannot read is a warning (an error under ``-W``), with the page and
line, instead of a silently broken equation. Displayed equations keep Sphinx's numbering and
labels. Blocks of several equations (separated by blank lines) become one ``<div>`` each.
"""

from __future__ import annotations

from typing import Any

from docutils import nodes
from sphinx.util import logging
from sphinx.util.math import get_node_equation_number

logger = logging.getLogger(__name__)


def to_mathml(latex: str, display: str, node: nodes.Element) -> str:
    """The MathML of one formula; a warning at the node's place when it cannot be converted."""
    from latex2mathml.converter import convert

    try:
        return convert(latex, display=display)
    except Exception as error:  # latex2mathml raises its own exception classes and plain ones
        logger.warning("cannot render the formula %r as MathML: %s", latex, error, location=node)
        return f"<code>{latex}</code>"


def visit_math(translator: Any, node: nodes.math) -> None:
    translator.body.append(translator.starttag(node, "span", "", CLASS="math"))
    translator.body.append(to_mathml(node.astext(), "inline", node))
    translator.body.append("</span>")
    raise nodes.SkipNode


def visit_displaymath(translator: Any, node: nodes.math_block) -> None:
    translator.body.append(translator.starttag(node, "div", CLASS="math"))
    if node["number"]:
        number = get_node_equation_number(translator, node)
        translator.body.append(f'<span class="eqno">({number})')
        translator.add_permalink_ref(node, "Link to this equation")
        translator.body.append("</span>")
    for part in (part for part in node.astext().split("\n\n") if part.strip()):
        translator.body.append(to_mathml(part.strip(), "block", node))
    translator.body.append("</div>\n")
    raise nodes.SkipNode


def setup(app: Any) -> dict[str, Any]:
    app.add_html_math_renderer(
        "mathml", inline_renderers=(visit_math, None), block_renderers=(visit_displaymath, None)
    )
    return {"parallel_read_safe": True, "parallel_write_safe": True}
