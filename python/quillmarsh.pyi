"""Type stub of the native module `quillmarsh` (a CPython extension)."""

from typing import Dict, List, Sequence, Union

__all__: List[str]

_Cell = Union[float, int, bool, str]

class _UpliftRandomForestModel:
    """An uplift random forest: control group 0, treatment groups 1..K, binary outcome.

    Internal failures raise `PanicException` (module "vornex_runtime"), which derives from
    BaseException, not Exception.
    """

    def __new__(
        cls,
        n_estimators: int,
        max_features: int,
        max_depth: int,
        min_sample_leaf: int,
        eval_func: str,
        max_bins: int,
        balance: bool,
        regularization: bool,
        alpha: float,
    ) -> "_UpliftRandomForestModel": ...
    def load(self, path: str) -> None:
        """Replaces the whole model with the one in the JSON model file at `path`."""
    def fit(
        self,
        data: Dict[str, list],
        x_names: Sequence[str],
        treatment_col: str,
        outcome_col: str,
        n_threads: int,
    ) -> None:
        """Grows n_estimators trees and APPENDS them to the model; prints progress lines on
        sys.stdout. Feature lists are all numeric or all str; treatment ints 0..K (0 =
        control); outcome ints 0/1. A negative n_threads means every logical processor."""
    def predict(self, data: Sequence[List[_Cell]], n_threads: int) -> List[List[float]]:
        """One list of K uplifts per row (cells in feature_cols() order): the sum over the
        trees divided by n_estimators."""
    def predict_row(self, x: List[_Cell]) -> List[float]:
        """The K uplifts of one row."""
    def save(self, path: str) -> None:
        """Writes the model as one compact JSON document."""
    def feature_cols(self) -> List[str]:
        """The feature names of the trained model, in training order."""
    def get_feature_importance(self, importance_type: str) -> List[float]:
        """Per feature: summed split gains ("gain") or split counts (any other text), summed
        over the trees and divided by n_estimators."""
