"""The code of docs/python.md runs as written: each python block a script of its
own, in order, in one folder."""

import os
import re
import subprocess
import sys

from conftest import source_path


def test_every_python_block_of_the_tutorial_runs(tmp_path):
    with open(source_path("docs", "python.md"), encoding="utf-8") as doc:
        blocks = re.findall(r"^```python\n(.*?)^```", doc.read(), flags=re.S | re.M)
    assert len(blocks) >= 4
    env = {k: v for k, v in os.environ.items() if k not in ("KPXADAC_SIM", "KPXADAC_TRACE")}
    for number, code in enumerate(blocks, 1):
        run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        assert run.returncode == 0, f"block {number}:\n{code}\n---\n{run.stdout}"
    assert (tmp_path / "slow.sigmf-meta").exists()
