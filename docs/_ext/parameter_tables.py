"""The guide's parameter tables, generated from ``ventrola.parameters`` while the site is built.

``.. parameter-table:: KIND`` renders one of four views of the one parameter table:

``model``
    The seven-parameter model and the noise scale: name, meaning, unit, valid values, default.
``families``
    The generalized models' own parameters, with the bound or drift families that have them.
``priors``
    What a hierarchical model puts on each parameter (participant-level or shared).
``regression``
    The link and the priors of a formula on each parameter that takes one.

Nothing here states a range, a default or a prior of its own: a change to the table changes the
pages at the next build.
"""

from __future__ import annotations

import math
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

from ventrola import parameters

INFINITY = "∞"


def number(value: float) -> str:
    """A parameter value as a reader writes it; the logarithm of a short number stays a logarithm
    (``log 1.5`` rather than 0.405465)."""
    if value in (math.inf, -math.inf):
        return ("−" if value < 0 else "") + INFINITY
    if value != 0.0 and abs(value) < 50:
        base = math.exp(value)
        short = float(f"{base:.3g}")
        if base != 1.0 and math.isclose(base, short, rel_tol=1e-12) and not float(value).is_integer():
            return f"log {short:g}"
    return f"{value:g}".replace("-", "−")


def interval(domain: parameters.Domain) -> str:
    """The valid values as an interval, ``any real number`` for the whole line."""
    if domain.low == -math.inf and domain.high == math.inf:
        return "any real number"
    left = "[" if domain.low_closed else "("
    right = "]" if domain.high_closed else ")"
    return f"{left}{number(domain.low)}, {number(domain.high)}{right}"


def valid_values(parameter: parameters.Parameter) -> str:
    """The interval, and the condition on other parameters that the refusal states with it (the
    starting-point range must leave the starting point room)."""
    condition = parameter.requirement.split(" with ", 1)[1] if " with " in parameter.requirement else ""
    return interval(parameter.domain) + (f", with {condition}" if condition else "")


def default(parameter: parameters.Parameter) -> str:
    return "required" if parameter.default is None else number(parameter.default)


def prior(parameter: parameters.Parameter) -> tuple[str, str]:
    """(how a participant's value is formed, the prior) of a hierarchical model."""
    given = parameter.prior
    if isinstance(given, parameters.GroupPrior):
        forms = {
            "identity": "μ + σ z",
            "log": "exp(μ + σ z)",
            "logit": "logistic(μ + σ z)",
            "logit_of_bound": "fastest response × logistic(μ + σ z)",
        }
        return (forms[given.link],
                f"μ ~ Normal({number(given.mu_mean)}, {number(given.mu_sd)}), σ ~ HalfNormal({number(given.sigma_scale)})")
    assert isinstance(given, parameters.SharedPrior)
    shared = {
        "half_normal": lambda p: f"HalfNormal({number(p.a)})",
        "beta": lambda p: f"Beta({number(p.a)}, {number(p.b)})",
        "normal": lambda p: f"Normal({number(p.a)}, {number(p.b)})",
        "log_normal": lambda p: f"LogNormal({number(p.a)}, {number(p.b)})",
        "log_normal_above_one": lambda p: f"1 + LogNormal({number(p.a)}, {number(p.b)})",
        # the room the starting point leaves: all of it when w is estimated (w then stays inside)
        "uniform_room": lambda p: "Uniform(0, 1); Uniform(0, 2 min(w, 1 − w)) with w fixed",
    }
    return "one value for all participants", shared[given.kind](given)


def rows(kind: str) -> tuple[list[str], list[list[str]]]:
    """The header and rows of one view of the table."""
    table = parameters.table()
    seven = [p for p in table.entries if p.in_density and p.families is None]
    if kind == "model":
        return (["name", "meaning", "unit", "valid values", "default"],
                [[f"``{p.name}``", p.meaning, p.unit, valid_values(p), default(p)] for p in seven])
    if kind == "families":
        return (["name", "meaning", "unit", "valid values", "default", "in the families"],
                [[f"``{p.name}``", p.meaning, p.unit, valid_values(p), default(p),
                  ", ".join(f"``{family}``" for family in p.families or ())]
                 for p in table.entries if p.families is not None])
    if kind == "priors":
        return (["parameter", "participant's value", "prior"],
                [[f"``{p.name}``", *prior(p)] for p in table.entries if p.prior is not None])
    if kind == "regression":
        return (["parameter", "link", "intercept", "slopes", "group-specific spread"],
                [[f"``{p.name}``", p.link or "",
                  f"Normal({number(p.regression.intercept_mean)}, {number(p.regression.intercept_sd)})",
                  f"Normal(0, {number(p.regression.slope_sd)})",
                  f"HalfNormal({number(p.regression.group_sd)})"]
                 for p in table.entries if p.link is not None and p.regression is not None])
    raise ValueError(f"unknown parameter table {kind!r}; use model, families, priors or regression")


def list_table(header: list[str], body: list[list[str]]) -> list[str]:
    lines = [".. list-table::", "   :header-rows: 1", ""]
    for row in [header, *body]:
        lines.append(f"   * - {row[0]}")
        lines.extend(f"     - {cell}" for cell in row[1:])
    return lines


class ParameterTable(SphinxDirective):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        try:
            header, body = rows(self.arguments[0])
        except ValueError as error:
            raise self.error(str(error)) from None
        container = nodes.container(classes=["parameter-table"])
        self.state.nested_parse(StringList(list_table(header, body), source=self.get_source_info()[0]),
                                self.content_offset, container)
        return [container]


# ``simulate`` comes from the compiled module, whose docstring is part of its fixed surface; its
# reference page adds the numpydoc sections, with each model parameter's meaning and valid values
# read from the table under the positional name ``simulate`` gives it.
SIMULATE_POSITIONS = (("drift", "drift_rate"), ("boundary", "boundary_separation"), ("start", "starting_point"),
                      ("t0", "non_decision_time"))


def simulate_sections() -> list[str]:
    """The Parameters, Returns and Raises sections of ``ventrola.simulate``."""
    table = parameters.table()

    def entry(position: str, name: str, optional: bool = False) -> list[str]:
        p = table[name]
        suffix = f", optional (default {default(p)})" if optional else ""
        return [f"{position} : float{suffix}", f"    The {p.meaning} (``{name}``), {p.unit}; valid values {interval(p.domain)}."]

    lines = ["", "Parameters", "----------"]
    for position, name in SIMULATE_POSITIONS:
        lines += entry(position, name)
    lines += ["n : int", "    Number of trials, >= 0.", "seed : int", "    Seed of the trials' random streams, >= 0."]
    lines += entry("noise_sd", "noise_sd", optional=True)
    lines += ["", "Returns", "-------",
              "choices : ndarray of bool", "    True where the trial reached the upper boundary.",
              "rts : ndarray of float64", "    Response times in seconds.",
              "n_excluded : int", "    Trials still between the boundaries after 10 s, dropped from both arrays.",
              "", "Raises", "------",
              "ValueError", "    For a parameter outside its valid values.",
              "TypeError", "    For arguments of the wrong type or number.",
              "", "Examples", "--------",
              ">>> import ventrola",
              ">>> choices, rts, n_excluded = ventrola.simulate(1.0, 1.5, 0.5, 0.3, 1000, 7)",
              ">>> len(choices) + n_excluded",
              "1000"]
    return lines


def complete_simulate(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if name == "ventrola.simulate" and "Parameters" not in lines:
        lines.extend(simulate_sections())


def setup(app: Any) -> dict[str, Any]:
    app.add_directive("parameter-table", ParameterTable)
    # before numpydoc (priority 500) reads the sections
    app.connect("autodoc-process-docstring", complete_simulate, priority=400)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
