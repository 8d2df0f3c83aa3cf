"""Saving, loading and pickling a fitted `UpliftForest`.

A saved model is two files: the native model file at `path`, and the kit's metadata (feature
names and kinds, treatment labels, parameters, version) as JSON at `path` + ".kit.json". A
pickle holds the same metadata and the native file's bytes. Metadata is checked as a whole when
read: a malformed or incomplete file is refused with one `ValueError` that names the file and
every missing or malformed entry.
"""

from __future__ import annotations

import dataclasses
import json
import math
import numbers
import os
from typing import Any, Dict, Hashable, List, Tuple

from ._native import NativeForest
from ._params import PARAM_NAMES
from ._tabular import NUMERIC, STRING
from ._version import __version__

SIDECAR_SUFFIX = ".kit.json"
_FORMAT = "quillmarsh_kit.UpliftForest"


@dataclasses.dataclass
class FittedModel:
    """What one `fit` learns: the native forest and how the kit's inputs map onto it."""

    forest: NativeForest
    feature_names: List[str]
    feature_kinds: List[str]
    named: bool  # trained on named columns: predict matches columns by name
    target_cols: List[str]  # columns of X that held the targets, ignored by predict
    treatments: List[Hashable]


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


def metadata(params: Dict[str, Any], fitted: FittedModel) -> Dict[str, Any]:
    params = dict(params)
    params["control"] = _encode_label(params["control"])
    return {
        "format": _FORMAT,
        "version": __version__,
        "params": params,
        "feature_names": list(fitted.feature_names),
        "feature_kinds": list(fitted.feature_kinds),
        "named": fitted.named,
        "target_cols": list(fitted.target_cols),
        "treatments": [_encode_label(a) for a in fitted.treatments],
        "n_trees": fitted.forest.n_trees,
    }


def _is_str_list(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _read_metadata(meta: Any, where: str) -> Tuple[Dict[str, Any], Dict[str, Any], int]:
    """Checks metadata read from `where`. Returns the parameters, the fields of `FittedModel`
    but the forest, and the number of trees; or raises one ValueError that lists everything
    missing or malformed."""
    if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
        raise ValueError(
            f"{where} is not quillmarsh_kit model metadata (it lacks \"format\": \"{_FORMAT}\")"
        )
    required = ("params", "feature_names", "feature_kinds", "named", "target_cols", "treatments")
    missing = [key for key in required if key not in meta]
    params = meta.get("params")
    if isinstance(params, dict):
        missing += [f"params.{name}" for name in PARAM_NAMES if name not in params]
    if missing:
        raise ValueError(
            f"{where}: model metadata is incomplete: missing {', '.join(map(repr, missing))}"
        )

    problems = []
    names, kinds = meta["feature_names"], meta["feature_kinds"]
    if not isinstance(params, dict):
        problems.append("'params' must be an object")
        params = {}
    elif set(params) - set(PARAM_NAMES):
        problems.append(f"'params' has unknown parameters {sorted(set(params) - set(PARAM_NAMES))}")
    if not names or not _is_str_list(names):
        problems.append("'feature_names' must be a non-empty list of strings")
    elif not isinstance(kinds, list) or len(kinds) != len(names) or not all(
            k in (NUMERIC, STRING) for k in kinds):
        problems.append(f"'feature_kinds' must hold {NUMERIC!r} or {STRING!r} per feature name")
    if not isinstance(meta["named"], bool):
        problems.append("'named' must be true or false")
    if not _is_str_list(meta["target_cols"]):
        problems.append("'target_cols' must be a list of strings")
    n_trees = meta.get("n_trees", params.get("n_estimators"))
    if isinstance(n_trees, bool) or not isinstance(n_trees, int) or n_trees < 1:
        problems.append("'n_trees' must be a positive integer")
    treatments: List[Any] = meta["treatments"]
    if not isinstance(treatments, list) or not treatments:
        problems.append("'treatments' must be a non-empty list of labels")
    else:
        try:
            treatments = [_decode_label(a) for a in treatments]
            params = {**params, "control": _decode_label(params.get("control"))}
        except TypeError as err:
            problems.append(f"a treatment label is malformed: {err}")
    if problems:
        raise ValueError(f"{where}: model metadata is malformed: {'; '.join(problems)}")
    fields = dict(feature_names=names, feature_kinds=kinds, named=meta["named"],
                  target_cols=meta["target_cols"], treatments=treatments)
    return params, fields, n_trees


def _fitted(forest: NativeForest, fields: Dict[str, Any], where: str) -> FittedModel:
    fitted = FittedModel(forest=forest, **fields)
    stored = forest.feature_names()
    if stored != fitted.feature_names:
        raise ValueError(
            f"{where} does not describe its model file: the metadata names the features "
            f"{fitted.feature_names}, the model file {stored}"
        )
    return fitted


def save(path: str, params: Dict[str, Any], fitted: FittedModel) -> None:
    meta = metadata(params, fitted)  # first, so that an unsaveable label writes nothing
    fitted.forest.save(path)
    with open(path + SIDECAR_SUFFIX, "w", encoding="utf-8") as out:
        json.dump(meta, out, indent=1)


def load(path: str) -> Tuple[Dict[str, Any], FittedModel]:
    """The parameters and the fitted model saved at `path` by `save`."""
    sidecar = path + SIDECAR_SUFFIX
    try:
        with open(sidecar, encoding="utf-8") as src:
            meta = json.load(src)
    except FileNotFoundError:
        raise FileNotFoundError(
            f"{sidecar} not found: a model saved by UpliftForest.save has its metadata there"
        ) from None
    except (ValueError, UnicodeDecodeError) as err:
        raise ValueError(f"{sidecar} is not valid JSON: {err}") from None
    params, fields, n_trees = _read_metadata(meta, sidecar)
    if not os.path.exists(path):
        raise FileNotFoundError(f"model file {path} not found")
    return params, _fitted(NativeForest.load(path, n_trees), fields, sidecar)


def pickle_state(params: Dict[str, Any], fitted: FittedModel) -> Dict[str, Any]:
    return {"_meta": metadata(params, fitted), "_model_bytes": fitted.forest.to_bytes()}


def from_pickle_state(meta: Dict[str, Any], model_bytes: bytes) -> FittedModel:
    _, fields, n_trees = _read_metadata(meta, "the pickled model")
    return _fitted(NativeForest.from_bytes(model_bytes, n_trees), fields, "the pickled model")
