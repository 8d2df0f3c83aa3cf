"""`UpliftForest`: the native uplift random forest behind a scikit-learn style estimator.

The parts live beside it: hyper-parameters in `_params`, table conversion in `_tabular` and
`_encode`, every call into the engine in `_native`, saving, loading and pickling in
`_persist`, the progress bar in `_progress`.
"""

from __future__ import annotations

import os
import warnings
from typing import Any, Dict, Optional, Tuple, Union

import numpy as np

from . import _decisions, _persist
from ._native import NativeForest
from ._params import ForestParams
from ._progress import training_progress
from ._tabular import Table, align, to_table, to_vector, training_data
from ._target import pack_target, split_target

PathLike = Union[str, "os.PathLike[str]"]


def uplift_target(treatment: Any, y: Any) -> np.ndarray:
    """Packs treatment labels and outcomes into one (n, 2) object array.

    scikit-learn's model-selection tools pass one target array around; with this pair as the
    target, `UpliftForest.fit(X, target)` and the scorers of `quillmarsh_kit.metrics` both
    recover the treatment and the outcome of exactly the rows they were given:

        cross_validate(UpliftForest(), X, uplift_target(t, y), scoring=make_uplift_scorer())
    """
    return pack_target(to_vector(treatment, "treatment")[0], to_vector(y, "y")[0])


class NotFittedError(ValueError, AttributeError):
    """The estimator was used before `fit` (also an AttributeError, like scikit-learn's)."""


def normalised_importance(values: np.ndarray) -> Tuple[np.ndarray, int]:
    """`values` scaled to sum to 1, and how many of them were infinite.

    Infinite values share the whole importance equally and every finite value gets 0: the
    limit of dividing by the total as those values grow without bound, so an infinite gain
    ranks above every finite one. Without a positive total the values come back unchanged
    (all zeros when nothing was split).
    """
    infinite = np.isposinf(values)
    n_infinite = int(infinite.sum())
    if n_infinite:
        return infinite / float(n_infinite), n_infinite
    total = values.sum()
    return (values / total if total > 0 else values), 0


class UpliftForest(ForestParams):
    """Uplift random forest for a binary outcome and one or more treatment arms.

    Parameters
    ----------
    n_estimators: trees grown by one `fit`.
    max_features: features tried at each node: an int, a fraction in (0, 1] of the features,
        "sqrt", "log2" or None (every feature). Never more than the number of features.
    max_depth: depth limit of every tree (0 gives a single leaf). Each tree stores
        2^(max_depth+1) - 1 nodes, so memory grows quickly beyond 15 or so.
    min_samples_leaf: a split is made only when both children get MORE than this many rows.
    criterion: divergence between treated and control outcome rates: "KL" (Kullback-Leibler),
        "ED" (squared Euclidean distance) or "CHI" (chi-squared); case does not matter.
    max_bins: candidate thresholds per feature and node are the quantiles at 1/max_bins,
        2/max_bins, ... of a sample of at most 500 * max_bins rows; at least 2.
    balance_arms: with several arms, weigh every arm equally in the divergence (True) or by
        its number of rows (False).
    normalize_gain: divide each split's gain by a normaliser that penalises unbalanced splits.
    alpha: weight within that normaliser, used only with normalize_gain.
    n_jobs: threads for training and prediction; -1 or None: every logical processor this
        process may use, -2: all but one, and so on. No call starts more threads than it can
        keep busy: n_estimators * max_features for training, one per block of 256 rows for
        prediction. It changes how fast, never what is learned.
    control: the treatment label of the control group. The other labels become the arms, in
        sorted order: column k of `predict` is the uplift of `treatments_[k]`.
    verbose: show a progress bar over the trees while training (tqdm when installed,
        otherwise one line per tenth of the trees, on standard error).
    random_state: the seed of training. An int gives the engine the seed
        random_state % 2**64 (so -1 is 2**64 - 1); a numpy Generator or RandomState gives
        one seed drawn from it at each fit; None (default) a seed from the operating system.
        The same seed and data give the same forest, byte for byte in its saved file, for
        every n_jobs.
    max_samples: rows each tree grows from, drawn from the tree's own seeded stream: None
        (every row; with bootstrap as many draws as rows), a float in (0, 1] (that share of
        the rows) or an int (that many rows). Training time falls roughly in proportion.
    bootstrap: draw each tree's rows with replacement (True) or without (False).
    honest: honest trees (default True): each tree's rows are divided at random within each
        group (a row drawn twice stays on one side); one part chooses the splits, the other,
        honest_fraction of the distinct rows, sets the outcome rates of the leaves. Where a
        leaf has no estimation row of a group (control or an arm), it takes that group's
        rate from its nearest ancestor that has some, and where none has, from the tree's
        split rows. False: every row of a tree does both, as before.
    honest_fraction: the share of each tree's distinct rows that sets the leaf rates, in
        (0, 1) (default 0.3); used only with honest.
    min_samples_treatment: a split is made only when both children get MORE than this many
        rows of every group (the control group and each arm), on top of min_samples_leaf;
        None: no such minimum.
    ci_group_size: grow the trees in groups of this many (default 1: no groups): each group
        draws half of the rows without replacement within each group of the experiment and
        each tree of the group its own sample from that half. 2 or more enables confidence
        intervals (`predict(..., return_interval=True)`); n_estimators must be a multiple of
        it, and bootstrap=True is refused with it.

    Attributes after `fit`
    ----------------------
    control_: the label of the control group the forest was grown against (`control` at the
        last fit; `set_params` changes `control` for the next fit, never `control_`).
    treatments_: the arm labels, in the order of the columns of `predict`.
    feature_names_: the feature names, in training order (x0, x1, ... for inputs without
        column names).
    feature_kinds_: per feature, "numeric" or "string".
    feature_categories_: per feature, the sorted texts of a string feature seen in training,
        None for a numeric feature.
    seed_: the engine's seed of this forest, in [0, 2**64 - 1]: `random_state=seed_`
        trains it again.
    n_features_in_: the number of features.
    feature_names_in_: the column names as a numpy array (only for inputs with column names).
    feature_importances_: gain importance per feature, summing to 1 (see
        `get_feature_importance` for splits of infinite gain).
    oob_prediction_, oob_score_: out-of-bag uplift per training row and Qini per arm, when the
        trees draw samples (max_samples, bootstrap=True or ci_group_size >= 2).
    """

    def __sklearn_tags__(self) -> Any:
        from sklearn.utils import InputTags, Tags, TargetTags

        # Without a seed, training draws one from the operating system: no two fits are equal.
        return Tags(
            estimator_type=None,
            target_tags=TargetTags(required=True),
            non_deterministic=self.random_state is None,
            input_tags=InputTags(string=True, categorical=True, dict=True, allow_nan=True),
        )

    # ----------------------------------------------------------------------------- fit
    def fit(self, X: Any, treatment: Any, y: Any = None) -> "UpliftForest":
        """Trains a new forest, replacing any earlier one.

        X: the features (a table, a 2-D array, a dict of columns or a list of rows).
        treatment: one label per row, or the name of a column of X holding them; or, with y
            omitted, a target made by `uplift_target(treatment, y)`.
        y: the binary outcome per row (0/1 or booleans), or the name of a column of X.

        Training runs with the interpreter free for other threads. On any exception (Ctrl-C's
        KeyboardInterrupt included) the estimator is left exactly as it was.
        """
        if y is None:
            treatment, y = split_target(treatment)
        data = training_data(X, treatment, y, self.control)
        table = data.table
        settings = self._engine_settings(len(table.columns))
        threads = settings.training_threads(self._requested_threads())
        seed, advance_generator = self._seed()
        with training_progress(settings.n_estimators, threads, bool(self.verbose)) as progress:
            forest, oob = NativeForest.train_with_oob(settings, table, data.groups, data.outcome,
                                                      threads, seed, progress)
        fitted = _persist.FittedModel(
            forest=forest, feature_names=table.names, feature_kinds=table.kinds,
            feature_categories=[c.categories for c in table.columns], named=table.named,
            target_cols=data.target_cols, treatments=data.arms, seed=seed,
            params=_persist.grown_with(self.get_params()))
        oob_state = _decisions.out_of_bag_state(oob, data.groups, data.outcome)
        self._adopt(fitted)
        self.__dict__.update(oob_state)
        advance_generator()
        return self

    def _adopt(self, fitted: _persist.FittedModel) -> None:
        """Makes `fitted` this estimator's model and sets the fitted attributes, in one step:
        an interrupt lands before or after it, never halfway."""
        state = dict(self.__dict__)
        state.update(
            _fitted=fitted,
            control_=fitted.control,
            treatments_=list(fitted.treatments),
            feature_names_=list(fitted.feature_names),
            feature_kinds_=list(fitted.feature_kinds),
            feature_categories_=[None if c is None else list(c)
                                 for c in fitted.feature_categories],
            n_features_in_=len(fitted.feature_names),
        )
        if fitted.named:
            state["feature_names_in_"] = np.asarray(fitted.feature_names, dtype=object)
        else:
            state.pop("feature_names_in_", None)
        for name in _decisions.OOB_STATE:  # out-of-bag figures belong to one fit
            state.pop(name, None)
        if fitted.seed is not None:
            state["seed_"] = fitted.seed
        else:
            state.pop("seed_", None)  # a model saved before seeds
        self.__dict__ = state

    def _check_fitted(self) -> _persist.FittedModel:
        fitted: Optional[_persist.FittedModel] = getattr(self, "_fitted", None)
        if fitted is None:
            raise NotFittedError(
                "this UpliftForest is not fitted yet; call fit(X, treatment, y) first"
            )
        return fitted

    # ------------------------------------------------------------------------- predict
    def predict(self, X: Any, return_std: bool = False, return_interval: bool = False,
                level: float = 0.95) -> Union[np.ndarray, Tuple[np.ndarray, ...]]:
        """Estimated uplift per row and arm: an array of shape (rows, len(treatments_)).

        Column k is the outcome rate under arm `treatments_[k]` minus the rate under control.

        With return_std, also the standard deviation of each arm's uplift across the trees
        (population form, over every tree), per row: how much the trees disagree, a measure
        of spread, not a confidence interval, for the trees share their training rows.
        Returns (uplift, std) then, of the same shape.

        With return_interval, a confidence interval at `level` (in (0, 1)) for each uplift,
        by the bootstrap of little bags: the forest must be grown with ci_group_size >= 2
        (see the guide for the method and what it covers). Returns (uplift, lower, upper),
        each of the same shape (and std after them when return_std is also set).
        """
        fitted = self._check_fitted()
        if not isinstance(return_std, (bool, np.bool_)):
            raise ValueError(f"return_std must be True or False, got {return_std!r}")
        if not isinstance(return_interval, (bool, np.bool_)):
            raise ValueError(f"return_interval must be True or False, got {return_interval!r}")
        table = self._prediction_table(fitted, X)
        if not return_interval:
            return fitted.forest.predict(table, self._requested_threads(), bool(return_std))
        z = _decisions.normal_quantile(level)
        group_size = _decisions.check_grouped(fitted)
        uplift, _, _, variance = fitted.forest.predict_spread(
            table, self._requested_threads(), group_size, fitted.shares)
        half = z * np.sqrt(variance)
        result: Tuple[np.ndarray, ...] = (uplift, uplift - half, uplift + half)
        if return_std:
            result += (fitted.forest.predict(table, self._requested_threads(), True)[1],)
        return result

    def _prediction_table(self, fitted: _persist.FittedModel, X: Any) -> Table:
        targets = [c for c in fitted.target_cols if c not in fitted.feature_names]
        return align(to_table(X, skip=targets), fitted.feature_names, fitted.feature_kinds,
                     by_name=fitted.named)

    def predict_rates(self, X: Any) -> np.ndarray:
        """Each group's outcome rate per row: an array (rows, 1 + len(treatments_)), column 0
        the control group, column k + 1 the arm `treatments_[k]`.

        Each tree gives the rates of the leaf a row reaches, from the rows of each group that
        reached that leaf in training (the estimation rows of honest trees); an honest leaf
        without rows of a group takes that group's rate from its nearest ancestor that has
        some, exactly as its uplift does. The forest averages the trees, so
        `rates[:, k + 1] - rates[:, 0]` equals `predict(X)[:, k]` up to rounding (about 1e-16);
        where a tree grown without honesty has a leaf without rows of a group, that group's
        rate (and the uplift) is NaN. Models saved before the node statistics were kept
        cannot give rates (ValueError).
        """
        fitted = self._check_fitted()
        _decisions.check_node_stats(fitted)
        return fitted.forest.predict_rates(self._prediction_table(fitted, X),
                                           self._requested_threads())

    def recommend(self, X: Any, value: float = 1.0, costs: Optional[Dict[Any, float]] = None,
                  cautious: bool = False, level: float = 0.95) -> np.ndarray:
        """The group to give each row: an array of labels (the control label or an arm).

        Each arm is worth value x uplift - costs[arm] per row (costs default to 0, arms not
        in costs cost 0) and control is worth 0; the row gets the group of the largest worth
        (the earlier group on ties, control first). With cautious, an arm counts only where
        value x lower - cost > 0 as well, lower the interval's lower end at `level` (needs
        ci_group_size >= 2): only an uplift that is clearly worth its cost is acted on.
        """
        fitted = self._check_fitted()
        if cautious:
            uplift, lower, _ = self.predict(X, return_interval=True, level=level)
        else:
            uplift, lower = self.predict(X), None
        return _decisions.recommend(uplift, lower, fitted.treatments, self.control, value, costs)

    @property
    def oob_prediction_(self) -> np.ndarray:
        """Each training row's uplift (rows, arms) from the trees that never saw it, neither to
        split nor to estimate; NaN for a row every tree held. Present after a fit whose trees
        draw samples (max_samples, bootstrap=True or ci_group_size >= 2)."""
        return _decisions.oob_attribute(self, "_oob_prediction", "oob_prediction_")

    @property
    def oob_score_(self) -> Dict[Any, float]:
        """The out-of-bag Qini coefficient of each arm ({arm: score}) on the training rows
        that some tree did not see; present when oob_prediction_ is."""
        scores = _decisions.oob_attribute(self, "_oob_scores", "oob_score_")
        return dict(zip(self._check_fitted().treatments, scores))

    # ------------------------------------------------------------------------- explain
    def explain(self, X: Any, reference: Optional[Tuple[Any, Any, Any]] = None
                ) -> Tuple[np.ndarray, np.ndarray]:
        """Per-row contributions of every feature to every arm's predicted uplift.

        Returns (contributions, base_value): contributions of shape (rows, features, arms),
        features in `feature_names_` order and arms in `treatments_` order, and base_value of
        length arms, such that contributions.sum(axis=1) + base_value equals `predict(X)`
        (to rounding). These are the exact Shapley values of path-dependent TreeSHAP over the
        forest's own trees (thresholds, missing values going right, category equality): a
        feature left out of a coalition follows both branches of its splits, weighted by the
        rows that reached each child while the tree grew (for honest trees its estimation
        rows, of every group). base_value is the forest's uplift averaged that way.

        A model saved before node statistics were kept has no such rows: pass
        reference=(X_ref, treatment, y), labelled rows (the training rows, say) whose counts
        at each node stand in for them; without it such a model is refused. Runs on n_jobs
        threads with the interpreter free; Ctrl-C stops it.
        """
        from ._explain import explain

        return explain(self, X, reference)

    # ------------------------------------------------------------------------ segments
    def segments(self, X: Any, treatment: Any, y: Any, max_depth: int = 3,
                 min_rows: Optional[int] = None, random_state: Any = 0) -> Any:
        """Readable segments of labelled rows: a pandas DataFrame, one row per segment.

        One shallow uplift tree (this forest's criterion and settings, every feature at every
        node) grows on half the rows of each group; the other half, which the tree never saw,
        measures each segment. Columns: `rule` (e.g. "recency <= 4 and channel = Web"; a
        numeric feature with missing values says where they go), `rows` (of the given rows),
        and per arm `uplift[<arm>]` with its 95 % normal interval `lower[<arm>]`,
        `upper[<arm>]` (treated minus control rate observed on the measuring half) and
        `predicted[<arm>]` (this forest's mean prediction over the segment's rows). Sorted by
        the first arm's observed uplift, highest first. `frame.attrs["measured"]` marks the
        measuring rows.

        max_depth: depth of the tree, in [0, 8] (at most 2**max_depth segments).
        min_rows: a split is made only when both sides keep more than min_rows / 2 growing
            rows; None: 5 % of the rows, at least 100.
        random_state: the seed of the division and of the tree.
        """
        from ._segments import segments

        return segments(self, X, treatment, y, max_depth, min_rows, random_state)

    # ---------------------------------------------------------------------- importance
    def get_feature_importance(
        self, importance_type: str = "gain", normalize: bool = False
    ) -> np.ndarray:
        """Per feature, in training order: the mean over trees of the summed split gains
        ("gain") or of the number of splits ("split").

        With normalize, the figures are scaled to sum to 1. Under "KL" and "CHI", a node whose
        control outcome rate is exactly 0 or 1 can give a split of infinite gain, and the
        total gain of the features split there is infinite. Those m features then share the
        importance equally (1/m each), every other feature gets 0, and a RuntimeWarning says
        so; the raw figures (normalize=False) keep the infinite gains.
        """
        return self._importance(importance_type, normalize)

    def _importance(self, importance_type: str, normalize: bool) -> np.ndarray:
        fitted = self._check_fitted()
        if importance_type not in ("gain", "split"):
            raise ValueError(f"importance_type must be 'gain' or 'split', got {importance_type!r}")
        values = fitted.forest.feature_importance(importance_type)
        if not normalize:
            return values
        values, n_infinite = normalised_importance(values)
        if n_infinite:
            warnings.warn(
                f"{n_infinite} of {len(values)} features have an infinite total gain: splits of "
                "infinite gain, from a node whose control outcome rate is exactly 0 or 1 under "
                "KL/CHI; those features share the importance equally and the others get 0",
                RuntimeWarning, stacklevel=3)  # the caller of the public method or property
        return values

    @property
    def feature_importances_(self) -> np.ndarray:
        """Gain importance per feature, normalised to sum to 1: all zeros without splits, and
        shared equally by the features of infinite gain when there are any (see
        `get_feature_importance`)."""
        return self._importance("gain", normalize=True)

    def to_onnx(self) -> Any:
        """The model as an `onnx.ModelProto` (needs the onnx package): one input per feature,
        named as the feature, shape [N, 1] (float, or string for a string feature), and the
        output "uplift" of shape [N, len(treatments_)], which equals `predict` to within
        2**-23 of each value for float32 inputs. See quillmarsh_kit.onnx_export."""
        from .onnx_export import to_onnx

        return to_onnx(self)

    # --------------------------------------------------------------------- persistence
    def save(self, path: PathLike) -> None:
        """Writes the model to one file at `path`: the engine's model document with the kit's
        metadata inside. The file describes the fitted forest: its parameters are those it was
        grown with, whatever `set_params` changed since. The file is replaced only once it is
        written whole."""
        _persist.save(os.fspath(path), self._check_fitted())

    @classmethod
    def load(cls, path: PathLike) -> "UpliftForest":
        """Reads a model written by `save` (or by an earlier version, with its metadata
        beside it at `path` + ".kit.json"); malformed or incomplete metadata is refused with
        an error that names the file and what is wrong. The estimator's parameters are those
        the forest was grown with (n_jobs and verbose at their defaults)."""
        fitted = _persist.load(os.fspath(path))
        forest = cls(**fitted.params)
        forest._adopt(fitted)
        return forest

    def __getstate__(self) -> Dict[str, Any]:
        """The current parameters as they are, and the fitted model as its model file (which
        holds the fitted state: the parameters it was grown with, control, features)."""
        state = {k: v for k, v in self.__dict__.items() if k not in ("_fitted", "control_")}
        fitted = getattr(self, "_fitted", None)
        if fitted is not None:
            state.update(_persist.pickle_state(fitted))
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        state = dict(state)
        model_bytes = state.pop("_model_bytes", None)
        legacy_meta = state.pop("_meta", None)
        for earlier in ("_model", "_feature_names", "_feature_kinds", "_target_cols"):
            state.pop(earlier, None)  # fields of pickles made before `_fitted` held them
        self._restore_legacy(state)  # pickles made before some parameters existed
        self.__dict__.update(state)
        if model_bytes is not None:
            self._adopt(_persist.from_pickle_state(model_bytes, legacy_meta))
            # a pickle keeps the out-of-bag figures of its fit
            self.__dict__.update({k: state[k] for k in _decisions.OOB_STATE if k in state})
