"""Sphinx configuration of velk's documentation: an API reference built from the
docstrings of the installed package, and a worked example.

    python -m pip install ".[docs]"
    python -m sphinx -W -b html docs docs/_build/html
"""

from importlib.metadata import version as _version

project = "velk"
author = "the velk developers"
copyright = "the velk developers"
release = _version("velk")
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "matplotlib.sphinxext.plot_directive",
]

exclude_patterns = ["_build"]
templates_path = ["_templates"]
# `name` in a docstring links to that object where it exists.
default_role = "py:obj"

# One page per public name, listed from velk.__all__ (see _templates/), so the
# reference follows the package as names are added or removed.
autosummary_generate = True
autosummary_ignore_module_all = False
autodoc_typehints = "none"  # the numpydoc sections describe the types
numpydoc_show_class_members = False  # the class template lists the members
numpydoc_xref_param_type = False

# The worked example runs when the documentation is built; its figure is made then.
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.figsize": (8.0, 4.0), "figure.autolayout": True}

html_theme = "alabaster"
html_static_path: list[str] = []

# The raw functions of velk._velk_core carry no docstrings of their own (the module
# keeps its fixed interface); their reference pages take these.
RAW_DOCS = {
    "velk.velk": """
Fit with the first compiled module and return its raw result.

Minimises ``p * D + (1 - p) * R + gamma * jumps`` over all ways to cut the samples
into segments (D the weighted residual sum of squares, R the integral of ``f''**2``),
in the caller's units, holding the interpreter lock. `velk.fit` is the convenient
way to fit; this is the core's own interface.

Parameters
----------
x : ndarray of float64, shape (n,), or None
    Abscissae; None means 1, 2, ..., n.
y : ndarray of float64, shape (n, dim)
    Values, one row per sample.
p, gamma : float
    Smoothing parameter in [0, 1] and penalty per jump, >= 0.
delta : ndarray of float64, shape (n,), optional
    Standard deviation of each sample (default 1).
pruning : {"FPVI", "PELT"}, optional
    Pruning strategy of the jump search (any case).
precondition : {"none", "local"}, optional
    Scaling of the segment model used by the search (any case).

Returns
-------
dict
    The keys ``breaks``, ``coefs`` (piece k of component j in row ``k * dim + j``,
    highest power first), ``dim``, ``order``, ``discont``, ``discont_idx``, ``x``,
    ``y`` (the prepared samples), ``complexity_counter``, ``interval_cell``,
    ``pp_cell``, ``F``, ``partition``, ``precondition`` and ``tau``.
    ``JumpSpline(result, p, gamma)`` wraps it.

Raises
------
TypeError
    For an argument of the wrong type (arrays must be float64).
ValueError
    For an unknown option name.
RuntimeError
    For a bad value.
""",
    "velk.velk_cvscore": """
The core's cross-validation score of p and gamma.

For each fold, fits the samples outside it as `velk.velk` does and predicts the
held-out ones; returns the sum of the squared prediction errors divided by delta
squared, over the number of samples. `velk.cv_score` is the convenient way to score.

Parameters
----------
x : ndarray of float64, shape (n,)
    Abscissae.
y : ndarray of float64, shape (n, dim)
    Values, one row per sample.
p, gamma : float
    As for `velk.velk`.
delta : ndarray of float64, shape (n,)
    Standard deviation of each sample.
folds : sequence of sequences of int
    The held-out sample indices of each fold.
pruning, precondition : str, optional
    As for `velk.velk`.

Returns
-------
float

Raises
------
TypeError, ValueError, RuntimeError
    As `velk.velk`.
""",
}


def _raw_docs(app, what, name, obj, options, lines):
    if name in RAW_DOCS and not any(line.strip() for line in lines):
        lines[:] = RAW_DOCS[name].strip("\n").splitlines()


def setup(app):
    # Before numpydoc, which turns the sections into reST.
    app.connect("autodoc-process-docstring", _raw_docs, priority=100)
