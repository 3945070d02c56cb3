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


def pytest_addoption(parser):
    parser.addoption(
        "--shard",
        metavar="I/N",
        help="run only every N-th test from the I-th on (I counts from 0): the sanitizer "
        "session runs the suite as N such processes at once",
    )


def pytest_collection_modifyitems(config, items):
    spec = config.getoption("--shard")
    if spec:
        from helpers import shard

        kept = shard(len(items), spec)
        config.hook.pytest_deselected(items=[t for k, t in enumerate(items) if k not in kept])
        items[:] = [items[k] for k in sorted(kept)]
