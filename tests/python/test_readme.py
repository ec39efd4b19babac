"""The README's Python snippets run as written, in order, on the sample bundle in ~/.kelvane/bundle."""
import os
import re
import shutil
import subprocess
import sys

from conftest import HERE, SAMPLE_BUNDLE

README = os.path.join(HERE, "..", "..", "README.md")


def snippets():
    with open(README, encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), flags=re.S)
    # The cluster example needs a scheduler of its own.
    return [b for b in blocks if "scheduler-host" not in b]


def test_readme_snippets_run_and_print_their_results(tmp_path):
    blocks = snippets()
    assert len(blocks) >= 3
    os.makedirs(tmp_path / ".kelvane")
    shutil.copytree(SAMPLE_BUNDLE, tmp_path / ".kelvane" / "bundle")
    env = dict(os.environ, HOME=str(tmp_path), MPLBACKEND="Agg")
    r = subprocess.run([sys.executable, "-c", "\n".join(blocks)], capture_output=True, text=True, env=env,
                       cwd=str(tmp_path), timeout=300)
    assert r.returncode == 0, r.stderr
    printed = r.stdout.splitlines()
    for name in ("risk parity", "minimum variance, at most 40 % each", "banks 30-50 %", "tracking the CSI 300"):
        assert any(line.startswith(name + " {") for line in printed), (name, r.stdout, r.stderr)
    assert "no rebalance" not in r.stderr
    assert (tmp_path / "report.png").stat().st_size > 0
