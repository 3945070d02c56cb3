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
plot_rcparams = {"figure.figsize": (8.0, 4.0)}

html_theme = "alabaster"
html_static_path: list[str] = []
