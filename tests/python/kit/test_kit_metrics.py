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


# ------------------------------------------------------------ bootstrap intervals
INTERVALS = [(m.qini_auc_score_interval, m.qini_auc_score),
             (m.uplift_auc_score_interval, m.uplift_auc_score)]


def _effect_case(n, seed):
    """Treatment raises the response rate from 0.2 to 0.4 where x > 0; the prediction is x."""
    rng = np.random.default_rng(seed)
    x, t = rng.normal(size=n), rng.integers(0, 2, n)
    y = (rng.random(n) < 0.2 + 0.2 * t * (x > 0)).astype(int)
    return y, x, t


@pytest.mark.parametrize("kind,negative_effect", [("qini", True), ("qini", False),
                                                  ("uplift", True)])
def test_weighted_resamples_score_as_the_repeated_rows(kind, negative_effect):
    # Brute force: a resample given by row counts is the data with each row repeated that
    # often; its score by the plain functions must equal the vectorised weighted score.
    y, u, t = _random_case(3, n=60, ties=True)
    counts = np.random.default_rng(9).integers(0, 3, size=(6, len(y))).astype(float)
    counts[0] = 1.0
    fast = m._weighted_scores(kind, y, u, t, counts, negative_effect)
    for w, score in zip(counts.astype(int), fast):
        rows = np.repeat(np.arange(len(y)), w)
        if kind == "qini":
            slow = m.qini_auc_score(y[rows], u[rows], t[rows], negative_effect)
        else:
            slow = m.uplift_auc_score(y[rows], u[rows], t[rows])
        assert score == pytest.approx(slow, rel=1e-9, abs=1e-12)


@pytest.mark.parametrize("interval,point", INTERVALS)
def test_bootstrap_interval_holds_the_score_and_narrows_with_rows(interval, point):
    widths = []
    for n in (400, 6400):
        y, u, t = _effect_case(n, seed=n)
        score, lower, upper = interval(y, u, t, n_bootstrap=100)
        assert score == point(y, u, t)
        assert lower < score < upper
        assert interval(y, u, t, n_bootstrap=100) == (score, lower, upper)  # seeded
        widths.append(upper - lower)
    # the width of a mean-like statistic scales as 1/sqrt(n): 16 times the rows, ~1/4 the width
    assert widths[1] < widths[0] / 2


@pytest.mark.parametrize("interval,expected", [
    # Three treated responders ranked last, two control responders first: the uplift curve
    # falls to -2 at row 2 and returns to 0 at row 5 (area -5); the perfect curve rises to 3 at
    # row 3 and returns to 0 (area 7.5); random area 0, so the score is -5/7.5 = -2/3. It
    # depends on the ratio of group sizes, which every group-preserving resample keeps.
    (m.uplift_auc_score_interval, -2 / 3),
    (m.qini_auc_score_interval, 0.0),
])
def test_resampling_within_groups_keeps_group_sizes(interval, expected):
    y, u, t = [1, 1, 1, 1, 1], [0, 0, 0, 1, 1], [1, 1, 1, 0, 0]
    assert interval(y, u, t, n_bootstrap=50) == pytest.approx((expected,) * 3)


def test_qini_band_surrounds_the_curve_mostly():
    y, u, t = _effect_case(2000, seed=1)
    x, lower, upper = m.qini_curve_band(y, u, t, n_bootstrap=100, points=41)
    np.testing.assert_array_equal(x, np.linspace(0, 2000, 41))
    inside = (lower <= np.interp(x, *m.qini_curve(y, u, t)) + 1e-9) & \
        (np.interp(x, *m.qini_curve(y, u, t)) <= upper + 1e-9)
    assert inside.mean() > 0.9 and lower[0] == upper[0] == 0.0


# ------------------------------------------------------------ policy values
# Eight rows, control 0 and arm 1, propensities {0: 0.75, 1: 0.25}, value 2, arm cost 0.5,
# rates m0 = 0.5 everywhere and m1 = 0.25 on control rows, 0.75 on treated rows. Row score
# 2 * (m_p + [g == p] / e_p * (y - m_p)) - cost(p):
#   row g p y  m_p   score
#   0   0 0 1  0.5   2 * (0.5 + (0.5) / 0.75)        = 7/3
#   1   0 1 0  0.25  2 * 0.25 - 0.5                  = 0
#   2   0 0 0  0.5   2 * (0.5 - 0.5 / 0.75)          = -1/3
#   3   0 1 1  0.25  2 * 0.25 - 0.5                  = 0
#   4   1 1 1  0.75  2 * (0.75 + 0.25 / 0.25) - 0.5  = 3
#   5   1 0 1  0.5   2 * 0.5                         = 1
#   6   1 1 0  0.75  2 * (0.75 - 0.75 / 0.25) - 0.5  = -5
#   7   1 0 1  0.5   2 * 0.5                         = 1
# mean 2/8 = 0.25.
PV_Y, PV_G, PV_P = [1, 0, 0, 1, 1, 1, 0, 1], [0, 0, 0, 0, 1, 1, 1, 1], [0, 1, 0, 1, 1, 0, 1, 0]
PV_RATES = np.c_[np.full(8, 0.5), [0.25] * 4 + [0.75] * 4]
PV_SCORES = np.array([7 / 3, 0, -1 / 3, 0, 3, 1, -5, 1])


@pytest.mark.parametrize("propensity", [
    {0: 0.75, 1: 0.25},
    np.array([0.75] * 4 + [0.25] * 4),            # each row's own group
    np.tile([0.75, 0.25], (8, 1)),                # every group per row
])
def test_doubly_robust_value_by_hand(propensity):
    got = m.policy_value(PV_Y, PV_G, PV_P, PV_RATES, propensity, value=2.0, costs={1: 0.5},
                         level=0.9)
    half = 1.6448536269514722 * PV_SCORES.std(ddof=1) / np.sqrt(8)
    np.testing.assert_allclose(got, [0.25, 0.25 - half, 0.25 + half], rtol=1e-12)


@pytest.mark.parametrize("policy,expected", [
    ("c", lambda y, g: y[g == "c"].mean()),
    ("a", lambda y, g: y[g == "a"].mean() - 0.01),
    ("b", lambda y, g: y[g == "b"].mean()),
])
def test_inverse_propensity_value_of_constant_policies_is_the_group_mean(policy, expected):
    rng = np.random.default_rng(5)
    g = rng.choice(np.array(["c", "a", "b"], dtype=object), 500, p=[0.5, 0.3, 0.2])
    y = (rng.random(500) < np.where(g == "a", 0.3, 0.2)).astype(int)
    got = m.policy_value(y, g, policy, costs={"a": 0.01}, control="c")
    assert got.value == pytest.approx(expected(y, g), rel=1e-12)
    assert got.lower < got.value < got.upper


def test_targeting_curve_treats_the_top_rows():
    y, u, t = _effect_case(300, seed=2)
    q, curves = m.targeting_value_curve(y, u, t, costs={1: 0.05}, fractions=[0, 0.5, 1])
    for share, row in zip(q, curves[1]):
        policy = np.zeros(300, dtype=int)
        policy[np.argsort(-u)[:int(share * 300)]] = 1
        np.testing.assert_allclose(row, m.policy_value(y, t, policy, costs={1: 0.05}))


@pytest.mark.parametrize("call,message", [
    (lambda: m.qini_auc_score_interval(Y, U, T, level=1.0), "level must be"),
    (lambda: m.uplift_auc_score_interval(Y, U, T, n_bootstrap=0), "n_bootstrap must be"),
    (lambda: m.policy_value(PV_Y, PV_G, 2), "not one of the groups"),
    (lambda: m.policy_value(PV_Y, [0, 0, 0, 0, 1, 1, 1, 5], 0, arms=[1]), "neither the control"),
    (lambda: m.policy_value(PV_Y, PV_G, 0, PV_RATES[:, :1]), "rates must have shape"),
    (lambda: m.policy_value(PV_Y, PV_G, 0, propensity={0: 0.5}), "no entry for the groups"),
    (lambda: m.policy_value(PV_Y, PV_G, 0, propensity=np.zeros(8)), r"must lie in \(0, 1\]"),
    (lambda: m.policy_value(PV_Y, PV_G, 0, costs={0: 1.0}), "costs nothing"),
    (lambda: m.policy_value(PV_Y, PV_G, [0, 1]), "policy has 2 labels for 8 rows"),
])
def test_bad_evidence_arguments_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()
