"""python -m velk: the demo and fitting CSV files, end to end."""

import json
import sys

import numpy as np
import pytest
from helpers import ar1, run_python
from numpy.testing import assert_allclose, assert_array_equal

import velk
from velk._cli import main
from velk._example import example


def cli(capsys, args):
    """main() on the words of args, exit 0: the JSON report with --json, else the text."""
    assert main(args.split()) == 0
    out = capsys.readouterr().out
    return json.loads(out) if "--json" in args.split() else out


def write(tmp_path, header, *cols):
    """A CSV file of the columns, floats written exactly."""
    path = tmp_path / "in.csv"
    rows = zip(*(np.asarray(c).tolist() for c in cols))
    path.write_text(header + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    return str(path)


@pytest.fixture
def csv_file(tmp_path):
    ex = example()
    rows = zip(ex.x.tolist(), ex.y[:, 0].tolist())
    lines = ["t,level,sd,label"] + [f"{x!r},{y!r},0.15,s{i}" for i, (x, y) in enumerate(rows)]
    lines[10] = "2.0,,0.15,gap"  # a missing value: the row is left out
    path = tmp_path / "data.csv"
    path.write_text("\n".join(lines) + "\n")
    return path


def test_demo_prints_jumps_and_draws_a_png(tmp_path):
    r = run_python(["-m", "velk", "demo", "--plot", "demo.png"], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    found = r.stdout.split("jumps found:")[1].split("\n")[0].split()
    assert_allclose([float(v) for v in found], example().jumps, atol=0.03)
    png = (tmp_path / "demo.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and png[12:16] == b"IHDR"
    width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
    assert width > 400 and height > 200


@pytest.mark.parametrize("setting,kw", [("--p 0.9 --gamma 20", {"p": 0.9, "gamma": 20.0}),
    ("--smoothing 0.05 --jump-cost 25", {"smoothing": 0.05, "jump_cost": 25.0})])  # fmt: skip
def test_fit_with_a_given_setting_is_the_apis(csv_file, tmp_path, capsys, setting, kw):
    out = tmp_path / "fitted.csv"
    report = cli(capsys, f"fit {csv_file} --x t --y level --delta sd {setting} --json --out {out}")
    ex = example()
    keep = np.arange(len(ex.x)) != 9
    spl = velk.fit(ex.x[keep], ex.y[keep, 0], delta=0.15, **kw)
    assert report["jumps"] == spl.jumps.tolist() and report["samples"] == len(ex.x) - 1
    assert (report["p"], report["score"]) == (spl.p, None)
    fitted = np.loadtxt(out, delimiter=",", skiprows=1)
    assert out.read_text().split("\n")[0] == "t,level_fit"
    assert_array_equal(fitted[:, 1], spl(fitted[:, 0]))


def test_fit_selects_parameters_and_plots_two_columns(tmp_path, capsys):
    x = np.linspace(0.0, 1.0, 120)
    y = np.where(x > 0.5, 1.0, 0.0) + 0.05 * np.random.default_rng(0).standard_normal(120)
    png = tmp_path / "two.png"
    text = cli(capsys, f"fit {write(tmp_path, 'x,a,b', x, y, -y)} --x x --y a,b --plot {png}")
    assert "chosen by velk.select" in text and "1 jumps: 0.5" in text
    assert png.read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize(
    "content,args,message",
    [
        (None, "--y v", "missing.csv: No such file or directory"),
        ("t,v\n1,2\n2,3\n", "--y w", "no column 'w' (columns: t, v)"),
        ("t,v\n1,2\n2,abc\n", "--y v", "line 3, column 'v': not a number"),
        ("t,v\n1,2\n", "--y v --p 0.5 --gamma 1", "at least two finite data points are required"),
        ("\nt,v\n1,2\n2,3\n", "--y v", "line 1 is blank; the header row must be the first line"),
        ("t,v,v\n1,2,3\n2,3,4\n", "--y v", "the header names column 'v' 2 times"),
        ("t,v\n1,2\n2,3,4\n3,4\n", "--y v", "line 3: 3 fields, but the header has 2"),
        ("t,v\n1,2\n2,-inf\n3,4\n", "--y v", "line 3, column 'v': infinite value '-inf'"),
        ("t,v\n2020-01-01,2\n2020-13-01,3\n", "--x t --y v", "line 3, column 't': not a number or"),
        ("t,v\n2020-01-01T00:00Z,2\n2020-01-02T00:00,3\n", "--x t --y v", "some times have a UTC"),
    ],
)  # fmt: skip
def test_file_and_data_errors_exit_1_with_one_line(tmp_path, capsys, content, args, message):
    path = tmp_path / "missing.csv"
    if content is not None:
        path.write_text(content)
    assert main(["fit", str(path), *args.split()]) == 1
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


@pytest.mark.parametrize("args", ["fit", "frobnicate", "demo --n-jobs -2",
    "select x.csv --y a --smoothing 1 --jump-cost 1", "select x.csv --y a --phi 0.5"] + [
    "fit x.csv --y a " + a for a in ["--p 0.5", "--p 2 --gamma 1", "--select --p 0.5 --gamma 1",
    "--n-jobs 0", "--gamma-grid 1", "--pruning fast", "--p-grid 0.5,x", "--jump-cost-grid 1,nan",
    "--p 0.5 --gamma 1 --p-grid 0.3", "--p-grid 0.3 --smoothing-grid 1", "--smoothing 1 --gamma 1",
    "--smoothing 1 --p 0.5 --jump-cost 1", "--smoothing -1 --jump-cost 1", "--noise laplace",
    "--smoothing 1 --jump-cost -1", "--p 0.5 --gamma 1 --n-jobs 2", "--noise-sd 1",
    "--smoothing 1 --jump-cost 1 --noise-sd 0", "--smoothing 1 --jump-cost 1 --noise ar1"]] + [
    "fit x.csv --y a,b --each --plot a.png"])  # fmt: skip
def test_usage_errors_exit_2(args, capsys):
    with pytest.raises(SystemExit) as e:
        main(args.split())
    assert e.value.code == 2
    assert "usage:" in capsys.readouterr().err


STEP = [0.0] * 6 + [1.0] * 6
EXACT = "--p 1e-20 --gamma 1e-25"  # the step taken, the rest interpolated


@pytest.mark.parametrize("delimiter", [",", ";", "\t"])
def test_delimiters_and_iso_dates(tmp_path, capsys, delimiter):
    # Monthly values with one UTC offset each, a step after June; ISO 8601 text back out.
    rows = [f"1969-{m:02d}-01T00:00+01:00{delimiter}{v}" for m, v in zip(range(1, 13), STEP)]
    path, out = tmp_path / "in.csv", tmp_path / "fitted.csv"
    path.write_text(f"month{delimiter}level\n" + "\n".join(rows) + "\n")
    report = cli(capsys, f"fit {path} --x month --y level {EXACT} --json --out {out}")
    # Jun 1 and Jul 1 at 00:00+01:00 are May 31 and Jun 30 at 23:00 UTC: the jump is halfway.
    assert report["jumps"] == ["1969-06-15T23:00Z"]
    first = {"start": "1968-12-31T23:00Z", "end": "1969-05-31T23:00Z", "samples": 6}
    assert report["segments"][0] == first
    fitted = out.read_text().splitlines()
    assert fitted[1].startswith("1968-12-31T23:00Z,") and len(fitted) == 13
    # On dates the smoothing lengths of the selection are seconds.
    report = cli(capsys, f"fit {path} --x month --y level --json --smoothing-grid 86400")
    assert report["smoothing"] == 86400.0 and report["score"] is not None


@pytest.mark.parametrize("form", ["1969-{:02d}", "1969-{:02d}-01", "1969-{:02d}-01 00:00:00"])
def test_naive_iso_forms(tmp_path, capsys, form):
    rows = "".join(f"{form.format(m)},{v}\n" for m, v in zip(range(1, 13), STEP))
    (tmp_path / "in.csv").write_text("t,v\n" + rows)
    report = cli(capsys, f"fit {tmp_path / 'in.csv'} --x t --y v --json {EXACT}")
    assert report["jumps"] == ["1969-06-16"]  # Jun 1 + 15 days


def test_strict_json_and_missing_cells(tmp_path, capsys):
    (tmp_path / "in.csv").write_text("t,v\n1,0\n2,NA\n3,\n4,1\n5,2\n")
    # Strict JSON (json.dumps refuses an infinity): the exit status is 0 only with gamma null.
    report = cli(capsys, f"fit {tmp_path / 'in.csv'} --x t --y v --p 0.5 --gamma inf --json")
    assert report["gamma"] is None and report["samples"] == 3 and report["jumps"] == []


def test_selection_options_reach_select(tmp_path, capsys, monkeypatch):
    x = np.linspace(0.0, 1.0, 40)
    path = write(tmp_path, "x,a", x, (x > 0.5) * 1.0)
    seen, real_select = {}, velk.select
    monkeypatch.setattr(velk, "select", lambda *a, **kw: seen.update(kw) or real_select(*a, **kw))
    grids = "--p-grid 0.9,0.99 --gamma-grid 1 --pruning pelt"
    report = cli(capsys, f"fit {path} --x x --y a {grids} --json")
    assert seen["p"] == [0.9, 0.99] and seen["gamma"] == [1.0] and report["p"] in (0.9, 0.99)
    assert (seen["pruning"], seen["progress"]) == ("PELT", False)
    cli(capsys, f"fit {path} --x x --y a --smoothing-grid 0.1 --jump-cost-grid 20,40")
    assert seen["smoothing"] == [0.1] and seen["jump_cost"] == [20.0, 40.0]


@pytest.fixture
def correlated(tmp_path):
    rng = np.random.default_rng(3)
    x = np.arange(300.0)
    y = np.sin(x / 60.0) + 1.5 * (x > 150) + 0.3 * ar1(np.r_[0.0, rng.standard_normal(299)], 0.6)
    return x, y, write(tmp_path, "t,v", x, y)


@pytest.mark.parametrize("noise", ["ar1", "student-t", None])  # None: the default
def test_noise_model_of_the_selection_is_the_apis(correlated, capsys, noise):
    x, y, path = correlated
    flag = "" if noise is None else f" --noise {noise}"
    report = cli(capsys, f"select {path} --x t --y v{flag} --json")
    sel = velk.select(x, y) if noise is None else velk.select(x, y, noise=noise)
    want = (sel.noise_model, sel.phi, None if np.isinf(sel.nu) else sel.nu)
    assert (report["noise_model"], report["phi"], report["nu"]) == want
    assert report["jumps"] == sel.spline.jumps.tolist() and report["score"] == sel.score
    assert f"noise: {sel.noise_model}" in cli(capsys, f"select {path} --x t --y v{flag}")


def test_plot_without_matplotlib_fails_before_any_work(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if it were not installed
    monkeypatch.setattr(velk, "fit", lambda *a, **k: pytest.fail("fitted before the check"))
    path, out = write(tmp_path, "t,v", [1, 2, 3], [0, 1, 2]), tmp_path / "fitted.csv"
    assert main(f"fit {path} --y v --p 0.5 --gamma 1 --out {out} --plot {out}.png".split()) == 1
    assert "--plot needs matplotlib" in capsys.readouterr().err and not out.exists()


@pytest.mark.parametrize("setting", ["", "--smoothing 0.05 --jump-cost 0.1"])
def test_each_column_is_a_series_of_its_own(tmp_path, capsys, setting):
    x = np.linspace(0.0, 1.0, 120)
    rng = np.random.default_rng(5)
    a = (x > 0.3) + 0.05 * rng.standard_normal(120)
    b = np.sin(3 * x) + (x > 0.8) + 0.05 * rng.standard_normal(120)
    path, out = write(tmp_path, "x,a,b,empty", x, a, b, [""] * 120), tmp_path / "fitted.csv"
    assert main(f"fit {path} --x x --y a,b,empty --each --json --out {out} {setting}".split()) == 1
    captured = capsys.readouterr()  # the empty column fails, alone
    reports = json.loads(captured.out)
    assert "column empty:" in captured.err and reports[2]["y"] == ["empty"]
    fitted = np.loadtxt(out, delimiter=",", skiprows=1)
    assert out.read_text().split("\n")[0] == "x,a_fit,b_fit"
    for k, col in enumerate([a, b]):
        if setting:
            spl = velk.fit(x, col, smoothing=0.05, jump_cost=0.1)
        else:
            spl = velk.select(x, col).spline
        assert reports[k]["jumps"] == spl.jumps.tolist() and len(spl.jumps) == 1
        assert_array_equal(fitted[:, k + 1], spl(x))


@pytest.fixture
def marginal(tmp_path):
    """A series with a clear jump and a marginal one (the probabilities are neither 0 nor 1
    for every noise level), as a file and as arrays."""
    rng = np.random.default_rng(21)
    x = np.linspace(0.0, 1.0, 160)
    y = np.sin(4 * x) + 1.5 * (x > 0.3) + 0.7 * (x > 0.7) + 0.3 * rng.standard_normal(160)
    sd = np.full(160, 0.3)
    return write(tmp_path, "x,y,sd,z", x, y, sd, -y), x, y, sd


SETTING = "--smoothing 0.1 --jump-cost 1.0"


def fitted(x, y, sd=None):
    return velk.fit(x, y, delta=sd, smoothing=0.1, jump_cost=1.0)


TABLES = {
    "select": ("", lambda x, y, sd: velk.select(x, y).jumps),
    "delta": (f"--delta sd {SETTING}", lambda x, y, sd: fitted(x, y, sd).jump_table(1.0, sd)),
    "delta and noise": (f"--delta sd --noise-sd 0.8 {SETTING}",
                        lambda x, y, sd: fitted(x, y, sd).jump_table(0.8, sd)),
    "noise": (f"--noise-sd 0.3 {SETTING}", lambda x, y, sd: fitted(x, y).jump_table(0.3)),
    "no noise level, no table": (SETTING, lambda x, y, sd: None),
}  # fmt: skip


@pytest.mark.parametrize("case", list(TABLES))
def test_json_records_and_text_lines_are_the_apis_table(marginal, capsys, case):
    path, x, y, sd = marginal
    argv, table_of_api = TABLES[case]
    want = table_of_api(x, y, sd)
    report = cli(capsys, f"fit {path} --x x --y y --json {argv}")
    records = report["jump_table"]
    if want is None:
        assert records is None and len(report["jumps"]) >= 2
    else:
        assert len(records) == len(want) >= 2
        for name in ("position", "low", "high", "size", "size_se", "probability"):
            assert_array_equal([r[name] for r in records], getattr(want, name), err_msg=name)
    text = cli(capsys, f"fit {path} --x x --y y {argv}")
    assert [ln.strip() for ln in text.splitlines() if " in [" in ln] == [
        f"{pos:.6g} in [{lo:.6g}, {hi:.6g}]: size {s[0]:.4g} +- {e[0]:.2g}, probability {p:.3f}"
        for pos, lo, hi, s, e, p in (want or [])
    ]


def test_dated_records_and_unknown_intervals(tmp_path, capsys):
    # Dates: the interval as ISO text like the position. An exact step leaves no noise:
    # the record is there with its position, and null where nothing is known.
    days = np.datetime64("2024-01-01") + np.arange(60) * np.timedelta64(1, "D")
    exact = np.where(np.arange(60) < 30, 0.0, 2.0)
    noisy = exact + 0.3 * np.random.default_rng(3).standard_normal(60)
    path = write(tmp_path, "day,noisy,exact", days, noisy, exact)
    (record,) = cli(capsys, f"fit {path} --x day --y noisy --json")["jump_table"]
    table = velk.select(days, noisy).jumps
    for name in ("position", "low", "high"):
        assert np.datetime64(record[name].rstrip("Z")) == getattr(table, name)[0]
    (record,) = cli(capsys, f"fit {path} --x day --y exact --json")["jump_table"]
    assert record["position"] == "2024-01-30T12:00"
    assert record["low"] is None and record["size_se"] == [None] and record["probability"] is None


@pytest.mark.parametrize("exc,code", [(ValueError, 1), (TypeError, 2), (KeyboardInterrupt, 130)])
def test_failures_exit_with_their_status(monkeypatch, capsys, exc, code):
    # A bad value is a failure (1), an option that does not suit the data a usage error (2),
    # Ctrl-C the shell's 128 + SIGINT, each without a traceback.
    def fail(args):
        raise exc("stop")

    monkeypatch.setattr("velk._cli.run_fit", fail)
    assert main(["fit", "x.csv", "--y", "a"]) == code
    assert "Traceback" not in capsys.readouterr().err
