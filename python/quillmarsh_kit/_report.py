"""A report of a fitted `UpliftForest` on labelled rows: one self-contained HTML file.

The page holds the data summary, each arm's scores with bootstrap intervals, the Qini and
uplift curves and the uplift by percentile, the importances, the segments and the model's
settings. Figures are inline PNG images; the page has no script and loads nothing, and its
content security policy forbids both, so it opens the same offline. Every text taken from
the data or the model (feature names, category texts, group labels, the file name) is
escaped. The file appears at its path only once it is written whole.
"""

from __future__ import annotations

import base64
import html
import io
import os
from typing import Any, Hashable, List, Optional, Sequence

import numpy as np

from . import metrics
from ._output import atomic_path
from ._segments import labelled_rows, segments
from ._version import __version__

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em auto; max-width: 1200px;
       padding: 0 1em; box-sizing: border-box; color: #222; }
h1 { font-size: 1.6em; } h2 { font-size: 1.25em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
th { background: #f0f4f8; } img { max-width: 100%; } .note { color: #555; }
"""
_POLICY = "default-src 'none'; img-src data:; style-src 'unsafe-inline'"


def _cell(value: Any) -> str:
    if isinstance(value, (float, np.floating)):
        text = "nan" if np.isnan(value) else f"{value:.4f}"
    elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        text = f"{int(value):,}"
    else:
        text = str(value)
    return html.escape(text)


def _table(header: Sequence[Any], rows: Sequence[Sequence[Any]], table_id: str) -> str:
    head = "".join(f"<th>{html.escape(str(h))}</th>" for h in header)
    body = "".join("<tr>" + "".join(f"<td>{_cell(v)}</td>" for v in row) + "</tr>"
                   for row in rows)
    return (f'<table id="{table_id}"><thead><tr>{head}</tr></thead>'
            f"<tbody>{body}</tbody></table>")


def _figure_html(fig: Any, alt: str) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=72)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'


def _section(section_id: str, title: str, *parts: str) -> str:
    return f'<section id="{section_id}"><h2>{html.escape(title)}</h2>{"".join(parts)}</section>'


def _note(text: str) -> str:
    return f'<p class="note">{html.escape(text)}</p>'


def _data_section(model: Any, groups: np.ndarray, outcome: np.ndarray,
                  labels: List[Hashable], source: Optional[str]) -> str:
    rows = []
    for g, label in enumerate(labels):
        mine = groups == g
        role = "control" if g == 0 else "arm"
        rate = float(outcome[mine].mean()) if mine.any() else float("nan")
        rows.append([str(label), role, int(mine.sum()), int(outcome[mine].sum()), rate])
    features = [[n, k, "" if c is None else ", ".join(c[:12]) + (" ..." if len(c) > 12 else "")]
                for n, k, c in zip(model.feature_names_, model.feature_kinds_,
                                   model.feature_categories_)]
    where = f"{len(groups):,} labelled rows" + (f" of {source}" if source else "")
    return _section("data", "Data", _note(where),
                    _table(["group", "role", "rows", "positive outcomes", "outcome rate"], rows,
                           "groups"),
                    _table(["feature", "kind", "categories"], features, "features"))


def _scores_section(y: np.ndarray, prediction: np.ndarray, treatment: np.ndarray,
                    model: Any, n_bootstrap: int) -> str:
    rows = []
    for arm, ya, ua, ta in metrics.arm_data(y, prediction, treatment, model.treatments_,
                                            model.control):
        qini = metrics.qini_auc_score_interval(ya, ua, ta, n_bootstrap=n_bootstrap)
        auuc = metrics.uplift_auc_score_interval(ya, ua, ta, n_bootstrap=n_bootstrap)
        rows.append([str(arm), len(ya), int(ta.sum()), int(len(ta) - ta.sum()), *qini, *auuc,
                     metrics.uplift_at_k(ya, ua, ta, "overall", 0.3)])
    header = ["arm", "rows", "treated", "control", "qini", "qini lower", "qini upper",
              "auuc", "auuc lower", "auuc upper", "uplift@30%"]
    return _section("scores", "Scores per arm", _table(header, rows, "arm-scores"),
                    _note(f"95 % percentile bootstrap intervals over {n_bootstrap} resamples "
                          "of the treated and the control rows."))


def _curves_section(y: np.ndarray, prediction: np.ndarray, treatment: np.ndarray,
                    model: Any) -> str:
    from matplotlib.figure import Figure

    from .plot import plot_arms

    fig = Figure(figsize=(16, 4.6 * len(model.treatments_)))
    plot_arms(y, prediction, treatment, model.treatments_, model.control, fig=fig)
    return _section("curves", "Qini and uplift curves, uplift by percentile",
                    _figure_html(fig, "Qini curve, uplift curve and uplift by percentile of "
                                      "each arm"))


def _importance_section(model: Any) -> str:
    from matplotlib.figure import Figure

    values = model.feature_importances_
    order = np.argsort(values)
    names = [model.feature_names_[i] for i in order]
    fig = Figure(figsize=(7, 0.35 * len(names) + 1.2))
    ax = fig.subplots()
    ax.barh(np.arange(len(names)), values[order], color="C0")
    ax.set_yticks(np.arange(len(names)), labels=names)
    ax.set_xlabel("share of the total split gain")
    fig.tight_layout()
    rows = [[model.feature_names_[i], float(values[i])] for i in order[::-1]]
    return _section("importance", "Importances",
                    _figure_html(fig, "gain importance per feature"),
                    _table(["feature", "gain importance"], rows, "importances"))


def _explanation_section(model: Any, table: Any, max_rows: int = 2000) -> str:
    """Mean absolute contributions per feature and arm, and the rows' contributions to the
    first arm, on at most `max_rows` rows drawn at random (seeded)."""
    from matplotlib.figure import Figure

    from ._tabular import Table
    from .plot import plot_contribution_summary, plot_contribution_swarm

    if not model._check_fitted().forest.has_node_stats:
        return _section("explanation", "Contributions",
                        _note("Not available: this model was saved before node statistics "
                              "were kept (UpliftForest.explain needs reference rows for it)."))
    rows = np.arange(table.n_rows)
    if table.n_rows > max_rows:
        rows = np.sort(np.random.default_rng(0).choice(rows, max_rows, replace=False))
    sample = Table([type(c)(c.name, c.kind, c.values[rows], c.categories) for c in table.columns],
                   len(rows), table.named)
    contributions, base = model._check_fitted().forest.explain(sample,
                                                               model._requested_threads())
    fig = Figure(figsize=(13, 0.3 * len(model.feature_names_) + 2.0))
    left, right = fig.subplots(1, 2)
    plot_contribution_summary(model, contributions, ax=left)
    plot_contribution_swarm(model, sample, contributions, ax=right)
    fig.tight_layout()
    bases = ", ".join(f"{a}: {b:+.4f}" for a, b in zip(model.treatments_, base))
    return _section("explanation", "Contributions",
                    _figure_html(fig, "mean absolute contribution per feature and arm, and "
                                      "each row's contributions to the first arm"),
                    _note(f"Path-dependent TreeSHAP on {len(rows):,} rows; expected uplift "
                          f"(base value) {bases}; each row's contributions add up to its "
                          "predicted uplift minus the base value."))


def _segments_section(model: Any, X: Any, treatment: Any, y: Any, depth: int) -> str:
    frame = segments(model, X, treatment, y, max_depth=depth)
    rows = frame.to_numpy().tolist()
    return _section("segments", "Segments", _table(list(frame.columns), rows, "segments-table"),
                    _note("One uplift tree grown on half the rows of each group; uplift and "
                          "95 % interval observed on the other half; predicted: the forest's "
                          "mean over the segment's rows."))


def _settings_section(model: Any) -> str:
    rows = [[name, repr(value)] for name, value in model.get_params().items()]
    rows += [["arms", ", ".join(str(a) for a in model.treatments_)],
             ["seed_", str(getattr(model, "seed_", "unknown"))],
             ["quillmarsh_kit", __version__]]
    return _section("settings", "Model settings", _table(["setting", "value"], rows,
                                                         "settings-table"))


def write_atomically(path: str, text: str) -> None:
    """Writes `text` (UTF-8) to `path` whole or not at all (see `_output.atomic_path`)."""
    with atomic_path(path) as temporary:
        with open(temporary, "w", encoding="utf-8") as out:
            out.write(text)


def report_html(model: Any, X: Any, treatment: Any, y: Any, *, title: str,
                source: Optional[str] = None, segments_depth: int = 3,
                n_bootstrap: int = 200) -> str:
    """The report's page as text (see `report`)."""
    data = labelled_rows(model, X, treatment, y)
    labels = [model.control] + list(model.treatments_)
    label_array = np.empty(len(labels), dtype=object)
    label_array[:] = labels
    treatment_labels = label_array[data.groups]
    prediction = model._check_fitted().forest.predict(data.table, model._requested_threads())
    outcome = data.outcome.astype(np.int64)
    body = [
        f"<h1>{html.escape(title)}</h1>",
        _data_section(model, data.groups, outcome, labels, source),
        _scores_section(outcome, prediction, treatment_labels, model, n_bootstrap),
        _curves_section(outcome, prediction, treatment_labels, model),
        _importance_section(model),
        _explanation_section(model, data.table),
        _segments_section(model, X, treatment, y, segments_depth),
        _settings_section(model),
    ]
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">'
            f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head>"
            f"<body>{''.join(body)}</body></html>\n")


def report(model: Any, X: Any, treatment: Any, y: Any, path: "str | os.PathLike[str]", *,
           title: str = "Uplift model report", source: Optional[str] = None,
           segments_depth: int = 3, n_bootstrap: int = 200) -> str:
    """Writes an HTML report of the fitted `model` on the labelled rows (X, treatment, y) to
    `path` and returns the path.

    The rows need the control group and every arm of the model (held-out rows, ideally).
    `source` names where the rows came from (a file name, shown in the data summary);
    `segments_depth` is the depth of the segments' tree; `n_bootstrap` the resamples of the
    score intervals (seeded, so the report is reproducible)."""
    target = os.fspath(path)
    page = report_html(model, X, treatment, y, title=title, source=source,
                       segments_depth=segments_depth, n_bootstrap=n_bootstrap)
    write_atomically(target, page)
    return target
