"""One BLAS thread while fits run.

SciPy's L-BFGS-B does its linear algebra through BLAS and LAPACK on matrices of a few dozen
entries. A multi-threaded OpenBLAS wakes its threads even for those, and on a machine whose
cores are busy that costs milliseconds per iteration: a fit of 2,000 trials measured 160 ms
instead of 18 with two BLAS threads on two loaded cores. The limit is process-wide, so
overlapping fits in several threads share one: the first to start sets it, the last to finish
restores the original counts.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Optional

from threadpoolctl import ThreadpoolController

_lock = threading.Lock()
_active = 0
_controller: Optional[ThreadpoolController] = None
_limiter: Any = None


@contextmanager
def single_blas_thread() -> Iterator[None]:
    global _active, _controller, _limiter
    with _lock:
        if _active == 0:
            if _controller is None:
                # Built after SciPy's optimizer has loaded its BLAS, which it then finds.
                _controller = ThreadpoolController()
            _limiter = _controller.limit(limits=1, user_api="blas")
        _active += 1
    try:
        yield
    finally:
        with _lock:
            _active -= 1
            if _active == 0:
                _limiter.restore_original_limits()
                _limiter = None
