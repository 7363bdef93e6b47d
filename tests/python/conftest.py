import os
import sys

from hypothesis import HealthCheck, settings

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
if os.path.join(REPO, "python") not in sys.path:
    sys.path.insert(0, os.path.join(REPO, "python"))
sys.path.insert(0, HERE)

settings.register_profile("korvex", max_examples=40, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("thorough", max_examples=400, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("KORVEX_HYPOTHESIS_PROFILE", "korvex"))
