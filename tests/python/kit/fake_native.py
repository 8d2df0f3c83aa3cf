"""A recording stand-in for the native class, for tests of the kit's own logic.

It checks its arguments the way the native class documents them (dict of lists, all-numeric
or all-str feature lists, int treatment groups, rows as lists), prints the native progress
lines on sys.stdout, remembers what it was given, and predicts for every row the observed
outcome rate of each group minus that of group 0.
"""

import json

PanicException = type("PanicException", (BaseException,), {"__module__": "vornex_runtime"})


class FakeForest:
    instances = []
    lose_trees = 0  # trees that "fail" on a training thread and are never reported

    def __init__(self, n_estimators, max_features, max_depth, min_sample_leaf, eval_func,
                 max_bins, balance, regularization, alpha):
        for flag in (balance, regularization):
            if type(flag) is not bool:
                raise TypeError("cannot be converted to 'PyBool'")
        self.settings = dict(
            n_estimators=n_estimators, max_features=max_features, max_depth=max_depth,
            min_sample_leaf=min_sample_leaf, eval_func=eval_func, max_bins=max_bins,
            balance=balance, regularization=regularization, alpha=float(alpha))
        self.features = None
        self.uplift = None
        self.fit_args = None
        self.predicted_rows = None
        self.predict_calls = []
        self.predict_threads = None
        FakeForest.instances.append(self)

    def fit(self, data, x_names, treatment_col, outcome_col, n_threads):
        assert type(data) is dict and all(type(v) is list for v in data.values())
        for name in x_names:
            column = data[name]
            numeric = all(type(v) in (float, int, bool) for v in column)
            text = all(type(v) is str for v in column)
            if not (numeric or text):
                raise PanicException("BAD type of column: " + name)
        treatment = data[treatment_col]
        outcome = data[outcome_col]
        assert all(type(v) is int for v in treatment) and all(type(v) is int for v in outcome)
        k = max(treatment)
        rates = []
        for g in range(k + 1):
            ys = [o for t, o in zip(treatment, outcome) if t == g]
            rates.append(sum(ys) / len(ys) if ys else float("nan"))
        self.uplift = [rates[g] - rates[0] for g in range(1, k + 1)]
        self.features = list(x_names)
        self.fit_args = (data, list(x_names), treatment_col, outcome_col, n_threads)
        print(f"Start training with {n_threads} threads...")
        for i in range(self.settings["n_estimators"] - FakeForest.lose_trees):
            print(f"Tree [{i + 1}] is finished!")

    def predict(self, rows, n_threads):
        assert all(type(r) is list for r in rows)
        for row in rows:
            assert len(row) == len(self.features)
            assert all(type(v) in (float, str) for v in row)
        self.predicted_rows = rows
        self.predict_calls.append(rows)
        self.predict_threads = n_threads
        return [list(self.uplift) for _ in rows]

    def feature_cols(self):
        if self.features is None:
            raise PanicException("called `Option::unwrap()` on a `None` value")
        return list(self.features)

    def get_feature_importance(self, importance_type):
        n = len(self.feature_cols())
        if importance_type == "gain":
            return [float(i + 1) for i in range(n)]
        return [1.0] * n

    def save(self, path):
        with open(path, "w") as out:
            json.dump({"settings": self.settings, "features": self.features,
                       "uplift": self.uplift}, out)

    def load(self, path):
        try:
            with open(path) as src:
                state = json.load(src)
        except (OSError, ValueError) as err:
            raise PanicException(f"called `Result::unwrap()` on an `Err` value: {err}") from err
        self.settings, self.features, self.uplift = (
            state["settings"], state["features"], state["uplift"])
