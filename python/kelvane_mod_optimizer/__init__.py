"""The portfolio-weight optimiser plug-in of the kelvane host; see kelvane_mod_optimizer.optimizer."""


def _require(*names):
    """Refuses to load, naming what is missing, when this Python cannot import numpy or pandas
    (looked up, not imported: pandas alone takes a second to import)."""
    import importlib.util
    import sys

    missing = []
    for name in names:
        try:
            found = importlib.util.find_spec(name) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            missing.append(name)
    if missing:
        listed = " and ".join(missing)
        raise ImportError(
            f"kelvane_mod_optimizer needs {listed}, which {sys.executable} cannot import: install "
            f"{'them' if len(missing) > 1 else 'it'} (Debian: apt install "
            f"{' '.join('python3-' + m for m in missing)}; otherwise: pip install {' '.join(missing)})",
            name=missing[0])


_require("numpy", "pandas")

from kelvane_mod_optimizer._core import __version__  # noqa: E402,F401  (the project's version)
