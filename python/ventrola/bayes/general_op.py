"""A PyTensor Op for the log-probability of each trial under a generalized model
(:class:`ventrola.DDM`: a collapsing bound, a time-varying drift, a leak), with its gradient.

The Op is the seven-parameter one's sibling (:mod:`ventrola.bayes.likelihood_op`): one node
computes the log-probability and the partial derivatives as further outputs, its ``grad``
multiplies them by the incoming gradient, and a rewrite drops the partials no graph uses. The
densities and their partials come from the model's first-passage solver, which solves once per
distinct parameter set (a participant in a condition, say) for all the trials that share it.

Inputs: signed response times (``rt`` for the upper boundary, ``-rt`` for the lower one), then
the model's parameters in :attr:`ventrola.DDM.parameter_names` order, then the lapse weight
``contamination`` and its window ``max_rt``. Parameters outside their ranges give -inf and zero
partials, as a sampler needs to see a rejected point.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Optional, cast

import numpy as np
import numpy.typing as npt
from pytensor.graph.basic import Apply, Variable
from pytensor.graph.op import Op
from pytensor.graph.rewriting.basic import node_rewriter
from pytensor.tensor.rewriting.basic import register_specialize
from pytensor.tensor.variable import TensorVariable
import pytensor.tensor as pt

from ventrola import parameters
from ventrola.bayes.likelihood_op import (
    as_float64,
    broadcast_static_shape,
    check_static_broadcasting,
    partial_gradients,
    without_unused_partials,
)
from ventrola.bayes.trial_likelihood import full_shape, mixture_partials
from ventrola.models import DDM

Array = npt.NDArray[np.float64]
LAPSE_INPUTS = ("contamination", "max_rt")


def input_names(model: DDM) -> tuple[str, ...]:
    """The Op's inputs after the signed response times."""
    return (*model.parameter_names, *LAPSE_INPUTS)


def valid_parameters(model: DDM, arrays: Mapping[str, Array]) -> npt.NDArray[np.bool_]:
    """True where every parameter lies in its range (the table's; a user's function's are its own
    business), the lapse weight in [0, 1] and the window above 0."""
    named = [name for name in model.parameter_names if name in parameters.table()]
    with np.errstate(invalid="ignore"):
        return np.asarray(parameters.valid(arrays, named)
                          & (arrays["contamination"] >= 0) & (arrays["contamination"] <= 1)
                          & (arrays["max_rt"] > 0))


def model_trial_log_probability(
    model: DDM, signed_rt: Array, params: Mapping[str, Any], wrt: Sequence[str] = ()
) -> tuple[Array, dict[str, Array]]:
    """Log-probability of each trial and its partials for ``wrt``, in the broadcast shape."""
    value = np.asarray(signed_rt, dtype=np.float64)
    arrays = {name: np.asarray(params[name], dtype=np.float64) for name in input_names(model)}
    shape = np.broadcast_shapes(value.shape, *(array.shape for array in arrays.values()))
    valid = np.broadcast_to(valid_parameters(model, arrays), shape)
    if valid.all():
        return _evaluate(model, value, arrays, wrt, shape)
    log_p = np.full(shape, -np.inf)
    partials = {name: np.zeros(shape) for name in wrt}
    if valid.any():
        rows = {name: np.broadcast_to(array, shape)[valid] for name, array in arrays.items()}
        kept, kept_partials = _evaluate(model, np.broadcast_to(value, shape)[valid], rows, wrt, log_p[valid].shape)
        log_p[valid] = kept
        for name, partial in kept_partials.items():
            partials[name][valid] = partial
    return log_p, partials


def _evaluate(
    model: DDM, value: Array, arrays: Mapping[str, Array], wrt: Sequence[str], shape: tuple[int, ...]
) -> tuple[Array, dict[str, Array]]:
    rt = np.abs(value)
    keywords = {name: arrays[name] for name in model.parameter_names}
    needed = [name for name in wrt if name not in LAPSE_INPUTS]
    if needed:
        log_f, model_partials = model.logpdf_grad(value > 0, rt, wrt=needed, **keywords)
    else:
        log_f, model_partials = model.logpdf(value > 0, rt, **keywords), {}
    p = arrays["contamination"]
    partials: dict[str, Array] = {}
    share = None
    if "contamination" in wrt or "max_rt" in wrt or np.any(p):
        log_p, share, partials = mixture_partials(rt, log_f, p, arrays["max_rt"], wrt)
    else:
        log_p = log_f
    # A trial the model cannot produce (rt at or below t0) carries no gradient through the model.
    reachable = np.isfinite(log_f)
    for name, partial in model_partials.items():
        scaled = partial if share is None else share * partial
        partials[name] = np.where(reachable, scaled, 0.0)
    return full_shape(np.asarray(log_p), shape), {name: full_shape(partial, shape) for name, partial in partials.items()}


class ModelLogProbability(Op):
    """The log-probability of each trial under ``model`` and its partial derivatives, as one
    PyTensor Op.

    Parameters
    ----------
    model : ventrola.DDM
        The model; its parameters (then ``contamination`` and ``max_rt``) are the Op's inputs
        after the signed response times.
    wrt : sequence of str, optional
        The inputs whose partial derivatives are computed (default None: all); a compile-time
        rewrite narrows it to those a graph uses.
    """

    __props__ = ("model", "wrt")

    def __init__(self, model: DDM, wrt: Optional[Sequence[str]] = None) -> None:
        names = input_names(model)
        wrt = names if wrt is None else tuple(wrt)
        unknown = [name for name in wrt if name not in names]
        if unknown:
            raise ValueError(f"{model!r} has no parameter {unknown[0]!r}")
        self.model = model
        self.wrt = tuple(name for name in names if name in wrt)

    def make_node(self, *inputs: Any) -> Apply:
        names = input_names(self.model)
        if len(inputs) != 1 + len(names):
            raise TypeError(f"{type(self).__name__} of {self.model!r} takes {1 + len(names)} inputs, not {len(inputs)}")
        tensors = [as_float64(x) for x in inputs]
        shape = broadcast_static_shape([x.type.shape for x in tensors])
        outputs = [pt.tensor(dtype="float64", shape=shape) for _ in range(1 + len(self.wrt))]
        return Apply(self, tensors, outputs)

    def perform(self, node: Apply, inputs: Sequence[np.ndarray], output_storage: list[list[Any]]) -> None:
        check_static_broadcasting(node, inputs)
        value, *values = inputs
        log_p, partials = model_trial_log_probability(self.model, value, dict(zip(input_names(self.model), values)),
                                                      self.wrt)
        output_storage[0][0] = log_p
        for storage, name in zip(output_storage[1:], self.wrt):
            storage[0] = partials[name]

    def do_constant_folding(self, fgraph: Any, node: Apply) -> bool:
        return False  # see WienerLogProbability: the rewrite must prune the partials first

    def infer_shape(self, fgraph: Any, node: Apply, input_shapes: Sequence[Sequence[Any]]) -> list[Any]:
        shape = pt.broadcast_shape(*input_shapes, arrays_are_shapes=True)
        return [shape] * len(node.outputs)

    def L_op(self, inputs: Sequence[Any], outputs: Sequence[Any], output_grads: Sequence[Any]) -> list[Variable]:
        return partial_gradients(self, input_names(self.model), (), inputs, outputs, output_grads)

    def connection_pattern(self, node: Apply) -> list[list[bool]]:
        return [[True] * len(node.outputs) for _ in node.inputs]


def model_log_probability(model: DDM, value: Any, **values: Any) -> TensorVariable:
    """The log-probability of each trial under ``model`` as a PyTensor variable.

    Parameters
    ----------
    model : ventrola.DDM
        The model.
    value : array_like or TensorVariable
        Signed response times (``rt`` for the upper boundary, ``-rt`` for the lower one).
    **values
        The model's parameters by name (``drift_rate`` and ``boundary_separation`` required, the
        others default to :attr:`ventrola.DDM.defaults`), ``contamination`` (0) and ``max_rt``
        (inf), each a number, array or PyTensor variable broadcasting with ``value``.

    Returns
    -------
    TensorVariable
        The log-probability of each trial, with gradients with respect to every parameter.

    Raises
    ------
    TypeError
        For an unknown or missing parameter.
    """
    defaults = {**model.defaults, "contamination": 0.0, "max_rt": np.inf}
    unknown = [name for name in values if name not in input_names(model)]
    if unknown:
        raise TypeError(f"{model!r} has no parameter {unknown[0]!r}")
    inputs = []
    for name in input_names(model):
        if name not in values and name not in defaults:
            raise TypeError(f"missing parameter {name!r}")
        inputs.append(as_float64(values.get(name, defaults.get(name))))
    log_p = ModelLogProbability(model).make_node(as_float64(value), *inputs).outputs[0]
    return cast(TensorVariable, log_p)


@register_specialize
@node_rewriter([ModelLogProbability])
def drop_unused_model_partials(fgraph: Any, node: Apply) -> Any:
    """The same node without the partial derivatives that no other node (or output) uses."""
    return without_unused_partials(fgraph, node, lambda used: ModelLogProbability(node.op.model, used))
