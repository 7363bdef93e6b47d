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


def pytest_sessionfinish(session, exitstatus):
    """Leave no matrix alive at exit: a batch generator abandoned inside a
    reference cycle keeps its source (and the batch prepared ahead) until a
    collection runs its cleanup, and the leak check at exit would count them."""
    import gc
    import threading
    gc.collect()
    for t in threading.enumerate():
        if t.name == "korvex-batches":
            t.join(timeout=10)
    gc.collect()
