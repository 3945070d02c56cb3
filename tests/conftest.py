import warnings

# When a property test fails, Hypothesis imports libcst (if installed) to suggest a patch.
# Some libcst releases warn on import, and the strict warning filter would turn that into
# an internal error that ends the whole run. Import it up front, quietly.
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    try:
        import hypothesis.extra._patching  # noqa: F401
    except ImportError:
        pass
