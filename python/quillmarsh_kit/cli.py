"""The `quillmarsh` command: train, predict, evaluate, and a demo on a synthetic experiment."""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from typing import Any, Callable, Dict, Hashable, List, Optional, Sequence, TextIO, Tuple

import numpy as np

from . import NativeError, _stream, metrics
from ._output import atomic_path, check_writable_folder
from ._params import CRITERIA, PARAMS
from ._version import __version__
from .datasets import load_csv, make_uplift_experiment
from .estimator import UpliftForest

DEMO_PLOT = "quillmarsh_demo.png"


class CliError(Exception):
    """A problem with the command's input, reported without a traceback."""


# ---------------------------------------------------------------------------- helpers
def _match_label(text: str, labels: Sequence[Hashable], what: str,
                 among: str = "the treatment column") -> Hashable:
    """The label among `labels` (those of `among`) that `text`, from the command line,
    stands for."""
    if text in labels:
        return text
    for label in labels:  # a boolean column: --control false
        if isinstance(label, (bool, np.bool_)) and text.lower() == str(label).lower():
            return label
    for convert in (int, float):
        try:
            value = convert(text)
        except ValueError:
            continue
        if value in labels:
            return value
    shown = ", ".join(repr(label) for label in labels)
    raise CliError(f"{what} {text!r} does not occur in {among} (labels: {shown})")


def _labels(values: np.ndarray) -> List[Hashable]:
    return sorted(set(values.tolist()), key=lambda v: (type(v).__name__, v))


def _split_names(values: Optional[Sequence[str]]) -> Optional[List[str]]:
    """Names given as separate words or comma-separated."""
    if values is None:
        return None
    return [name for value in values for name in value.split(",") if name]


def _format_table(header: Sequence[str], rows: Sequence[Sequence[Any]]) -> str:
    def cell(v: Any) -> str:
        if isinstance(v, float):
            return "nan" if np.isnan(v) else f"{v:.4f}"
        return str(v)

    text = [[cell(v) for v in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in text)) for i, h in enumerate(header)]

    def line(cells: Sequence[str]) -> str:  # the first column to the left, the others right
        return "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths)))

    rows_text = [line(header), "  ".join("-" * w for w in widths)] + [line(r) for r in text]
    return "\n".join(rows_text)


# Each score of evaluate's table with its bootstrap companion.
_SCORES = ((metrics.qini_auc_score, metrics.qini_auc_score_interval),
           (metrics.uplift_auc_score, metrics.uplift_auc_score_interval))


def _score_interval(plain: Callable[..., float], interval: Callable[..., metrics.ScoreInterval],
                    y: np.ndarray, u: np.ndarray, t: np.ndarray, n_bootstrap: int,
                    level: float, seed: int) -> List[float]:
    """A score and its bootstrap interval; without resamples, the bounds are NaN."""
    if n_bootstrap == 0:
        return [plain(y, u, t), float("nan"), float("nan")]
    return list(interval(y, u, t, n_bootstrap=n_bootstrap, level=level, random_state=seed))


def evaluation_rows(y: Any, prediction: np.ndarray, treatment: Any, arms: Sequence[Hashable],
                    control: Hashable, n_bootstrap: int = 200, level: float = 0.95,
                    seed: int = 0) -> List[List[Any]]:
    """Per arm: rows, treated, control, the Qini coefficient and the AUUC each with its
    bootstrap interval, causalml's Qini and AUUC scores, and the observed uplift among the
    top 30 %."""
    rows = []
    for arm, ya, ua, ta in metrics.arm_data(y, prediction, treatment, arms, control):
        bounds = [_score_interval(plain, interval, ya, ua, ta, n_bootstrap, level, seed)
                  for plain, interval in _SCORES]
        rows.append([
            str(arm), len(ya), int(ta.sum()), int(len(ta) - ta.sum()), *bounds[0], *bounds[1],
            metrics.qini_score(ya, ua, ta), metrics.auuc_score(ya, ua, ta),
            metrics.uplift_at_k(ya, ua, ta, "overall", 0.3),
        ])
    return rows


EVALUATION_HEADER = ["arm", "rows", "treated", "control", "qini", "qini_lower", "qini_upper",
                     "auuc", "auuc_lower", "auuc_upper", "qini_score", "auuc_score",
                     "uplift@30%"]
POLICY_HEADER = ["policy", "treated", "value", "lower", "upper"]


def _check_rates(model: UpliftForest) -> None:
    if not model._check_fitted().forest.has_node_stats:
        raise CliError("--value and --cost need the forest's per-group rates, but this model "
                       "holds no per-node group statistics (it was saved by a version that did "
                       "not keep them): train it again")


def policy_rows(model: UpliftForest, X: Any, y: np.ndarray, treatment: np.ndarray,
                value: float, costs: Dict[Hashable, float],
                level: float) -> Tuple[List[List[Any]], np.ndarray]:
    """The value per row (and its interval) of the recommended policy, of treating nobody and
    of treating everybody with each arm, the forest's rates as the outcome model; and the
    recommended group of each row."""
    rates = model.predict_rates(X)  # NaN only where the uplift is, which scoring refuses
    control, arms = model.control_, list(model.treatments_)
    policies = [("recommended", model.recommend(X, value=value, costs=costs)),
                (f"nobody: {control}", control)] + [(f"everybody: {a}", a) for a in arms]
    rows = []
    for name, policy in policies:
        treated = float(np.mean(np.asarray(policy, dtype=object) != control))
        estimate = metrics.policy_value(y, treatment, policy, rates=rates, value=value,
                                        costs=costs, level=level, control=control, arms=arms)
        rows.append([name, treated, *estimate])
    return rows, policies[0][1]


def _write_plot(path: str, y: Any, prediction: np.ndarray, treatment: Any,
                arms: Sequence[Hashable], control: Hashable) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CliError("writing a plot needs matplotlib: pip install matplotlib") from None
    from .plot import plot_arms

    fig = plt.figure(figsize=(16, 4.6 * len(arms)))
    try:
        plot_arms(y, prediction, treatment, arms, control, fig=fig)
        kind = os.path.splitext(path)[1][1:].lower() or "png"
        with atomic_path(path) as temp:
            fig.savefig(temp, dpi=110, format=kind)
    finally:
        plt.close(fig)


# ---------------------------------------------------------------------------- commands
def _string_features(model: UpliftForest) -> List[str]:
    """Features read as text whatever a file holds, as they were in training."""
    return [n for n, kind in zip(model.feature_names_, model.feature_kinds_) if kind == "string"]


def _cmd_train(args: argparse.Namespace, out: TextIO) -> int:
    check_writable_folder(args.model)  # before any tree is grown
    data = load_csv(args.data, treatment=args.treatment, outcome=args.outcome,
                    features=_split_names(args.features), exclude=_split_names(args.exclude) or ())
    assert data.treatment is not None and data.y is not None
    if not data.feature_names:
        raise CliError("no feature columns left to train on")
    control = _match_label(args.control, _labels(data.treatment), "control label")
    model = UpliftForest(control=control, verbose=not args.quiet, **_forest_options(args))
    start = time.perf_counter()
    model.fit(data.X, data.treatment, data.y)
    elapsed = time.perf_counter() - start
    model.save(args.model)
    out.write(
        f"trained {args.n_estimators} trees on {len(data.y):,} rows and {len(data.feature_names)} "
        f"features in {elapsed:.1f} s; arms {', '.join(map(str, model.treatments_))} against "
        f"{control!r}\nmodel written to {args.model}\n"
    )
    return 0


def _cmd_predict(args: argparse.Namespace, out: TextIO) -> int:
    model = UpliftForest.load(args.model)
    keep = _split_names(args.keep) or []
    strings = _string_features(model)
    numeric = [n for n in model.feature_names_ if n not in strings]
    header = keep + _prediction_names(model, args)
    costs = _costs(args.cost or [], model.treatments_) if _recommends(args) else {}

    def score(X: Dict[str, Any]) -> List[np.ndarray]:
        return _prediction_columns(model, X, args, costs)

    batches = _stream.score_batches(args.data, numeric, strings, keep)
    if args.output == "-":
        rows = _score_into(model, batches, keep, _stream.CsvWriter(out, header), score)
    else:
        with atomic_path(args.output) as temp:
            writer = (_stream.ParquetWriter(temp, header, len(keep), labels=["recommended"]
                                            if _recommends(args) else [])
                      if _stream.is_parquet(args.output) else None)
            rows = _score_to_file(model, batches, keep, header, temp, writer, score)
        out.write(f"wrote {rows:,} predictions to {args.output}\n")
    return 0


def _score_to_file(model: UpliftForest, batches: Any, keep: List[str], header: List[str],
                   path: str, parquet: Any, score: Callable[..., List[np.ndarray]]) -> int:
    """Writes to `path` through `parquet`, a Parquet writer, or else as CSV."""
    if parquet is not None:
        try:
            return _score_into(model, batches, keep, parquet, score)
        finally:
            parquet.close()
    with open(path, "w", newline="", encoding="utf-8") as target:
        return _score_into(model, batches, keep, _stream.CsvWriter(target, header), score)


def _score_into(model: UpliftForest, batches: Any, keep: List[str], writer: Any,
                score: Callable[..., List[np.ndarray]]) -> int:
    """Scores each batch (the output columns of `score`) and writes it with its copied
    columns; returns the row count."""
    rows = 0
    for batch in batches:
        columns = score({name: batch[name] for name in model.feature_names_})
        writer.write([batch[name] for name in keep], columns)
        rows += len(columns[0])
    return rows


def _recommends(args: argparse.Namespace) -> bool:
    return args.value is not None or bool(args.cost)


def _prediction_names(model: UpliftForest, args: argparse.Namespace) -> List[str]:
    """The output columns of predict: the uplift per arm; with --interval-level its bounds;
    with --rates each group's rate; with --value or --cost the recommended group."""
    arms = model.treatments_
    names = [f"uplift[{arm}]" for arm in arms]
    if args.interval_level is not None:
        names += [f"lower[{arm}]" for arm in arms] + [f"upper[{arm}]" for arm in arms]
    if args.rates:
        names += [f"rate[{g}]" for g in [model.control_, *arms]]
    return names + (["recommended"] if _recommends(args) else [])


def _prediction_columns(model: UpliftForest, X: Any, args: argparse.Namespace,
                        costs: Dict[Hashable, float]) -> List[np.ndarray]:
    """The values of `_prediction_names`' columns for the rows of `X`."""
    if args.interval_level is not None:
        uplift, lower, upper = model.predict(X, return_interval=True, level=args.interval_level)
        columns = [*uplift.T, *lower.T, *upper.T]
    else:
        columns = list(model.predict(X).T)
    if args.rates:
        columns += list(model.predict_rates(X).T)
    if _recommends(args):
        columns.append(model.recommend(X, value=1.0 if args.value is None else args.value,
                                       costs=costs))
    return columns


def _costs(items: Sequence[str], arms: Sequence[Hashable]) -> Dict[Hashable, float]:
    """ARM=COST items as {arm label: cost}, the label matched against the model's arms."""
    costs: Dict[Hashable, float] = {}
    for item in items:
        label, sep, value = item.rpartition("=")
        if not sep:
            raise CliError(f"--cost takes ARM=COST, got {item!r}")
        arm = _match_label(label, list(arms), "arm of --cost", "the model's arms")
        try:
            costs[arm] = float(value)
        except ValueError:
            raise CliError(f"--cost {item!r}: {value!r} is not a number") from None
    return costs


def _cmd_evaluate(args: argparse.Namespace, out: TextIO) -> int:
    model = UpliftForest.load(args.model)
    costs = _costs(args.cost or [], model.treatments_)  # before the data is read
    if _recommends(args):
        _check_rates(model)
    data = load_csv(args.data, treatment=args.treatment, outcome=args.outcome,
                    features=model.feature_names_, string_columns=_string_features(model))
    assert data.treatment is not None and data.y is not None
    labels = list(model.treatments_) + [model.control_]
    known = np.isin(np.asarray(data.treatment, dtype=object), np.asarray(labels, dtype=object))
    if not known.all():
        out.write(f"note: {int((~known).sum()):,} rows with labels the model does not know "
                  "are left out\n")
    X = {name: values[known] for name, values in data.X.items()}
    treatment, y = data.treatment[known], data.y[known]
    prediction = model.predict(X)
    rows = evaluation_rows(y, prediction, treatment, model.treatments_, model.control_,
                           args.bootstrap, args.level, args.seed)
    out.write(f"evaluation on {len(y):,} rows of {args.data} (control {model.control_!r}); "
              + _interval_note(args) + "\n")
    out.write(_format_table(EVALUATION_HEADER, rows) + "\n")
    if _recommends(args):
        value = 1.0 if args.value is None else args.value
        policies, recommended = policy_rows(model, X, y, treatment, value, costs, args.level)
        out.write(f"\nvalue per row of each policy ({value:g} per positive outcome, "
                  f"{_cost_text(costs)}), {args.level * 100:g} % interval:\n")
        out.write(_format_table(POLICY_HEADER, policies) + "\n")
        out.write(_recommended_text(recommended, [model.control_, *model.treatments_]))
    _evaluation_files(args, model, X, treatment, y, prediction, rows, out)
    return 0


def _recommended_text(labels: np.ndarray, groups: List[Hashable]) -> str:
    counts = [int(np.sum(labels == g)) for g in groups]
    return "recommended: " + ", ".join(f"{g} {c:,} rows" for g, c in zip(groups, counts)) + "\n"


def _interval_note(args: argparse.Namespace) -> str:
    if args.bootstrap == 0:
        return "no score intervals (--bootstrap 0)"
    return (f"score intervals at {args.level * 100:g} %: {args.bootstrap} bootstrap resamples "
            f"within each group, seed {args.seed}")


def _cost_text(costs: Dict[Hashable, float]) -> str:
    if not costs:
        return "no costs"
    return "costs per treated row " + ", ".join(f"{arm}: {c:g}" for arm, c in costs.items())


def _evaluation_files(args: argparse.Namespace, model: UpliftForest, X: Any, treatment: Any,
                      y: Any, prediction: np.ndarray, rows: List[List[Any]],
                      out: TextIO) -> None:
    """The table, plot and report that evaluate's options ask for."""
    if args.table:
        with atomic_path(args.table) as temp:
            with open(temp, "w", newline="", encoding="utf-8") as dst:
                writer = csv.writer(dst, lineterminator="\n")
                writer.writerow(EVALUATION_HEADER)
                writer.writerows(rows)
        out.write(f"table written to {args.table}\n")
    if args.plot:
        _write_plot(args.plot, y, prediction, treatment, model.treatments_, model.control_)
        out.write(f"curves written to {args.plot}\n")
    if args.report:
        from ._report import report

        report(model, X, treatment, y, args.report, source=args.data)
        out.write(f"report written to {args.report}\n")


def _cmd_export_onnx(args: argparse.Namespace, out: TextIO) -> int:
    model = UpliftForest.load(args.model)
    proto = model.to_onnx()
    with atomic_path(args.output) as temp:
        with open(temp, "wb") as dst:
            dst.write(proto.SerializeToString())
    inputs = ", ".join(f"{n} ({'string' if k == 'string' else 'float'})"
                       for n, k in zip(model.feature_names_, model.feature_kinds_))
    trees = model._check_fitted().forest.n_trees
    out.write(f"wrote {args.output}: {trees} trees; inputs {inputs}; output "
              f"uplift [N, {len(model.treatments_)}] for arms "
              f"{', '.join(map(str, model.treatments_))}\n")
    return 0


def _cmd_demo(args: argparse.Namespace, out: TextIO) -> int:
    exp = make_uplift_experiment(args.n_samples, n_treatments=args.arms, seed=args.seed)
    train, test = exp.split(0.7, seed=args.seed)
    out.write(
        f"quillmarsh {__version__} demo: a synthetic experiment of {exp.n_rows:,} rows, "
        f"{len(exp.feature_names)} features ({', '.join(exp.feature_names)}),\n"
        f"control group {exp.control!r} and arms {', '.join(exp.arms)}; "
        f"{train.n_rows:,} rows to train on, {test.n_rows:,} held out.\n\n"
    )
    out.flush()
    model = UpliftForest(
        n_estimators=args.n_estimators, max_depth=args.max_depth,
        min_samples_leaf=args.min_samples_leaf,
        max_features=None, criterion=args.criterion, n_jobs=args.n_jobs, control=exp.control,
        verbose=not args.quiet, random_state=args.seed,
    )
    start = time.perf_counter()
    model.fit(train.X, train.treatment, train.y)
    elapsed = time.perf_counter() - start
    out.write(f"trained {args.n_estimators} trees (criterion {args.criterion}, depth "
              f"{args.max_depth}) in {elapsed:.1f} s\n\n")

    prediction = model.predict(test.X)
    rng = np.random.default_rng(args.seed)
    random_scores = rng.uniform(size=prediction.shape)
    header = ["arm", "qini", "qini random", "qini truth", "auuc", "auuc random", "auuc truth"]
    rows = []
    arm_sets = [list(metrics.arm_data(test.y, p, test.treatment, model.treatments_, exp.control))
                for p in (prediction, random_scores, test.true_uplift)]
    for (arm, y, u, t), (_, _, r, _), (_, _, truth, _) in zip(*arm_sets):
        rows.append([
            str(arm),
            *(metrics.qini_auc_score(y, scores, t) for scores in (u, r, truth)),
            *(metrics.uplift_auc_score(y, scores, t) for scores in (u, r, truth)),
        ])
    out.write(
        "Hold-out Qini coefficient and normalised AUUC per arm (1 = perfect ranking, 0 = random):\n"
        "model, a random ranking, and the ranking by the true uplift, which only a synthetic "
        "experiment knows.\n"
    )
    out.write(_format_table(header, rows) + "\n\n")

    importances = model.feature_importances_
    drivers = {name for names in exp.drivers.values() for name in names}
    out.write(
        f"Feature importance ({args.criterion}: share of split gain; * drives some arm's uplift, "
        "+ drives the control rate):\n"
    )
    order = np.argsort(-importances, kind="stable")
    width = max(len(n) for n in exp.feature_names)
    for j in order:
        name = exp.feature_names[j]
        bar = "#" * int(round(importances[j] * 50))
        mark = ("*" if name in drivers else " ") + ("+" if name in exp.baseline_drivers else " ")
        out.write(f"  {name.ljust(width)} {mark} {importances[j]:6.3f} {bar}\n")
    out.write("\n")
    if args.plot:
        try:
            _write_plot(args.plot, test.y, prediction, test.treatment, model.treatments_,
                        exp.control)
            out.write(f"Qini and uplift curves written to {args.plot}\n")
        except CliError as err:
            out.write(f"no plot: {err}\n")
    return 0


# ---------------------------------------------------------------------------- parser
def _add_flag(g: Any, name: str, default: bool, help_on: str, help_off: str) -> None:
    """--name and --no-name, the default shown on the one it makes redundant."""
    dest = name.replace("-", "_")
    g.add_argument(f"--{name}", dest=dest, action="store_true", default=default,
                   help=help_on + (" (default)" if default else ""))
    g.add_argument(f"--no-{name}", dest=dest, action="store_false",
                   help=help_off + ("" if default else " (default)"))


def _add_hyper_parameters(p: argparse.ArgumentParser) -> None:
    """An option per declared parameter that has one; its value lands under the parameter's
    name, and its default is the estimator's."""
    g = p.add_argument_group("forest")
    for param in PARAMS:
        if param.option is None:
            continue
        if param.negation is not None:
            _add_flag(g, param.option[2:], param.default, param.help, param.negation)
            continue
        shown = (f"default {param.default}" if param.default_text is None else
                 f"default: {param.default_text}")
        metavar = None if param.choices else param.option[2:].upper().replace("-", "_")
        g.add_argument(param.option, dest=param.name, type=param.parse, choices=param.choices,
                       default=param.default, help=f"{param.help} ({shown})", metavar=metavar)


def _forest_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The parameters given by `_add_hyper_parameters`' options."""
    return {p.name: getattr(args, p.name) for p in PARAMS if p.option is not None}


def _level(text: str) -> float:
    level = float(text)
    if not 0.0 < level < 1.0:
        raise argparse.ArgumentTypeError(f"the level must lie strictly between 0 and 1, got {text}")
    return level


def _resamples(text: str) -> int:
    count = int(text)
    if count < 0:
        raise argparse.ArgumentTypeError(f"the number of resamples cannot be negative, got {text}")
    return count


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quillmarsh",
                                     description="Uplift random forests: train, predict, evaluate.")
    parser.add_argument("--version", action="version", version=f"quillmarsh_kit {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("train", help="train a forest on a CSV or Parquet file and save it")
    p.add_argument("data", help="CSV file (optionally .gz) with a header row, or a Parquet "
                   "file (.parquet, .pq)")
    p.add_argument("--treatment", required=True, help="column of treatment labels")
    p.add_argument("--control", required=True, help="label of the control group in that column")
    p.add_argument("--outcome", required=True, help="column of the binary outcome (0/1)")
    p.add_argument("--features", nargs="+", help="feature columns (default: every other column)")
    p.add_argument("--exclude", nargs="+", help="columns to leave out of the features")
    p.add_argument("--model", required=True, help="where to write the model")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    _add_hyper_parameters(p)

    p = sub.add_parser("predict",
                       help="write the predicted uplift of every row to a CSV or Parquet file")
    p.add_argument("data", help="CSV or Parquet file with the model's feature columns, read "
                   "in batches")
    p.add_argument("--model", required=True, help="a model written by train")
    p.add_argument("--output", required=True,
                   help="CSV file to write (Parquet if it ends in .parquet or .pq), or - for "
                        "standard output")
    p.add_argument("--keep", nargs="+", help="columns of DATA to copy into the output (e.g. an id)")
    p.add_argument("--interval-level", type=float,
                   help="also write each uplift's confidence interval at this level, e.g. 0.9 "
                        "(the model must be trained with --ci-group-size 2 or more)")
    p.add_argument("--rates", action="store_true", help="also write each group's outcome rate")
    p.add_argument("--value", type=float,
                   help="value of one positive outcome: also write the recommended group")
    p.add_argument("--cost", action="append", metavar="ARM=COST",
                   help="cost per treated row of an arm (repeat for each arm; default 0): "
                        "also write the recommended group")

    p = sub.add_parser("evaluate",
                       help="per-arm Qini and AUUC of a model on labelled data, and a plot")
    p.add_argument("data", help="CSV or Parquet file with the features, treatment and "
                   "outcome")
    p.add_argument("--model", required=True, help="a model written by train")
    p.add_argument("--treatment", required=True, help="column of treatment labels")
    p.add_argument("--outcome", required=True, help="column of the binary outcome")
    p.add_argument("--table", help="also write the table as CSV here")
    p.add_argument("--plot", help="write the Qini and uplift curves of every arm to this PNG")
    p.add_argument("--report", help="write an HTML report (scores, curves, importances, "
                   "segments, settings) to this file")
    p.add_argument("--level", type=_level, default=0.95,
                   help="confidence level of the intervals (default 0.95)")
    p.add_argument("--bootstrap", type=_resamples, default=200, metavar="N",
                   help="bootstrap resamples behind each score's interval (default 200; 0: "
                        "no intervals)")
    p.add_argument("--seed", type=int, default=0, help="seed of the resamples (default 0)")
    p.add_argument("--value", type=float,
                   help="value of one positive outcome: also print the value per row of the "
                        "recommended policy and of the constant ones")
    p.add_argument("--cost", action="append", metavar="ARM=COST",
                   help="cost per treated row of an arm (repeat for each arm; default 0): "
                        "also print the policies' values")

    p = sub.add_parser("export-onnx", help="write a model as an ONNX graph (needs onnx)")
    p.add_argument("model", help="a model written by train")
    p.add_argument("output", help="the .onnx file to write")

    p = sub.add_parser("demo", help="train and evaluate on a built-in synthetic experiment")
    p.add_argument("--n-samples", type=int, default=40_000,
                   help="rows of the experiment (default 40000)")
    p.add_argument("--arms", type=int, default=2, help="treatment arms (default 2)")
    p.add_argument("--n-estimators", type=int, default=50, help="trees (default 50)")
    p.add_argument("--max-depth", type=int, default=5, help="depth limit (default 5)")
    p.add_argument("--min-samples-leaf", type=int, default=400,
                   help="each child of a split gets more rows than this (default 400)")
    p.add_argument("--criterion", choices=CRITERIA, default="ED", type=str.upper,
                   help="divergence measure (default ED)")
    p.add_argument("--n-jobs", type=int, default=-1, help="threads (default -1: every processor)")
    p.add_argument("--seed", type=int, default=0,
                   help="seed of the experiment, its split and the forest")
    p.add_argument("--plot", default=DEMO_PLOT,
                   help=f"PNG of the curves (default {DEMO_PLOT}; empty: none)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


_COMMANDS = {"train": _cmd_train, "predict": _cmd_predict, "evaluate": _cmd_evaluate,
             "export-onnx": _cmd_export_onnx, "demo": _cmd_demo}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the `quillmarsh` console script; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        return _COMMANDS[args.command](args, sys.stdout)
    except (CliError, ValueError, OSError, ImportError, NativeError) as err:
        sys.stdout.flush()
        print(f"quillmarsh {args.command}: error: {err}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        sys.stdout.flush()
        print(f"quillmarsh {args.command}: interrupted", file=sys.stderr)
        return 130  # 128 + SIGINT, as shells report it


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
