"""The priors of the hierarchical model, each chosen to be weakly informative on
the parameter's natural scale (units of the noise, s = 1; times in seconds).

Participant-level parameters are non-centred: participant j's value is the
inverse link of ``mu + sigma * z_j`` with ``z_j ~ Normal(0, 1)``, so ``mu`` and
``sigma`` are the group's location and spread on the link scale.
"""

from __future__ import annotations

import math
from dataclasses import dataclass


@dataclass(frozen=True)
class ParticipantPrior:
    link: str  # "identity", "log", "logit" or "logit_of_bound"
    mu_mean: float
    mu_sd: float
    sigma_scale: float  # sigma ~ HalfNormal(sigma_scale)


PARTICIPANT_PRIORS = {
    # v: a typical participant anywhere in about [-6, 6].
    "drift_rate": ParticipantPrior("identity", 0.0, 3.0, 1.5),
    # a: log-normal, median participant around 1.5, group medians in about [0.45, 5].
    "boundary_separation": ParticipantPrior("log", math.log(1.5), 0.6, 0.5),
    # w: logit-normal, median participant in about [0.24, 0.76].
    "starting_point": ParticipantPrior("logit", 0.0, 0.6, 0.5),
    # t0: a logit-normal fraction of the participant's fastest response (in
    # the cell the parameter is estimated for; the median one with lapses),
    # so t0 stays below it; the median participant's fraction lies in about
    # [0.2, 0.97].
    "non_decision_time": ParticipantPrior("logit_of_bound", 1.0, 1.2, 0.8),
}

# One value for all participants (or per level of depends_on).
DRIFT_RATE_SD_SCALE = 1.5  # sv ~ HalfNormal(1.5)
NON_DECISION_TIME_RANGE_SCALE = 0.2  # st0 ~ HalfNormal(0.2) seconds
# sz ~ Uniform(0, largest): largest is 1 when the starting point is
# estimated (which is then kept inside (sz/2, 1 - sz/2)), else 2 min(w, 1 - w).
CONTAMINATION_PRIOR = (1.0, 19.0)  # p ~ Beta(1, 19): mean 0.05, mostly below 0.15

SHARED = ("drift_rate_sd", "starting_point_range", "non_decision_time_range")
