"""The plots draw the curves of the metrics module and return their axes."""

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from quillmarsh_kit import metrics, plot  # noqa: E402

RNG = np.random.default_rng(4)
Y = RNG.integers(0, 2, 200)
T = RNG.integers(0, 2, 200)
U = RNG.normal(size=200)


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


@pytest.mark.parametrize("draw,curve,perfect", [
    (plot.plot_qini_curve, metrics.qini_curve, lambda: metrics.perfect_qini_curve(Y, T)),
    (plot.plot_uplift_curve, metrics.uplift_curve, lambda: metrics.perfect_uplift_curve(Y, T)),
])
def test_curve_plots_draw_model_random_and_perfect(draw, curve, perfect):
    _, ax = plt.subplots()
    assert draw(Y, U, T, ax=ax) is ax
    lines = {line.get_label(): line for line in ax.get_lines()}
    np.testing.assert_allclose(lines["model"].get_ydata(), curve(Y, U, T)[1])
    np.testing.assert_allclose(lines["perfect"].get_ydata(), perfect()[1])
    end = curve(Y, U, T)
    np.testing.assert_allclose(lines["random"].get_xydata(), [[0, 0], [end[0][-1], end[1][-1]]])
    bare = draw(Y, U, T, perfect=False, random=False)
    assert {line.get_label() for line in bare.get_lines()} & {"random", "perfect"} == set()


def test_qini_title_shows_the_coefficient():
    ax = plot.plot_qini_curve(Y, U, T)
    assert f"{metrics.qini_auc_score(Y, U, T):.3f}" in ax.get_title()


def test_uplift_by_percentile_draws_one_bar_per_bin():
    ax = plot.plot_uplift_by_percentile(Y, U, T, bins=5)
    heights = [p.get_height() for p in ax.patches]
    np.testing.assert_allclose(heights, metrics.uplift_by_percentile(Y, U, T, bins=5).uplift)
    labels = [t.get_text() for t in ax.get_xticklabels()]
    assert labels == ["0-20", "20-40", "40-60", "60-80", "80-100"]


def test_plot_arms_draws_a_row_per_arm():
    labels = RNG.choice(["c", "a", "b"], 200)
    axes = plot.plot_arms(Y, RNG.normal(size=(200, 2)), labels, ["a", "b"], "c")
    assert axes.shape == (2, 3)
    assert axes[1, 0].get_title().startswith("b vs c")


def test_qini_band_and_targeting_value_draw_their_metrics():
    ax = plot.plot_qini_curve(Y, U, T, band=True, n_bootstrap=40)
    x, lower, upper = metrics.qini_curve_band(Y, U, T, n_bootstrap=40)
    band = next(c for c in ax.collections if c.get_label() == "95% band")
    path = band.get_paths()[0].vertices
    n = len(x)  # the outline: lower forwards, then upper backwards
    np.testing.assert_allclose(path[1:n + 1], np.c_[x, lower])
    np.testing.assert_allclose(path[n + 2:2 * n + 2], np.c_[x, upper][::-1])

    ax = plot.plot_targeting_value(Y, U, T, costs={1: 0.1}, fractions=[0, 0.5, 1])
    q, curves = metrics.targeting_value_curve(Y, U, T, costs={1: 0.1}, fractions=[0, 0.5, 1])
    (line,) = ax.get_lines()
    np.testing.assert_allclose(line.get_xydata(), np.c_[100 * q, curves[1][:, 0]])
