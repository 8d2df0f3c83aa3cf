"""Saving, loading and pickling a fitted `UpliftForest`.

A saved model is one file: the engine's model document, with the kit's metadata (feature
names, kinds and category texts, treatment labels, the parameters the forest was grown with,
seed, package version and the metadata's format version) as one JSON value under its
"quillmarsh_kit" key. The native `_UpliftRandomForestModel` reads the same
file and skips that key. A pickle holds the same bytes.

Files of earlier versions of the kit (the model file with the metadata beside it, at
`path` + ".kit.json") still load, and so do their pickles. Metadata is checked as a whole
when read: malformed or incomplete metadata is refused with one `ValueError` that names the
file and every missing or malformed entry.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import json
import math
import numbers
import os
import zlib
from typing import Any, Dict, Hashable, List, Optional, Tuple

from ._native import NativeForest
from ._params import LEGACY, PARAM_NAMES, RUN_PARAMS
from ._tabular import NUMERIC, STRING
from ._version import __version__

SIDECAR_SUFFIX = ".kit.json"
_FORMAT = "quillmarsh_kit.UpliftForest"
# The generation of the metadata's layout and meaning, raised whenever a reader of the
# previous generation would misread a new file. 1: files without "format_version" (their
# "params" are the estimator's at save time); 2: "params" are those the forest was grown with,
# and the control label is none of the arms.
FORMAT_VERSION = 2
# Parameters a file must hold: those declared after the first files (random_state, the tree
# options) take the value that describes how the models of files without them were grown.
_REQUIRED_PARAMS = [p for p in PARAM_NAMES if p not in RUN_PARAMS and p not in LEGACY]
_LEGACY_PARAMS = {k: v for k, v in LEGACY.items() if k in PARAM_NAMES}


@dataclasses.dataclass
class FittedModel:
    """What one `fit` learns: the engine's forest and how the kit's inputs map onto it."""

    forest: NativeForest
    feature_names: List[str]
    feature_kinds: List[str]
    # per feature: the texts of a string feature seen in training; None for a numeric one
    # (and for every feature of a model saved before they were kept)
    feature_categories: List[Optional[List[str]]]
    named: bool  # trained on named columns: predict matches columns by name
    target_cols: List[str]  # columns of X that held the targets, ignored by predict
    treatments: List[Hashable]
    seed: Optional[int]  # the engine's seed; None for a model saved before seeds
    # the parameters the trees were grown with, without those that only say how to run
    # (`RUN_PARAMS`, which files of earlier kits kept); random_state as stored (int or None)
    params: Dict[str, Any] = dataclasses.field(default_factory=dict)
    # the tree counts of the consecutive parts of a forest merged from forests grown apart
    # in groups (a Dask fit's shares), whose interval variances add; None: one forest
    shares: Optional[List[int]] = None

    @property
    def control(self) -> Hashable:
        """The label of the control group the forest was grown against."""
        return self.params["control"]

    @property
    def ci_group_size(self) -> Any:
        """Trees grown in groups of this many (little bags); 1: no groups."""
        return self.params.get("ci_group_size", 1)


def grown_with(params: Dict[str, Any]) -> Dict[str, Any]:
    """The fitted state's parameters from an estimator's `get_params()` at fit: the ones that
    shape the trees (run parameters and an estimator's own extras left out), random_state as
    a file stores it."""
    kept = {k: params[k] for k in PARAM_NAMES if k in params and k not in RUN_PARAMS}
    kept["random_state"] = _stored_random_state(kept.get("random_state"))
    return kept


def _encode_label(label: Any) -> Any:
    if label is None or isinstance(label, (bool, str)):
        return label
    if isinstance(label, numbers.Integral):
        return int(label)
    if isinstance(label, numbers.Real) and math.isfinite(float(label)):
        return float(label)
    if isinstance(label, tuple):
        return {"tuple": [_encode_label(x) for x in label]}
    raise ValueError(
        f"treatment label {label!r} of type {type(label).__name__} cannot be saved; use str, "
        "int, float, bool or tuple labels"
    )


def _decode_label(value: Any) -> Any:
    if isinstance(value, dict):
        items = value.get("tuple")
        if len(value) != 1 or not isinstance(items, list):
            raise TypeError("a label object must be {\"tuple\": [...]}")
        return tuple(_decode_label(x) for x in items)
    if isinstance(value, list):
        raise TypeError("a label cannot be a list")
    return value


def _stored_random_state(value: Any) -> Optional[int]:
    """An int random_state as it is; a Generator or None (which have no text) as None: the
    seed they gave is stored beside the parameters."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    return None


def metadata_text(fitted: FittedModel) -> str:
    """The kit's metadata as one compact JSON text (without NaN or infinities, which JSON
    lacks), with the parameters the forest was grown with. `n_jobs` and `verbose` say how to
    run, not what was learned, and are left out, so that the same seed gives the same file
    whatever they were."""
    params = grown_with(fitted.params)
    params["control"] = _encode_label(params["control"])
    meta = {
        "format": _FORMAT,
        "format_version": FORMAT_VERSION,
        "version": __version__,
        "params": params,
        "seed": fitted.seed,
        "feature_names": list(fitted.feature_names),
        "feature_kinds": list(fitted.feature_kinds),
        "feature_categories": list(fitted.feature_categories),
        "named": fitted.named,
        "target_cols": list(fitted.target_cols),
        "treatments": [_encode_label(a) for a in fitted.treatments],
    }
    if fitted.shares is not None:
        meta["share_trees"] = [int(n) for n in fitted.shares]
    stats = fitted.forest.node_stats()
    if stats is not None:
        meta["node_stats"] = base64.b64encode(zlib.compress(stats, 6)).decode("ascii")
    try:
        return json.dumps(meta, allow_nan=False, ensure_ascii=False, separators=(",", ":"))
    except (TypeError, ValueError) as err:
        raise ValueError(f"the model's parameters cannot be saved: {err}") from None


def _is_str_list(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _categories_problem(meta: Dict[str, Any], kinds: List[str]) -> Optional[str]:
    """What is wrong with the optional "feature_categories" entry, if anything."""
    categories = meta.get("feature_categories")
    if categories is None:
        return None
    fits = isinstance(categories, list) and len(categories) == len(kinds) and all(
        c is None or (kind == STRING and _is_str_list(c)) for c, kind in zip(categories, kinds))
    if fits:
        return None
    return "'feature_categories' must hold a list of texts per string feature, null otherwise"


def _check_format_version(generation: Any, version: Any, where: str) -> None:
    """Refuses metadata of a generation this kit cannot read, before anything else is read
    from it."""
    if isinstance(generation, bool) or not isinstance(generation, int) or generation < 1:
        raise ValueError(
            f"{where}: model metadata is malformed: 'format_version' must be a positive "
            f"integer, got {generation!r}")
    if generation > FORMAT_VERSION:
        raise ValueError(
            f"{where} holds model metadata of format version {generation}, written by "
            f"quillmarsh_kit {version}; this quillmarsh_kit ({__version__}) reads format "
            f"versions up to {FORMAT_VERSION}: upgrade quillmarsh_kit to load it")


def _check_complete(meta: Any, where: str) -> None:
    """Refuses what is not the kit's metadata, of a newer format version, or incomplete."""
    if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
        raise ValueError(
            f"{where} is not quillmarsh_kit model metadata (it lacks \"format\": \"{_FORMAT}\")"
        )
    _check_format_version(meta.get("format_version", 1), meta.get("version"), where)
    required = ("params", "feature_names", "feature_kinds", "named", "target_cols", "treatments")
    missing = [key for key in required if key not in meta]
    params = meta.get("params")
    if isinstance(params, dict):
        missing += [f"params.{name}" for name in _REQUIRED_PARAMS if name not in params]
    if missing:
        raise ValueError(
            f"{where}: model metadata is incomplete: missing {', '.join(map(repr, missing))}"
        )


def _feature_problems(meta: Dict[str, Any], params: Any) -> List[str]:
    """What is wrong with the parameters, features, targets and seed of complete metadata."""
    problems = []
    names, kinds = meta["feature_names"], meta["feature_kinds"]
    if not isinstance(params, dict):
        problems.append("'params' must be an object")
    elif set(params) - set(PARAM_NAMES):
        problems.append(f"'params' has unknown parameters {sorted(set(params) - set(PARAM_NAMES))}")
    if not names or not _is_str_list(names):
        problems.append("'feature_names' must be a non-empty list of strings")
    elif not isinstance(kinds, list) or len(kinds) != len(names) or not all(
            k in (NUMERIC, STRING) for k in kinds):
        problems.append(f"'feature_kinds' must hold {NUMERIC!r} or {STRING!r} per feature name")
    else:
        problem = _categories_problem(meta, kinds)
        if problem:
            problems.append(problem)
    if not isinstance(meta["named"], bool):
        problems.append("'named' must be true or false")
    if not _is_str_list(meta["target_cols"]):
        problems.append("'target_cols' must be a list of strings")
    seed = meta.get("seed")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, int)
                             or not 0 <= seed < 2**64):
        problems.append("'seed' must be an integer in [0, 2**64 - 1] or null")
    random_state = params.get("random_state") if isinstance(params, dict) else None
    if random_state is not None and (isinstance(random_state, bool)
                                     or not isinstance(random_state, int)):
        problems.append("'params.random_state' must be an integer or null")
    return problems


def _read_labels(meta: Dict[str, Any], params: Dict[str, Any]
                 ) -> Tuple[List[Any], Dict[str, Any], List[str]]:
    """The arms and the parameters with their control label decoded, and what is wrong with
    them."""
    treatments: List[Any] = meta["treatments"]
    if not isinstance(treatments, list) or not treatments:
        return treatments, params, ["'treatments' must be a non-empty list of labels"]
    try:
        treatments = [_decode_label(a) for a in treatments]
        params = {**params, "control": _decode_label(params.get("control"))}
    except TypeError as err:
        return treatments, params, [f"a treatment label is malformed: {err}"]
    return treatments, params, _control_problem(params["control"], treatments)


def _read_metadata(meta: Any, where: str) -> Dict[str, Any]:
    """Checks metadata read from `where`. Returns the fields of `FittedModel` but the forest
    (parameters declared after the metadata was written take their `LEGACY` values); or
    raises one ValueError that lists everything missing or malformed."""
    _check_complete(meta, where)
    params = meta["params"]
    problems = _feature_problems(meta, params)
    treatments, params, label_problems = _read_labels(
        meta, params if isinstance(params, dict) else {})
    problems += label_problems
    if problems:
        raise ValueError(f"{where}: model metadata is malformed: {'; '.join(problems)}")
    names = meta["feature_names"]
    categories = meta.get("feature_categories") or [None] * len(names)
    return dict(feature_names=names, feature_kinds=meta["feature_kinds"],
                feature_categories=categories, named=meta["named"],
                target_cols=meta["target_cols"], treatments=treatments, seed=meta.get("seed"),
                params=_in_order({**_LEGACY_PARAMS, **params}), shares=meta.get("share_trees"))


def _in_order(params: Dict[str, Any]) -> Dict[str, Any]:
    """Parameters in the estimator's order. Files of earlier kits also kept n_jobs and
    verbose; a model loaded from them keeps those too."""
    return {k: params[k] for k in PARAM_NAMES if k in params}


def _control_problem(control: Hashable, treatments: List[Hashable]) -> List[str]:
    """A control label that is also an arm cannot describe a trained forest."""
    if any(control == arm for arm in treatments):
        return [f"the control label {control!r} is also one of its arms {treatments!r}"]
    return []


def _with_node_stats(forest: NativeForest, meta: Any, where: str) -> NativeForest:
    """`forest` with the node statistics kept in `meta` (as it is without them)."""
    text = meta.get("node_stats") if isinstance(meta, dict) else None
    if text is None:
        return forest
    try:
        data = zlib.decompress(base64.b64decode(text, validate=True))
        return forest.with_node_stats(data)
    except (TypeError, ValueError, binascii.Error, zlib.error) as err:
        raise ValueError(f"{where}: model metadata is malformed: 'node_stats': {err}") from None


def _fitted(forest: NativeForest, fields: Dict[str, Any], where: str) -> FittedModel:
    fitted = FittedModel(forest=forest, **fields)
    stored = forest.feature_names
    if stored != fitted.feature_names:
        raise ValueError(
            f"{where} does not describe its model: the metadata names the features "
            f"{fitted.feature_names}, the model {stored}"
        )
    if forest.n_outputs != len(fitted.treatments):
        raise ValueError(
            f"{where} does not describe its model: the metadata names "
            f"{len(fitted.treatments)} treatments, the model predicts {forest.n_outputs}"
        )
    problem = _shares_problem(fitted.shares, forest.n_trees, fitted.ci_group_size)
    if problem:
        raise ValueError(f"{where}: model metadata is malformed: {problem}")
    return fitted


def _shares_problem(shares: Any, n_trees: int, group_size: Any) -> Optional[str]:
    """What is wrong with "share_trees" (the tree counts of a merged forest's parts), if
    anything: they must be whole groups that together are every tree."""
    if shares is None:
        return None
    fits = (isinstance(shares, list) and shares and isinstance(group_size, int)
            and all(isinstance(n, int) and not isinstance(n, bool) and n > 0
                    and n % group_size == 0 for n in shares)
            and sum(shares) == n_trees)
    if fits:
        return None
    return (f"'share_trees' must list positive multiples of ci_group_size ({group_size!r}) "
            f"that sum to the {n_trees} trees, got {shares!r}")


def _parse(text: str, where: str) -> Any:
    try:
        return json.loads(text)
    except ValueError as err:
        raise ValueError(f"{where} is not valid JSON: {err}") from None


def save(path: str, fitted: FittedModel) -> None:
    fitted.forest.save(path, metadata_text(fitted))


def _legacy_metadata(path: str) -> Tuple[Any, str]:
    """The metadata an earlier kit wrote beside the model file, and where it was."""
    sidecar = path + SIDECAR_SUFFIX
    try:
        with open(sidecar, encoding="utf-8") as src:
            text = src.read()
    except FileNotFoundError:
        raise ValueError(
            f"{path} holds no quillmarsh_kit metadata, and {sidecar}, where earlier versions "
            "kept it, is not there: it is a model of the native class alone"
        ) from None
    except UnicodeDecodeError as err:
        raise ValueError(f"{sidecar} is not valid JSON: {err}") from None
    return _parse(text, sidecar), sidecar


def load(path: str) -> FittedModel:
    """The fitted model saved at `path` by `save`, or by an earlier kit."""
    if not os.path.exists(path):
        raise FileNotFoundError(f"model file {path} not found")
    forest, text = NativeForest.load(path)
    if text is None:
        meta, where = _legacy_metadata(path)
    else:
        meta, where = _parse(text, f"the metadata in {path}"), path
    fields = _read_metadata(meta, where)
    return _fitted(_with_node_stats(forest, meta, where), fields, where)


def pickle_state(fitted: FittedModel) -> Dict[str, Any]:
    return {"_model_bytes": fitted.forest.to_bytes(metadata_text(fitted))}


def from_pickle_state(model_bytes: bytes, legacy_meta: Any) -> FittedModel:
    """The model of a pickle; `legacy_meta` is the metadata that pickles of earlier versions
    kept beside the model bytes."""
    forest, text = NativeForest.from_bytes(model_bytes)
    meta = legacy_meta if text is None else _parse(text, "the pickled model's metadata")
    fields = _read_metadata(meta, "the pickled model")
    forest = _with_node_stats(forest, meta, "the pickled model")
    return _fitted(forest, fields, "the pickled model")
