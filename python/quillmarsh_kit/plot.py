"""Qini and uplift curves, and uplift by percentile, drawn with matplotlib.

Every function draws on `ax` (a new figure when it is None) and returns the axes. The curves
and scores are those of `quillmarsh_kit.metrics`.
"""

from __future__ import annotations

from typing import Any, Hashable, Mapping, Optional, Sequence

import numpy as np

from . import metrics


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    _, ax = plt.subplots(figsize=(6.4, 4.8))
    return ax


def _draw_curve(ax: Any, actual: metrics.Curve, perfect: Optional[metrics.Curve],
                show_random: bool, label: str) -> None:
    x, v = actual
    ax.plot(x, v, label=label, color="C0", linewidth=1.8)
    if show_random:
        ax.plot([0.0, x[-1]], [0.0, v[-1]], label="random", color="grey", linestyle="--",
                linewidth=1.2)
    if perfect is not None:
        ax.plot(perfect[0], perfect[1], label="perfect", color="C2", linewidth=1.2)
    ax.axhline(0.0, color="black", linewidth=0.6)
    ax.set_xlabel("rows targeted, ranked by predicted uplift")
    ax.legend(loc="best")
    ax.grid(True, alpha=0.3)


def plot_qini_curve(y_true: Any, uplift: Any, treatment: Any, *, ax: Any = None,
                    perfect: bool = True, random: bool = True, negative_effect: bool = True,
                    label: str = "model", title: Optional[str] = None, band: bool = False,
                    n_bootstrap: int = 200, level: float = 0.95, random_state: Any = 0) -> Any:
    """The Qini curve with the random line and the perfect curve; the title shows the Qini
    coefficient (`qini_auc_score`). With `band`, the curve's pointwise bootstrap band
    (`metrics.qini_curve_band`) is shaded around it."""
    ax = _axes(ax)
    curve = metrics.qini_curve(y_true, uplift, treatment)
    if band:
        x, lower, upper = metrics.qini_curve_band(y_true, uplift, treatment,
                                                  n_bootstrap=n_bootstrap, level=level,
                                                  random_state=random_state)
        ax.fill_between(x, lower, upper, color="C0", alpha=0.2, linewidth=0,
                        label=f"{level:.0%} band")
    best = None
    if perfect:
        best = metrics.perfect_qini_curve(y_true, treatment, negative_effect=negative_effect)
    _draw_curve(ax, curve, best, random, label)
    score = metrics.qini_auc_score(y_true, uplift, treatment, negative_effect=negative_effect)
    ax.set_ylabel("incremental positive outcomes")
    ax.set_title(title if title is not None else f"Qini curve (Qini coefficient {score:.3f})")
    return ax


def plot_uplift_curve(y_true: Any, uplift: Any, treatment: Any, *, ax: Any = None,
                      perfect: bool = True, random: bool = True, label: str = "model",
                      title: Optional[str] = None) -> Any:
    """The uplift curve with the random line and the perfect curve; the title shows the
    normalised area (`uplift_auc_score`)."""
    ax = _axes(ax)
    curve = metrics.uplift_curve(y_true, uplift, treatment)
    best = metrics.perfect_uplift_curve(y_true, treatment) if perfect else None
    _draw_curve(ax, curve, best, random, label)
    score = metrics.uplift_auc_score(y_true, uplift, treatment)
    ax.set_ylabel("uplift x rows targeted")
    ax.set_title(title if title is not None else f"Uplift curve (AUUC {score:.3f})")
    return ax


def plot_uplift_by_percentile(y_true: Any, uplift: Any, treatment: Any, *,
                              strategy: str = "overall", bins: int = 10, ax: Any = None,
                              title: Optional[str] = None) -> Any:
    """Observed uplift per bin of the ranking, with standard-error bars, and the treated and
    control response rates; the dashed line is the uplift over all rows."""
    ax = _axes(ax)
    table = metrics.uplift_by_percentile(y_true, uplift, treatment, strategy=strategy, bins=bins,
                                         total=True)
    pos = np.arange(bins)
    ax.bar(pos, table.uplift[:bins], yerr=table.std_uplift[:bins], color="C0", alpha=0.8,
           capsize=3, label="uplift")
    ax.plot(pos, table.response_rate_treatment[:bins], marker="o", color="C1", label="treated rate")
    ax.plot(pos, table.response_rate_control[:bins], marker="o", color="C3", label="control rate")
    ax.axhline(table.uplift[-1], color="grey", linestyle="--", linewidth=1.0,
               label="overall uplift")
    ax.axhline(0.0, color="black", linewidth=0.6)
    ax.set_xticks(pos)
    ax.set_xticklabels(table.percentiles[:bins], rotation=45)
    ax.set_xlabel("percentile of predicted uplift")
    ax.set_ylabel("response rate / uplift")
    ax.set_title(title if title is not None else "Uplift by percentile")
    ax.legend(loc="best", fontsize="small")
    return ax


def plot_targeting_value(y_true: Any, uplift: Any, treatment: Any, *, control: Hashable = 0,
                         arms: Optional[Sequence[Hashable]] = None, rates: Any = None,
                         propensity: Any = None, value: float = 1.0,
                         costs: Optional[Mapping[Hashable, float]] = None, fractions: Any = None,
                         level: float = 0.95, ax: Any = None,
                         title: Optional[str] = None) -> Any:
    """The value per row of treating the top q % of rows by predicted uplift with each arm
    (`metrics.targeting_value_curve`, same arguments), with its interval shaded; q = 0 is
    treating nobody, so the best q is where the curve peaks."""
    ax = _axes(ax)
    q, curves = metrics.targeting_value_curve(
        y_true, uplift, treatment, control=control, arms=arms, rates=rates,
        propensity=propensity, value=value, costs=costs, fractions=fractions, level=level)
    for k, (arm, curve) in enumerate(curves.items()):
        ax.plot(100 * q, curve[:, 0], color=f"C{k}", marker=".", label=f"{arm}")
        ax.fill_between(100 * q, curve[:, 1], curve[:, 2], color=f"C{k}", alpha=0.2, linewidth=0)
    ax.set_xlabel("% of rows treated, ranked by predicted uplift of the arm")
    ax.set_ylabel("value per row")
    ax.set_title(title if title is not None else f"Value of targeting ({level:.0%} intervals)")
    ax.legend(loc="best", title="arm")
    ax.grid(True, alpha=0.3)
    return ax


def plot_arms(y_true: Any, uplift: Any, treatment: Any, arms: Sequence[Hashable],
              control: Hashable, *, fig: Any = None) -> Any:
    """One row per arm (against control): Qini curve, uplift curve, uplift by percentile.

    Returns the 2-D array of axes (arms x 3)."""
    import matplotlib.pyplot as plt

    n = len(arms)
    if fig is None:
        fig = plt.figure(figsize=(16, 4.6 * n))
    axes = np.asarray(fig.subplots(n, 3, squeeze=False))
    arm_rows = metrics.arm_data(y_true, uplift, treatment, arms, control)
    for row, (arm, y, u, t) in enumerate(arm_rows):
        plot_qini_curve(y, u, t, ax=axes[row, 0])
        plot_uplift_curve(y, u, t, ax=axes[row, 1])
        plot_uplift_by_percentile(y, u, t, ax=axes[row, 2])
        for ax in axes[row]:
            ax.set_title(f"{arm} vs {control}: {ax.get_title()}", fontsize="medium")
    fig.tight_layout()
    return axes


def _node_label(view: Any, slot: int, decimals: int) -> str:
    """One line per fact: the split or "leaf", the leaf's predicted uplift per arm, then (with
    labelled rows) the rows, each group's rate and each arm's observed uplift."""
    from ._trees import split_text

    node = view.nodes[slot]
    lines = [split_text(node, view.names, True) if not node.is_leaf else "leaf: predicted"]
    if node.is_leaf and node.uplift is not None:
        lines += [f"{g} {u:+.{decimals}f}" for g, u in zip(view.groups[1:], node.uplift)]
    if view.stats is not None:
        stats = view.stats[slot]
        lines.append(f"rows {int(stats.rows.sum()):,}, observed rate")
        uplift = [""] + [f" ({u:+.{decimals}f})" for u in stats.uplift]
        lines += [f"{g} {r:.{decimals}f}{u}" for g, r, u in zip(view.groups, stats.rates, uplift)]
    return "\n".join(lines)


def plot_tree(model: Any, tree: int = 0, *, data: Any = None, ax: Any = None,
              decimals: int = 3, fontsize: float = 7.0) -> Any:
    """Draws tree `tree` of a fitted `UpliftForest` as boxes joined by lines: each split with
    its condition (rows meeting it go left; a missing value goes right), each leaf with its
    predicted uplift per arm. With data=(X, treatment, y), every box also shows the given rows
    reaching the node, each group's rate ("nan" for a group without rows there) and the
    observed uplift (as `export_text`). Without it the title says that they are not shown."""
    from ._export import layout, tree_view

    view = tree_view(model, tree, data)
    places = layout(view.nodes)
    width = max(x for x, _ in places.values()) + 1
    depth = max(d for _, d in places.values()) + 1
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(max(6.0, 2.2 * width), max(3.0, 2.0 * depth)))
    for slot, (x, d) in places.items():
        if slot > 0:
            px, pd = places[(slot - 1) // 2]
            ax.plot([px, x], [-pd, -d], color="grey", linewidth=0.8, zorder=1)
        leaf = view.nodes[slot].is_leaf
        ax.text(x, -d, _node_label(view, slot, decimals), ha="center", va="center",
                fontsize=fontsize, zorder=2,
                bbox=dict(boxstyle="round", facecolor="#e8f1fa" if leaf else "white",
                          edgecolor="C0" if leaf else "grey"))
    ax.set_xlim(-0.6, width - 0.4)
    ax.set_ylim(-depth + 0.4, 0.6)
    ax.set_axis_off()
    title = f"tree {view.index} of {view.n_trees}"
    note = "splits and leaf uplifts only: pass data=(X, treatment, y) for rows and rates"
    ax.set_title(title if view.stats is not None else f"{title}\n{note}",
                 fontsize="medium")
    return ax


def _ranked_features(contributions: np.ndarray, max_features: int) -> np.ndarray:
    """Feature indices by mean absolute contribution over rows and arms, largest first."""
    strength = np.nanmean(np.abs(contributions), axis=(0, 2))
    return np.argsort(-strength, kind="stable")[:max_features]


def plot_contribution_summary(model: Any, contributions: Any, *, ax: Any = None,
                              max_features: int = 15, title: Optional[str] = None) -> Any:
    """Mean absolute contribution per feature and arm (from `UpliftForest.explain`), one bar
    per arm, the strongest features at the top."""
    ax = _axes(ax)
    phi = np.asarray(contributions, dtype=np.float64)
    order = _ranked_features(phi, max_features)[::-1]
    arms = [str(a) for a in model.treatments_]
    height = 0.8 / len(arms)
    for k, arm in enumerate(arms):
        means = np.nanmean(np.abs(phi[:, order, k]), axis=0)
        ax.barh(np.arange(len(order)) + (k - (len(arms) - 1) / 2) * height, means,
                height=height, color=f"C{k}", label=arm)
    ax.set_yticks(np.arange(len(order)), labels=[model.feature_names_[i] for i in order])
    ax.set_xlabel("mean |contribution| to the predicted uplift")
    ax.set_title(title if title is not None else "Contributions per feature and arm")
    ax.legend(loc="lower right", title="arm", fontsize="small")
    ax.grid(True, axis="x", alpha=0.3)
    return ax


def _colour_values(column: Any, rows: np.ndarray) -> np.ndarray:
    """Each row's feature value as a rank in [0, 1] (codes for a string feature; NaN stays)."""
    values = np.asarray(column.values[rows], dtype=np.float64)
    finite = ~np.isnan(values)
    out = np.full(len(values), np.nan)
    if finite.any():
        ranks = np.argsort(np.argsort(values[finite], kind="stable"), kind="stable")
        out[finite] = ranks / max(finite.sum() - 1, 1)
    return out


def _swarm_offsets(values: np.ndarray, rng: Any, bins: int = 60) -> np.ndarray:
    """Vertical offsets in (-0.4, 0.4) that widen where values are dense."""
    finite = np.where(np.isfinite(values), values, 0.0)
    edges = np.linspace(finite.min(), finite.max() + 1e-12, bins + 1)
    which = np.clip(np.searchsorted(edges, finite, side="right") - 1, 0, bins - 1)
    counts = np.bincount(which, minlength=bins)
    spread = 0.4 * counts[which] / max(counts.max(), 1)
    return rng.uniform(-1.0, 1.0, len(values)) * spread


def plot_contribution_swarm(model: Any, X: Any, contributions: Any, *, arm: Any = None,
                            ax: Any = None, max_features: int = 15, max_rows: int = 2000,
                            random_state: Any = 0, title: Optional[str] = None) -> Any:
    """A beeswarm of the contributions to one arm's uplift (`arm`, default the first of
    `treatments_`): one dot per row and feature, features ranked by mean absolute
    contribution, dots coloured by the row's feature value (its rank among the rows, low
    blue, high red; missing values grey). At most `max_rows` rows, drawn at random."""
    ax = _axes(ax)
    phi = np.asarray(contributions, dtype=np.float64)
    k = 0 if arm is None else list(model.treatments_).index(arm)
    rng = np.random.default_rng(random_state)
    rows = np.arange(phi.shape[0])
    if len(rows) > max_rows:
        rows = np.sort(rng.choice(rows, max_rows, replace=False))
    from ._tabular import Table

    fitted = model._check_fitted()
    table = X if isinstance(X, Table) else model._prediction_table(fitted, X)
    order = _ranked_features(phi, max_features)[::-1]
    for position, f in enumerate(order):
        values = phi[rows, f, k]
        colours = _colour_values(table.columns[f], rows)
        y = position + _swarm_offsets(values, rng)
        missing = np.isnan(colours)
        ax.scatter(values[missing], y[missing], s=6, color="grey", alpha=0.6, linewidths=0)
        points = ax.scatter(values[~missing], y[~missing], s=6, c=colours[~missing],
                            cmap="coolwarm", vmin=0.0, vmax=1.0, alpha=0.8, linewidths=0)
    ax.axvline(0.0, color="black", linewidth=0.6)
    ax.set_yticks(np.arange(len(order)), labels=[model.feature_names_[i] for i in order])
    ax.set_xlabel(f"contribution to the uplift of {model.treatments_[k]}")
    ax.figure.colorbar(points, ax=ax, label="feature value (rank)", ticks=[0, 1])
    ax.set_title(title if title is not None else f"Contributions per row: {model.treatments_[k]}")
    return ax
