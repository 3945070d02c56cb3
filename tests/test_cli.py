"""python -m velk: the demo and fitting CSV files, end to end."""

import json
import subprocess
import sys

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import velk
from velk._cli import main
from velk._example import example


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "velk", *args], cwd=cwd, capture_output=True, text=True, check=False
    )


@pytest.fixture
def csv_file(tmp_path):
    ex = example()
    lines = ["t,level,sd,label"]
    lines += [
        f"{x!r},{y!r},0.15,s{i}" for i, (x, y) in enumerate(zip(ex.x.tolist(), ex.y[:, 0].tolist()))
    ]
    lines[10] = "2.0,,0.15,gap"  # a missing value: the row is left out
    path = tmp_path / "data.csv"
    path.write_text("\n".join(lines) + "\n")
    return path


def test_demo_prints_jumps_and_draws_a_png(tmp_path):
    r = run("demo", "--plot", "demo.png", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    found = r.stdout.split("jumps found:")[1].split("\n")[0].split()
    assert_allclose([float(v) for v in found], example().jumps, atol=0.03)
    png = (tmp_path / "demo.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and png[12:16] == b"IHDR"
    width, height = int.from_bytes(png[16:20], "big"), int.from_bytes(png[20:24], "big")
    assert width > 400 and height > 200


def test_fit_with_given_parameters(csv_file, tmp_path, capsys):
    out = tmp_path / "fitted.csv"
    args = [str(csv_file), "--x", "t", "--y", "level", "--delta", "sd", "--p", "0.9"]
    assert main(["fit", *args, "--gamma", "20", "--json", "--out", str(out)]) == 0
    report = json.loads(capsys.readouterr().out)
    ex = example()
    keep = np.arange(len(ex.x)) != 9
    spl = velk.fit(ex.x[keep], ex.y[keep, 0], p=0.9, gamma=20.0, delta=0.15)
    assert report["jumps"] == spl.jumps.tolist() and report["samples"] == len(ex.x) - 1
    fitted = np.loadtxt(out, delimiter=",", skiprows=1)
    assert out.read_text().split("\n")[0] == "t,level_fit"
    assert_array_equal(fitted[:, 1], spl(fitted[:, 0]))


def test_fit_selects_parameters_and_plots_two_columns(tmp_path, capsys):
    path = tmp_path / "two.csv"
    x = np.linspace(0.0, 1.0, 120)
    y = np.where(x > 0.5, 1.0, 0.0) + 0.05 * np.random.default_rng(0).standard_normal(120)
    path.write_text("x,a,b\n" + "".join(f"{u},{v},{-v}\n" for u, v in zip(x, y)))
    png = tmp_path / "two.png"
    assert main(["fit", str(path), "--x", "x", "--y", "a,b", "--plot", str(png)]) == 0
    text = capsys.readouterr().out
    assert "chosen by velk.select" in text and "1 jumps: 0.5" in text
    assert png.read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize(
    "content,args,message",
    [
        (None, ["--y", "level"], "cannot read missing.csv: No such file"),
        ("t,level\n1,2\n2,3\n", ["--y", "levle"], "no column 'levle' (columns: t, level)"),
        ("t,level\n1,2\n2,abc\n", ["--y", "level"], "line 3, column 'level': not a number"),
        (
            "t,level\n1,2\n",
            ["--x", "t", "--y", "level", "--p", "0.5", "--gamma", "1"],
            "at least two finite data points are required, got 1",
        ),
        (
            "t,level\n1,2\n2,3\n",
            ["--y", "level"],
            "select needs at least three distinct x values, got 2",
        ),
    ],
)
def test_fit_data_errors_exit_1_with_one_line(tmp_path, content, args, message):
    name = "missing.csv" if content is None else "in.csv"
    if content is not None:
        (tmp_path / name).write_text(content)
    r = run("fit", name, *args, cwd=tmp_path)
    assert r.returncode == 1
    assert message in r.stderr and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr


@pytest.mark.parametrize(
    "args",
    [
        ["fit"],
        ["fit", "x.csv", "--y", "a", "--p", "0.5"],
        ["fit", "x.csv", "--y", "a", "--p", "2", "--gamma", "1"],
        ["fit", "x.csv", "--y", "a", "--select", "--p", "0.5", "--gamma", "1"],
        ["frobnicate"],
    ],
)
def test_usage_errors_exit_2(args, capsys):
    with pytest.raises(SystemExit) as e:
        main(args)
    assert e.value.code == 2
    assert "usage:" in capsys.readouterr().err
