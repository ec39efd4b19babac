"""What a caller reads of the packages: signatures and defaults, documentation, type stubs, and
the message when numpy or pandas is missing."""

import ast
import inspect
import os
import re
import subprocess
import sys

import pytest

import kelvane_mod_optimizer
import kelvane_mod_optimizer.optimizer as kmo
from kelvane_mod_optimizer import _core
from conftest import BASKET, DATE, SAMPLE_BUNDLE

REQUIRED = inspect.Parameter.empty
# optimize as strategies call it: every parameter by position or by name, these defaults.
OPTIMIZE = [("order_book_ids", REQUIRED), ("date", REQUIRED), ("method", kmo.OptimizeMethod.RISK_PARITY),
            ("bnds", None), ("cons", None), ("cov_shrinkage", True), ("benchmark", None),
            ("risk_aversion_coefficient", 1), ("window", 132), ("max_iteration", 1000), ("tol", 1e-8),
            ("quiet", False)]
SOLVERS = {
    "risk_parity_optimize": ["c_m", "init_weight", "bounds", "max_iteration"],
    "risk_parity_with_cons_optimize": ["c_m", "init_weight", "bounds", "cons", "max_iteration", "tol"],
    "risk_budgeting_optimize": ["c_m", "bounds", "cons", "max_iteration", "tol"],
    "min_variance_optimize": ["c_m", "init_weight", "bounds", "cons", "max_iteration", "tol"],
    "mean_variance_optimize": ["c_m", "init_weight", "risk_aversion_coefficient", "expected_return", "bounds",
                               "cons", "max_iteration", "tol"],
    "min_tracking_error_optimize": ["init_weight", "benchmark", "df", "bounds", "cons", "max_iteration", "tol"],
}
PUBLIC = {"optimize", "OptimizeMethod", "OptimizationFailed", "MIN_OPTIMIZE_DATE", "INSTRUMENT_TYPE_MAP",
          "GICSConstraint", "ShenWanConstraint", "FundTypeConstraint", *SOLVERS}
STUBS = os.path.dirname(kelvane_mod_optimizer.__file__)


def parameters(function):
    return [(p.name, p.default) for p in inspect.signature(function).parameters.values()]


def test_signatures_and_defaults_are_those_strategies_call():
    for optimize in (kmo.optimize, kmo.optimize_report):
        got = parameters(optimize)
        assert got == OPTIMIZE, optimize.__name__
        kinds = {p.kind for p in inspect.signature(optimize).parameters.values()}
        assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
        # The defaults' types too: integers stay integers (they reach messages as written).
        defaults = dict(got)
        assert defaults["method"] is kmo.OptimizeMethod.RISK_PARITY
        assert [type(defaults[k]) for k in ("risk_aversion_coefficient", "window", "max_iteration", "tol")] == \
            [int, int, int, float]
    for name, names in SOLVERS.items():
        assert parameters(getattr(kmo, name)) == [(n, REQUIRED) for n in names], name


@pytest.mark.usefixtures("env")
def test_every_argument_reaches_the_core_in_its_place():
    # Positional through the documented signature against the core's own named arguments.
    positional = kmo.optimize(BASKET, DATE, kmo.OptimizeMethod.MEAN_VARIANCE, {"*": (0, 0.3)},
                              kmo.GICSConstraint({"Financials": (0.2, 0.6)}), False, None, 3, 120, 500, 1e-7, True)
    named = _core.optimize(order_book_ids=BASKET, date=DATE, method=kmo.OptimizeMethod.MEAN_VARIANCE,
                           bnds={"*": (0, 0.3)}, cons=kmo.GICSConstraint({"Financials": (0.2, 0.6)}),
                           cov_shrinkage=False, benchmark=None, risk_aversion_coefficient=3, window=120,
                           max_iteration=500, tol=1e-7, quiet=True)
    assert positional == named
    assert positional != kmo.optimize(BASKET, DATE, quiet=True)
    with pytest.raises(kmo.KVInvalidArgument, match="risk_aversion_coefficient"):
        kmo.optimize(BASKET, DATE, kmo.OptimizeMethod.RISK_PARITY, None, None, True, None, -1)


def test_help_documents_each_public_name_and_parameter():
    for name in PUBLIC - {"MIN_OPTIMIZE_DATE", "INSTRUMENT_TYPE_MAP"}:
        assert inspect.getdoc(getattr(kmo, name)), name
    # The constants cannot carry their own text: the module's says what they are.
    for name in ("MIN_OPTIMIZE_DATE", "INSTRUMENT_TYPE_MAP"):
        assert name in inspect.getdoc(kmo)
    text = inspect.getdoc(kmo.optimize)
    for name, _ in OPTIMIZE:
        assert re.search(rf"^\s*{name}\b", text, re.M), name
    for member in kmo.OptimizeMethod:
        assert member.name in text
    assert "daily simple returns" in inspect.getdoc(kmo)
    for name, names in SOLVERS.items():
        doc = inspect.getdoc(getattr(kmo, name))
        for parameter in names:
            assert re.search(rf"^\s*{parameter}\b", doc, re.M), (name, parameter)


def stub_functions(path):
    tree = ast.parse(open(path, encoding="utf-8").read())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args.args
            defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
            out[node.name] = [(a.arg, d) for a, d in zip(args, defaults)]
    names = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    names |= {t.id for n in tree.body if isinstance(n, (ast.AnnAssign, ast.Assign))
              for t in ([n.target] if isinstance(n, ast.AnnAssign) else n.targets) if isinstance(t, ast.Name)}
    return out, names


def test_type_stubs_agree_with_the_modules():
    functions, _ = stub_functions(os.path.join(STUBS, "optimizer.pyi"))
    for name in {"optimize", *SOLVERS}:
        runtime = parameters(getattr(kmo, name))
        assert [n for n, _ in functions[name]] == [n for n, _ in runtime], name
        for (n, stub_default), (_, default) in zip(functions[name], runtime):
            if default is REQUIRED:
                assert stub_default is None, (name, n)
            elif n == "method":  # the enumeration member, written `...`
                assert stub_default.value is Ellipsis
            else:
                assert stub_default.value == default and type(stub_default.value) is type(default), (name, n)
    report_functions, _ = stub_functions(os.path.join(STUBS, "report.pyi"))
    assert [n for n, _ in report_functions["optimize_report"]] == [n for n, _ in OPTIMIZE]
    import dunlith
    import kelvane
    for package in (kelvane_mod_optimizer, kelvane, dunlith):
        assert os.path.isfile(os.path.join(os.path.dirname(package.__file__), "py.typed")), package.__name__


MODULES = ["kelvane_mod_optimizer", "kelvane_mod_optimizer.optimizer", "kelvane_mod_optimizer.report",
           "kelvane_mod_optimizer.batch", "kelvane_mod_optimizer.protocol", "kelvane.environment",
           "kelvane.utils.exception", "kelvane.utils.logger", "kelvane.data.base_data_source",
           "kelvane.data.data_proxy", "dunlith", "dunlith.fund"]


@pytest.mark.parametrize("name", MODULES)
def test_each_module_has_a_stub_naming_its_public_names(name):
    import importlib
    import types
    module = importlib.import_module(name)
    stub = module.__file__[:-len(".py")] + ".pyi"
    _, names = stub_functions(stub)
    tree = ast.parse(open(stub, encoding="utf-8").read())
    names |= {a.asname or a.name for n in tree.body if isinstance(n, ast.ImportFrom) for a in n.names
              if a.asname == a.name}
    public = {n for n, v in vars(module).items() if not n.startswith("_") and not isinstance(v, types.ModuleType)}
    public -= {"get_client", "datetime", "json", "math", "os", "threading", "namedtuple", "logging"}
    missing = public - names
    assert not missing, missing


@pytest.mark.parametrize("blocked, named", [(["pandas"], "pandas"), (["numpy", "pandas"], "numpy and pandas")])
def test_importing_without_numpy_or_pandas_says_what_is_missing(blocked, named):
    code = "import sys\n" + "".join(f"sys.modules[{m!r}] = None\n" for m in blocked) + \
        "import kelvane_mod_optimizer.optimizer\n"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 1
    last = r.stderr.strip().splitlines()[-1]
    assert last.startswith(f"ImportError: kelvane_mod_optimizer needs {named}, which "), last
    assert "apt install " + " ".join("python3-" + m for m in blocked) in last


def test_the_host_and_the_data_client_load_without_the_optimiser():
    # Each package's names come from its own native part; the C++ core underneath is shared,
    # so an environment made here is the one the optimiser then reads.
    code = ("import sys, datetime, tempfile\n"
            "import dunlith, kelvane.environment as e, kelvane.utils.exception as x, kelvane.utils.logger\n"
            "from kelvane.data.base_data_source import BaseDataSource\n"
            "from kelvane.data.data_proxy import DataProxy\n"
            "dunlith.init('u', 'p', ('localhost', 16003), tempfile.mkdtemp())\n"
            "try:\n"
            "    dunlith.fund.instruments('510050.XSHG')\n"
            "except x.KVInvalidArgument:\n"
            "    print('KVInvalidArgument')\n"
            "assert not [m for m in sys.modules if m.startswith('kelvane_mod_optimizer')], sys.modules.keys()\n"
            "env = e.Environment(None)\n"
            f"env.data_proxy = DataProxy(BaseDataSource({SAMPLE_BUNDLE!r}))\n"
            f"dunlith.init('u', 'p', ('localhost', 16003), {SAMPLE_BUNDLE!r})\n"
            "from kelvane_mod_optimizer.optimizer import ShenWanConstraint, optimize\n"
            "ids = ['601398.XSHG', '600519.XSHG', '601857.XSHG']\n"
            "print(len(optimize(ids, datetime.datetime(2014, 1, 4), cons=ShenWanConstraint({'银行': (0, 0.2)}))))\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (r.returncode, r.stdout.split()) == (0, ["KVInvalidArgument", "3"]), r.stderr
