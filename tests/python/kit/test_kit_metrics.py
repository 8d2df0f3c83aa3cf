"""Uplift metrics against hand-computed cases, scikit-uplift, and properties of rankings."""

import numpy as np
import pytest

from quillmarsh_kit import metrics as m

# Six rows, ranked as given (no ties). Worked by hand, with Nt/Yt, Nc/Yc the treated/control
# rows and responders among the first i rows:
#   i :  1    2    3     4    5     6
#   U :  1    1   -1.5   0    5/6   2      U = (Yt/Nt - Yc/Nc) * i
#   Q :  1    1   -1     0    0.5   1      Q = Yt - Yc * Nt/Nc
Y = [1, 0, 1, 0, 1, 0]
T = [1, 1, 0, 0, 1, 0]
U = [0.9, 0.8, 0.7, 0.6, 0.5, 0.4]
TIED = [0.9, 0.9, 0.7, 0.7, 0.5, 0.5]


def test_uplift_and_qini_curves_by_hand():
    x, v = m.uplift_curve(Y, U, T)
    np.testing.assert_array_equal(x, [0, 1, 2, 3, 4, 5, 6])
    np.testing.assert_allclose(v, [0, 1, 1, -1.5, 0, 5 / 6, 2])
    x, v = m.qini_curve(Y, U, T)
    np.testing.assert_allclose(v, [0, 1, 1, -1, 0, 0.5, 1])


def test_ties_give_points_only_at_block_ends():
    x, v = m.uplift_curve(Y, TIED, T)
    np.testing.assert_array_equal(x, [0, 2, 4, 6])
    np.testing.assert_allclose(v, [0, 1, 0, 2])
    x, v = m.qini_curve(Y, TIED, T)
    np.testing.assert_allclose(v, [0, 1, 0, 1])


def test_perfect_curves_by_hand():
    # Qini: treated responders (rows 0, 4) first, control responder (row 2) last.
    x, v = m.perfect_qini_curve(Y, T)
    np.testing.assert_array_equal(x, [0, 2, 5, 6])
    np.testing.assert_allclose(v, [0, 2, 2, 1])
    # Uplift: 1 control responder is not more than 1 treated non-responder, so treatment
    # breaks the tie: scores 3, 1, 0, 2, 3, 2.
    x, v = m.perfect_uplift_curve(Y, T)
    np.testing.assert_array_equal(x, [0, 2, 4, 5, 6])
    np.testing.assert_allclose(v, [0, 2, 4, 10 / 3, 2])
    x, v = m.perfect_qini_curve(Y, T, negative_effect=False)
    np.testing.assert_allclose(x, [0, 1, 6])
    np.testing.assert_allclose(v, [0, 1, 1])


def test_normalised_areas_by_hand():
    # Qini: area 2, random line to (6, 1) has area 3, perfect area 9.5.
    assert m.qini_auc_score(Y, U, T) == pytest.approx((2 - 3) / (9.5 - 3))
    # Uplift: area 7/3, random line to (6, 2) has area 6, perfect area 43/3.
    assert m.uplift_auc_score(Y, U, T) == pytest.approx((7 / 3 - 6) / (43 / 3 - 6))


def test_causalml_style_scores_by_hand():
    # auuc: mean over i = 0..6 of U(i)/|U(6)| = (10/3) / 2 / 7
    assert m.auuc_score(Y, U, T) == pytest.approx(5 / 21)
    assert m.auuc_score(Y, U, T, normalize=False) == pytest.approx(10 / 21)
    # qini: mean of Q(i) - i/6 over i = 0..6 = -1/7
    assert m.qini_score(Y, U, T) == pytest.approx(-1 / 7)
    # Inside a tie block the curve is linear: ties [0.9, 0.9] -> U(1) = 0.5.
    expected = (0 + 0.5 + 1 + 0.5 + 0 + 1 + 2) / 7
    assert m.auuc_score(Y, TIED, T, normalize=False) == pytest.approx(expected)


@pytest.mark.parametrize("strategy,k,expected", [
    ("overall", 0.5, 0.5 - 1.0),   # rows 0, 1, 2: treated 1 of 2, control 1 of 1
    ("overall", 2, float("nan")),  # rows 0, 1: no control row
    ("by_group", 0.5, 1.0 - 1.0),  # top treated row 0, top control row 2
    ("by_group", 2, 0.5 - 0.5),    # treated rows 0, 1; control rows 2, 3
])
def test_uplift_at_k_by_hand(strategy, k, expected):
    result = m.uplift_at_k(Y, U, T, strategy, k)
    if np.isnan(expected):
        assert np.isnan(result)
    else:
        assert result == pytest.approx(expected)


def test_uplift_by_percentile_by_hand():
    table = m.uplift_by_percentile(Y, U, T, bins=2, total=True)
    assert table.percentiles == ["0-50", "50-100", "total"]
    np.testing.assert_array_equal(table.n_treatment, [2, 1, 3])
    np.testing.assert_array_equal(table.n_control, [1, 2, 3])
    np.testing.assert_allclose(table.response_rate_treatment, [0.5, 1.0, 2 / 3])
    np.testing.assert_allclose(table.response_rate_control, [1.0, 0.0, 1 / 3])
    np.testing.assert_allclose(table.uplift, [-0.5, 1.0, 1 / 3])
    np.testing.assert_allclose(table.std_treatment[0], np.sqrt(0.25 / 2))


def test_treatment_balance_curve_by_hand():
    x, balance = m.treatment_balance_curve(U, T, 2)
    np.testing.assert_allclose(balance, [1, 0.5, 0, 0.5, 0.5])
    np.testing.assert_allclose(x, np.linspace(1, 100, 5))


def _random_case(seed, n=300, ties=False):
    rng = np.random.default_rng(seed)
    y = rng.integers(0, 2, n)
    t = rng.integers(0, 2, n)
    u = rng.integers(0, 6, n) / 6.0 if ties else rng.normal(size=n)
    return y, u, t


@pytest.mark.parametrize("seed", range(4))
def test_a_perfect_ranking_scores_one(seed):
    y, _, t = _random_case(seed)
    assert m.qini_auc_score(y, y * t - y * (1 - t), t) == pytest.approx(1.0)
    score = 2 * (y == t) + (y if np.sum((y == 1) & (t == 0)) > np.sum((y == 0) & (t == 1)) else t)
    assert m.uplift_auc_score(y, score, t) == pytest.approx(1.0)


@pytest.mark.parametrize("seed", range(4))
def test_order_inside_tie_blocks_does_not_matter(seed):
    y, u, t = _random_case(seed, ties=True)
    perm = np.random.default_rng(seed + 100).permutation(len(y))
    for fn in (m.qini_auc_score, m.uplift_auc_score, m.qini_score, m.auuc_score):
        assert fn(y, u, t) == pytest.approx(fn(y[perm], u[perm], t[perm]))


def test_a_constant_prediction_is_exactly_random():
    y, _, t = _random_case(7)
    flat = np.zeros(len(y))
    assert m.qini_auc_score(y, flat, t) == pytest.approx(0.0, abs=1e-12)
    assert m.uplift_auc_score(y, flat, t) == pytest.approx(0.0, abs=1e-12)
    assert m.qini_score(y, flat, t) == pytest.approx(0.0, abs=1e-12)


@pytest.mark.parametrize("args,message", [
    (([1, 0], [0.1], [1, 0]), "equal lengths"),
    (([1, 2], [0.1, 0.2], [1, 0]), "y_true must hold only 0 and 1"),
    (([1, 0], [0.1, 0.2], ["a", "b"]), "treatment must hold only 0 and 1"),
    (([1, 0], [0.1, float("nan")], [1, 0]), "NaN"),
    (([1, 0], [[0.1], [0.2]], [1, 0]), "score_arms"),
    (([], [], []), "no rows"),
])
def test_bad_inputs_are_refused(args, message):
    with pytest.raises(ValueError, match=message):
        m.qini_auc_score(*args)


def test_nothing_to_rank_gives_nan():
    assert np.isnan(m.qini_auc_score([0, 0, 0, 0], [0.1, 0.2, 0.3, 0.4], [1, 0, 1, 0]))


def test_score_arms_scores_each_arm_against_control_only():
    rng = np.random.default_rng(3)
    n = 400
    labels = rng.choice(["ctl", "a", "b"], n)
    y = rng.integers(0, 2, n)
    prediction = rng.normal(size=(n, 2))
    scores = m.score_arms(y, prediction, labels, ["a", "b"], "ctl", "qini")
    for k, arm in enumerate(["a", "b"]):
        rows = (labels == "ctl") | (labels == arm)
        in_arm = (labels[rows] == arm).astype(int)
        assert scores[arm] == pytest.approx(m.qini_auc_score(y[rows], prediction[rows, k], in_arm))
    with pytest.raises(ValueError, match="shape"):
        m.score_arms(y, prediction[:, :1], labels, ["a", "b"], "ctl")
    with pytest.raises(ValueError, match="unknown metric"):
        m.score_arms(y, prediction, labels, ["a", "b"], "ctl", "gini")


class TestAgainstScikitUplift:
    """Outputs compared with scikit-uplift's functions on random data, with and without ties."""

    @pytest.fixture(autouse=True)
    def sklift(self):
        self.sm = pytest.importorskip("sklift.metrics")

    @pytest.mark.parametrize("seed,ties", [(s, t) for s in range(3) for t in (False, True)])
    def test_curves_and_areas(self, seed, ties):
        y, u, t = _random_case(seed, ties=ties)
        for ours, theirs in [
            (m.uplift_curve(y, u, t), self.sm.uplift_curve(y, u, t)),
            (m.qini_curve(y, u, t), self.sm.qini_curve(y, u, t)),
            (m.perfect_uplift_curve(y, t), self.sm.perfect_uplift_curve(y, t)),
            (m.perfect_qini_curve(y, t), self.sm.perfect_qini_curve(y, t)),
        ]:
            np.testing.assert_allclose(ours[0], theirs[0])
            np.testing.assert_allclose(ours[1], theirs[1])
        assert m.uplift_auc_score(y, u, t) == pytest.approx(self.sm.uplift_auc_score(y, u, t))
        assert m.qini_auc_score(y, u, t) == pytest.approx(self.sm.qini_auc_score(y, u, t))

    @pytest.mark.parametrize("strategy", ["overall", "by_group"])
    @pytest.mark.parametrize("k", [0.3, 0.55, 17])
    def test_uplift_at_k(self, strategy, k):
        y, u, t = _random_case(11, ties=True)
        theirs = self.sm.uplift_at_k(y, u, t, strategy, k)
        assert m.uplift_at_k(y, u, t, strategy, k) == pytest.approx(theirs)

    @pytest.mark.parametrize("strategy", ["overall", "by_group"])
    def test_uplift_by_percentile(self, strategy):
        pytest.importorskip("pandas")
        y, u, t = _random_case(5, n=250, ties=True)
        ours = m.uplift_by_percentile(y, u, t, strategy, bins=7, total=True).to_pandas(std=True)
        theirs = self.sm.uplift_by_percentile(y, u, t, strategy, bins=7, std=True, total=True)
        assert list(ours.index) == list(theirs.index)
        assert list(ours.columns) == list(theirs.columns)
        # all bins agree; in the total row only the rates (its errors are the whole sample's)
        np.testing.assert_allclose(ours.to_numpy(float)[:-1], theirs.to_numpy(float)[:-1])
        np.testing.assert_allclose(ours.to_numpy(float)[-1, :5], theirs.to_numpy(float)[-1, :5])

    def test_treatment_balance_curve(self):
        _, u, t = _random_case(2, ties=True)
        ours = m.treatment_balance_curve(u, t, 25)
        theirs = self.sm.treatment_balance_curve(u, t, 25)
        np.testing.assert_allclose(ours[0], theirs[0])
        np.testing.assert_allclose(ours[1], theirs[1])
