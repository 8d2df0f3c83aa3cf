"""Every stored gain and leaf of grown trees, recomputed from the training rows that reach
them: an independent reading of the saved trees against the divergence arithmetic, written
here in its documented order so that the comparison is exact, for both ways of training."""
import json
import math

import pytest

np = pytest.importorskip("numpy")
import quillmarsh  # noqa: E402

KL_GUARD = 19.931568569324174
CHI_GUARD = 1000000.0


def div(a, b):
    """a / b as IEEE doubles divide (Python raises on a zero divisor instead)."""
    a, b = float(a), float(b)
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def log2(x):
    if x == 0.0:
        return -math.inf
    return math.log2(x) if x > 0.0 else math.nan  # NaN stays NaN


def ed(p, q):
    d = p - q
    sq = d * d
    return sq + sq


def kl(p, q):
    if p == 0.0 or q == 0.0:
        return KL_GUARD
    return p * log2(div(p, q)) + (1.0 - p) * log2(div(1.0 - p, 1.0 - q))


def chi(p, q):
    if p == 0.0 or q == 0.0:
        return CHI_GUARD
    d = p - q
    sq = d * d
    return div(sq, q) + div(sq, 1.0 - q)


MEASURES = {"Euclidean": ed, "KL": kl, "Chi": chi}


def node_divergence(c, measure, balance, n_rows):
    q = div(c[1], c[0])
    k = len(c) // 2 - 1
    total = 0.0
    if balance:
        w = 1.0 / k
        for g in range(1, k + 1):
            total += measure(div(c[2 * g + 1], c[2 * g]), q) * w
    else:
        treated = float(n_rows - c[0])
        for g in range(1, k + 1):
            total += measure(div(c[2 * g + 1], c[2 * g]), q) * div(c[2 * g], treated)
    return total


def normaliser(c, cl, n, n_left, alpha):
    n_c, n_cl = c[0], cl[0]
    q = div(n_cl, n_left)
    a_c = div(n_cl, n_c)
    a_t = div(n_left - n_cl, n - n_c)
    d = a_c - a_t
    z = 2.0 * (d * d) * (((1.0 - q * q) - (1.0 - q) * (1.0 - q)) * alpha) + 0.5
    k = len(c) // 2 - 1
    for g in range(1, k + 1):
        r = div(cl[2 * g], cl[2 * g] + n_cl)
        d = div(cl[2 * g], c[2 * g]) - a_c
        z += 2.0 * (d * d) * (((1.0 - r * r) - (1.0 - r) * (1.0 - r)) * (1.0 - alpha))
    for g in range(k + 1):
        share = div(cl[2 * g], c[2 * g])
        z += (1.0 - share * share) * div(cl[2 * g], n_left)
    return z


def same(a, b):
    """Equal as doubles; NaN (saved as null) matches NaN."""
    a = math.nan if a is None else a
    b = math.nan if b is None else b
    return (math.isnan(a) and math.isnan(b)) or a == b


class Data:
    """Two numeric features (x1 with missing values), a string feature, control and two arms."""

    def __init__(self, n=3000, seed=11):
        rng = np.random.default_rng(seed)
        self.x = [rng.random(n, dtype=np.float32), rng.random(n, dtype=np.float32)]
        self.x[1][rng.random(n) < 0.15] = np.nan
        self.categories = ["red", "green", "blue", "grey"]
        self.codes = rng.integers(0, 4, n).astype(np.uint32)
        self.treatment = rng.integers(0, 3, n).astype(np.int32)
        lift = 0.3 * ((self.treatment == 1) & (self.x[0] > 0.6)) - 0.15 * (
            (self.treatment == 2) & (self.codes == 1))
        self.outcome = (rng.random(n) < 0.3 + lift).astype(np.uint8)
        self.names = ["x0", "x1", "colour"]
        self.k = int(self.treatment.max())

    def goes_left(self, col_idx, split_value, rows):
        if col_idx < 2:
            threshold = np.float32(split_value["Numeric"])
            return self.x[col_idx][rows] <= threshold  # NaN on either side goes right
        category = split_value["Str"]
        return np.array([self.categories[c] == category for c in self.codes[rows]], dtype=bool)

    def counts(self, rows):
        t, y = self.treatment[rows], self.outcome[rows].astype(np.int64)
        sizes = np.bincount(t, minlength=self.k + 1)
        positives = np.bincount(t, weights=y, minlength=self.k + 1).astype(np.int64)
        return [int(v) for pair in zip(sizes, positives) for v in pair]


def train_class(data, tmp_path, settings):
    model = quillmarsh._UpliftRandomForestModel(
        settings["n_estimators"], settings["max_features"], settings["max_depth"],
        settings["min_samples_leaf"], settings["criterion"], settings["max_bins"],
        settings["balance"], settings["regularization"], settings["alpha"])
    table = {"x0": data.x[0].tolist(), "x1": data.x[1].tolist(),
             "colour": [data.categories[c] for c in data.codes],
             "t": data.treatment.tolist(), "y": data.outcome.tolist()}
    import contextlib
    import io
    with contextlib.redirect_stdout(io.StringIO()):
        model.fit(table, data.names, "t", "y", 2)
    path = tmp_path / "class.json"
    model.save(str(path))
    return json.loads(path.read_text(encoding="utf-8"))


def train_engine(data, tmp_path, settings):
    from quillmarsh_kit import _engine as engine
    columns = [data.x[0], data.x[1], (data.codes, data.categories)]
    forest = engine.fit(columns, data.names, data.treatment, data.outcome, n_threads=2, seed=3,
                        **settings)
    path = tmp_path / "engine.json"
    forest.save(str(path))
    return json.loads(path.read_text(encoding="utf-8"))


TRAINERS = {"class": train_class, "engine": train_engine}


def check_node(data, tree, slot, depth, rows, stats):
    node = tree["nodes"][slot]
    c = data.counts(rows)
    if node["prob"]:
        expected = [div(c[2 * g + 1], c[2 * g]) - div(c[1], c[0]) for g in range(1, data.k + 1)]
        assert len(node["prob"]) == data.k
        assert all(same(a, b) for a, b in zip(node["prob"], expected)), (slot, node, c)
        stats["leaves"] += 1
        return
    assert depth < tree["max_depth"] and node["gain"] > 0.0
    assert tree["feature_cols"][node["col_idx"]] == node["col_name"]
    left = data.goes_left(node["col_idx"], node["split_value"], rows)
    rows_left, rows_right = rows[left], rows[~left]
    assert min(len(rows_left), len(rows_right)) > tree["min_sample_leaf"]
    measure = MEASURES[tree["eval_func"]]
    n, n_left, n_right = len(rows), len(rows_left), len(rows_right)
    cl, cr = data.counts(rows_left), data.counts(rows_right)
    d_parent = node_divergence(c, measure, tree["balance"], n)
    d_left = node_divergence(cl, measure, tree["balance"], n_left)
    d_right = node_divergence(cr, measure, tree["balance"], n_right)
    pi = n_left / n
    gain = (d_right * (1.0 - pi)) + (d_left * pi) - d_parent
    if tree["regularization"]:
        gain = div(gain, normaliser(c, cl, n, n_left, tree["alpha"]))
    assert node["gain"] == gain, (slot, node["gain"], gain)
    stats["splits"] += 1
    check_node(data, tree, 2 * slot + 1, depth + 1, rows_left, stats)
    check_node(data, tree, 2 * slot + 2, depth + 1, rows_right, stats)


@pytest.mark.parametrize("trainer", sorted(TRAINERS))
@pytest.mark.parametrize("criterion,balance,regularization", [
    ("ED", False, False), ("KL", True, False), ("CHI", False, True), ("KL", False, True)])
def test_stored_gains_and_leaves_are_those_of_the_rows_reaching_them(
        tmp_path, trainer, criterion, balance, regularization):
    data = Data()
    settings = dict(n_estimators=3, max_features=3, max_depth=4, min_samples_leaf=30,
                    criterion=criterion, max_bins=10, balance=balance,
                    regularization=regularization, alpha=0.7)
    document = TRAINERS[trainer](data, tmp_path, settings)
    assert len(document["trees"]) == 3
    stats = {"splits": 0, "leaves": 0}
    for tree in document["trees"]:
        assert tree["feature_cols"] == data.names
        check_node(data, tree, 0, 0, np.arange(len(data.treatment)), stats)
    assert stats["splits"] >= 3 and stats["leaves"] >= 6  # the trees really grew
