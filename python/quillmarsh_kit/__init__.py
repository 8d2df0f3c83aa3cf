"""quillmarsh_kit: estimator, metrics, plots, data sets and a command line around the native
uplift random forest of the `quillmarsh` module.

    from quillmarsh_kit import UpliftForest
    model = UpliftForest(n_estimators=100, control="No E-Mail").fit(X, treatment, y)
    uplift = model.predict(X_new)          # one column per treatment arm, model.treatments_
"""

from ._export import export_text
from ._native import NativeError
from ._report import report
from ._version import __version__
from .estimator import NotFittedError, UpliftForest, uplift_target

__all__ = ["NativeError", "NotFittedError", "UpliftForest", "__version__", "export_text",
           "report", "uplift_target"]
