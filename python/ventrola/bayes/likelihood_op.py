"""A PyTensor Op for the log-probability of each trial, with the analytic gradient.

One Op computes the log-probability and, as further outputs, the partial
derivatives with respect to its parameters. Its ``grad`` multiplies those
outputs by the incoming gradient, so a sampler's joint evaluation of
log-probability and gradient makes one call of the compiled likelihood. When a
function is compiled, a rewrite drops the partials nothing uses (those of
constants, or all of them where only the log-probability is wanted), and with
them the work of computing them.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, cast

import numpy as np
import pytensor.tensor as pt
from pytensor.gradient import DisconnectedType, grad_not_implemented, grad_undefined
from pytensor.graph.basic import Apply, Variable
from pytensor.graph.op import Op
from pytensor.graph.rewriting.basic import node_rewriter
from pytensor.tensor.variable import TensorVariable
from pytensor.tensor.rewriting.basic import register_specialize

from ventrola import likelihood
from ventrola.bayes.trial_likelihood import DIFFERENTIABLE, OBSERVATION_DEFAULTS, trial_log_probability

DEFAULTS = {**likelihood.DEFAULTS, "contamination": 0.0, "max_rt": np.inf, **OBSERVATION_DEFAULTS}
# Inputs after the signed response time, in order, with their defaults (None: required): the
# differentiable ones, then those that say how the trials were observed (data, no gradient).
INPUT_DEFAULTS = {name: DEFAULTS.get(name) for name in (*DIFFERENTIABLE, *OBSERVATION_DEFAULTS)}


class WienerLogProbability(Op):
    """The log-probability of each trial and its partial derivatives, as one PyTensor Op.

    Inputs: signed response times, then the parameters in ``INPUT_DEFAULTS`` order (the last
    three, ``deadline``, ``rt_low`` and ``rt_high``, may be left out: every trial timed). Outputs:
    the log-probability of each trial (the broadcast shape), then one array of partial
    derivatives for each name in ``wrt``.

    Parameters
    ----------
    wrt : sequence of str, optional
        The inputs whose partial derivatives are computed (default: every differentiable
        input); a compile-time rewrite narrows it to those a graph uses.
    """

    __props__ = ("wrt",)

    def __init__(self, wrt: Sequence[str] = DIFFERENTIABLE) -> None:
        unknown = [name for name in wrt if name not in DIFFERENTIABLE]
        if unknown:
            raise ValueError(f"no derivative with respect to {', '.join(map(repr, unknown))}")
        self.wrt = tuple(name for name in DIFFERENTIABLE if name in wrt)

    def make_node(self, *inputs: Any) -> Apply:
        if len(inputs) == 1 + len(DIFFERENTIABLE):
            inputs = (*inputs, *OBSERVATION_DEFAULTS.values())
        if len(inputs) != 1 + len(INPUT_DEFAULTS):
            raise TypeError(f"{type(self).__name__} takes {1 + len(DIFFERENTIABLE)} or {1 + len(INPUT_DEFAULTS)} "
                            f"inputs, not {len(inputs)}")
        tensors = [as_float64(x) for x in inputs]
        shape = broadcast_static_shape([x.type.shape for x in tensors])
        outputs = [pt.tensor(dtype="float64", shape=shape) for _ in range(1 + len(self.wrt))]
        return Apply(self, tensors, outputs)

    def perform(self, node: Apply, inputs: Sequence[np.ndarray], output_storage: list[list[Any]]) -> None:
        check_static_broadcasting(node, inputs)
        value, *parameters = inputs
        log_p, partials = trial_log_probability(value, dict(zip(INPUT_DEFAULTS, parameters)), self.wrt)
        output_storage[0][0] = log_p
        for storage, name in zip(output_storage[1:], self.wrt):
            storage[0] = partials[name]

    def do_constant_folding(self, fgraph: Any, node: Apply) -> bool:
        # Folded at compile time, the node would still carry every partial;
        # left for run time, drop_unused_partials prunes it first.
        return False

    def infer_shape(self, fgraph: Any, node: Apply, input_shapes: Sequence[Sequence[Any]]) -> list[Any]:
        shape = pt.broadcast_shape(*input_shapes, arrays_are_shapes=True)
        return [shape] * len(node.outputs)

    def L_op(
        self, inputs: Sequence[Any], outputs: Sequence[Any], output_grads: Sequence[Any]
    ) -> list[Variable]:
        return partial_gradients(self, tuple(INPUT_DEFAULTS), tuple(OBSERVATION_DEFAULTS), inputs, outputs, output_grads)

    def connection_pattern(self, node: Apply) -> list[list[bool]]:
        return [[True] * len(node.outputs) for _ in node.inputs]


def partial_gradients(
    op: Any, names: Sequence[str], data_names: Sequence[str], inputs: Sequence[Any], outputs: Sequence[Any],
    output_grads: Sequence[Any],
) -> list[Variable]:
    """The gradient of an Op whose outputs are a log-probability and its partials (``op.wrt``) with
    respect to its inputs: the signed times, then ``names`` (those in ``data_names`` say how the
    trials were observed and have none). Each partial output times the incoming gradient, summed
    over the axes its input was broadcast along."""
    log_p_grad, *partial_grads = output_grads
    if any(not isinstance(g.type, DisconnectedType) for g in partial_grads):
        return [grad_not_implemented(op, i, x, "second derivatives") for i, x in enumerate(inputs)]
    partial_outputs = dict(zip(op.wrt, outputs[1:]))
    grads = [grad_undefined(op, 0, inputs[0], "the sign of a trial is a discrete choice")]
    for position, (name, x) in enumerate(zip(names, inputs[1:]), start=1):
        if name in data_names:
            grads.append(grad_undefined(op, position, x, f"{name} says how the trials were observed"))
        elif name in partial_outputs:
            grads.append(sum_to_shape(log_p_grad * partial_outputs[name], x))
        else:
            grads.append(grad_not_implemented(op, position, x, f"this node does not compute d/d {name}"))
    return grads


def without_unused_partials(fgraph: Any, node: Apply, rebuild: Any) -> Any:
    """Replacements for a node some of whose partial outputs no other node (or output) uses: the node
    ``rebuild(used)`` makes, which computes only the used ones; None when all are used."""
    partials = dict(zip(node.op.wrt, node.outputs[1:]))
    used = [name for name, output in partials.items() if fgraph.clients[output]]
    if len(used) == len(partials):
        return None
    log_p, *kept = rebuild(used).make_node(*node.inputs).outputs
    return {node.outputs[0]: log_p, **{partials[name]: output for name, output in zip(used, kept)}}


def as_float64(x: Any) -> TensorVariable:
    if not isinstance(x, Variable):
        return pt.constant(np.asarray(x, dtype=np.float64))
    tensor = pt.as_tensor_variable(x)
    return tensor if tensor.dtype == "float64" else pt.cast(tensor, "float64")


def broadcast_static_shape(shapes: Sequence[tuple[Any, ...]]) -> tuple[Any, ...]:
    """NumPy broadcasting of static shapes, None where a length is unknown."""
    ndim = max((len(shape) for shape in shapes), default=0)
    result = []
    for axis in range(ndim):
        lengths = {shape[axis - ndim + len(shape)] for shape in shapes if axis - ndim + len(shape) >= 0}
        known = {length for length in lengths if length is not None and length != 1}
        if known:
            result.append(known.pop())
        elif None in lengths:
            result.append(None)
        else:
            result.append(1)
    return tuple(result)


def check_static_broadcasting(node: Apply, inputs: Sequence[np.ndarray]) -> None:
    """Refuses an input of length 1 along an axis its type does not declare
    broadcastable while another input is longer there: the gradient, summed
    along the declared axes only, would have the wrong shape (PyTensor's own
    element-wise operations refuse the same)."""
    ndim = node.outputs[0].type.ndim
    shape = np.broadcast_shapes(*(np.shape(x) for x in inputs))
    for variable, array in zip(node.inputs, inputs):
        offset = ndim - array.ndim
        for axis, (declared, length) in enumerate(zip(variable.type.shape, array.shape)):
            if length == 1 and declared != 1 and shape[offset + axis] != 1:
                raise ValueError(
                    f"input {variable} has length 1 along axis {axis}, broadcast at run time; "
                    "give it a static length of 1 (e.g. with pytensor.tensor.specify_broadcastable)"
                )


def sum_to_shape(gradient: TensorVariable, x: TensorVariable) -> TensorVariable:
    """Sums a gradient of the broadcast shape over the axes that ``x`` was broadcast along."""
    leading = gradient.type.ndim - x.type.ndim
    if leading:
        gradient = gradient.sum(axis=tuple(range(leading)))
    stretched = tuple(
        axis for axis, length in enumerate(x.type.shape) if length == 1 and gradient.type.shape[axis] != 1
    )
    if stretched:
        gradient = gradient.sum(axis=stretched, keepdims=True)
    return gradient


def wiener_log_probability(value: Any, **parameters: Any) -> TensorVariable:
    """The log-probability of each trial as a PyTensor variable.

    Parameters
    ----------
    value : array_like or TensorVariable
        Signed response times (``rt`` for the upper boundary, ``-rt`` for the lower one).
    **parameters
        The parameters of :class:`WienerDDM` (``drift_rate`` and ``boundary_separation``
        required), each a number, array or PyTensor variable broadcasting with ``value``.

    Returns
    -------
    TensorVariable
        The log-probability of each trial, in the broadcast shape. Gradients are available with
        respect to every parameter.

    Raises
    ------
    TypeError
        For an unknown or missing parameter.
    """
    unknown = [name for name in parameters if name not in INPUT_DEFAULTS]
    if unknown:
        raise TypeError(f"unknown parameter {unknown[0]!r}")
    inputs = []
    for name, default in INPUT_DEFAULTS.items():
        given = parameters.get(name, default)
        if given is None:
            raise TypeError(f"missing parameter {name!r}")
        inputs.append(as_float64(given))
    log_p = WienerLogProbability().make_node(as_float64(value), *inputs).outputs[0]
    return cast(TensorVariable, log_p)


@register_specialize
@node_rewriter([WienerLogProbability])
def drop_unused_partials(fgraph: Any, node: Apply) -> Any:
    """The same node without the partial derivatives that no other node (or output) uses."""
    return without_unused_partials(fgraph, node, WienerLogProbability)
