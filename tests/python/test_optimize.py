import math

from conftest import BASKET, DATE
from kelvane_mod_optimizer.optimizer import OptimizeMethod, optimize


def test_default_method_answers_in_ascending_weight_order(env):
    w = optimize(BASKET, DATE)
    assert set(w) == set(BASKET)
    assert math.isclose(sum(w.values()), 1.0, abs_tol=1e-12)
    assert list(w.values()) == sorted(w.values())


def test_every_parameter_by_position(env):
    w = optimize(BASKET[:4], DATE, OptimizeMethod.MIN_VARIANCE, {"*": (0, 0.4)}, None, False, None, 1, 132, 1000,
                 1e-8, True)
    assert all(0 <= v <= 0.4 + 1e-9 for v in w.values())
