"""The HTML report, written by `quillmarsh evaluate --report` and opened in headless Chromium:
no console errors, the per-arm table in the page, text from the data shown as text, and a
screenshot that is not blank."""

import csv
import html.parser
import os
import shutil
import subprocess

import numpy as np
import pytest

from quillmarsh_kit import UpliftForest, report
from quillmarsh_kit.cli import main

HOSTILE_FEATURE = "<script>alert(1)</script>"
HOSTILE_CATEGORY = "<img src=x onerror=alert(2)>"


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no Chromium found (tools/setup.sh installs Debian's chromium package)")


def _open(browser, page, tmp_path):
    """The page's DOM as Chromium builds it, its console messages, and a screenshot's path."""
    flags = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
             "--v=0", f"--user-data-dir={tmp_path / 'profile'}"]
    url = page.resolve().as_uri()
    # The browser is not ours to sanitise: a sanitizer run's preload stays with the tests.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    dom = subprocess.run([*flags, "--dump-dom", url], capture_output=True, text=True,
                         timeout=120, check=True, env=env)
    console = [line for line in dom.stderr.splitlines() if ":CONSOLE" in line]
    shot = tmp_path / "shot.png"
    subprocess.run([*flags, f"--screenshot={shot}", "--window-size=1200,1600", url],
                   capture_output=True, timeout=120, check=True, env=env)
    return dom.stdout, console, shot


class _Page(html.parser.HTMLParser):
    """Tag counts and the text of every table cell, per table id."""

    def __init__(self):
        super().__init__()
        self.tags, self.cells, self._table, self._cell = {}, {}, None, None

    def handle_starttag(self, tag, attrs):
        self.tags[tag] = self.tags.get(tag, 0) + 1
        if tag == "table":
            self._table = dict(attrs).get("id")
            self.cells[self._table] = []
        elif tag in ("td", "th"):
            self._cell = ""

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self.cells[self._table].append(self._cell)
            self._cell = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data


def _labelled_csv(path, n, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    kind = rng.choice(["plain", HOSTILE_CATEGORY], n)
    arm = rng.choice(["none", "mail <b>A</b>", "call"], n)
    y = (rng.random(n) < 0.2 + 0.2 * (x > 0) * (arm != "none")).astype(int)
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow([HOSTILE_FEATURE, "kind", "arm", "converted"])
        writer.writerows(zip(x, kind, arm, y))


def test_evaluate_writes_a_report_that_a_browser_shows_safely(tmp_path, capsys):
    browser = _chromium()
    train, test = tmp_path / "train.csv", tmp_path / "test <i>.csv"
    _labelled_csv(train, 3000, 1)
    _labelled_csv(test, 2000, 2)
    model = tmp_path / "model.json"
    assert main(["train", str(train), "--treatment", "arm", "--control", "none", "--outcome",
                 "converted", "--n-estimators", "8", "--min-samples-leaf", "50", "--seed", "0",
                 "--model", str(model), "--quiet"]) == 0
    page = tmp_path / "report.html"
    assert main(["evaluate", str(test), "--model", str(model), "--treatment", "arm",
                 "--outcome", "converted", "--report", str(page)]) == 0
    assert f"report written to {page}" in capsys.readouterr().out
    assert sorted(os.listdir(tmp_path)) == ["model.json", "report.html", "test <i>.csv",
                                            "train.csv"]  # no temporary file left behind

    dom, console, shot = _open(browser, page, tmp_path)
    assert console == []
    parsed = _Page()
    parsed.feed(dom)
    assert parsed.tags.get("script", 0) == 0 and parsed.tags.get("b", 0) == 0
    assert parsed.tags["img"] == 3  # curves, importances, contributions; nothing from the data
    scores = parsed.cells["arm-scores"]
    assert scores[:3] == ["arm", "rows", "treated"] and "mail <b>A</b>" in scores
    assert HOSTILE_FEATURE in parsed.cells["features"]
    assert HOSTILE_CATEGORY in " ".join(parsed.cells["features"])
    assert any(HOSTILE_FEATURE in rule for rule in parsed.cells["segments-table"])
    import matplotlib.image

    pixels = matplotlib.image.imread(shot)
    assert pixels.shape[:2] == (1600, 1200) and pixels[..., :3].std() > 0.05


def test_the_browser_check_sees_a_page_that_runs_script(tmp_path):
    page = tmp_path / "bad.html"
    page.write_text("<html><body><script>console.error('ran')</script></body></html>")
    _, console, _ = _open(_chromium(), page, tmp_path)
    assert any("ran" in line for line in console)


def test_a_failed_write_leaves_nothing_beside_the_target(tmp_path):
    rng = np.random.default_rng(5)
    X = {"x": rng.normal(size=800)}
    t, y = rng.integers(0, 2, 800), rng.integers(0, 2, 800)
    model = UpliftForest(n_estimators=2, random_state=0).fit(X, t, y)
    target = tmp_path / "taken"
    target.mkdir()  # a directory cannot be replaced by a file
    with pytest.raises(OSError):
        report(model, X, t, y, target)
    assert os.listdir(tmp_path) == ["taken"] and os.listdir(target) == []
