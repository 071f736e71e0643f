"""Maximum-likelihood fits: the fit and its design (:mod:`~ventrola.ml.fit`), which parameters are
free (:mod:`~ventrola.ml.model_spec`), the optimizer's coordinates (:mod:`~ventrola.ml.coordinates`,
:mod:`~ventrola.ml.transforms`), the starts (:mod:`~ventrola.ml.starts`), the objective
(:mod:`~ventrola.ml.objective`), standard errors (:mod:`~ventrola.ml.information`), the trials'
summary (:mod:`~ventrola.ml.trial_summary`), table designs (:mod:`~ventrola.ml.design_table`) and
BLAS threads (:mod:`~ventrola.ml.blas_threads`). Users call :func:`ventrola.fit_ml` and
:func:`ventrola.fit_frame`.
"""
