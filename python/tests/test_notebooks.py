"""The notebooks of examples/notebooks run top to bottom (Debian's python3-nbclient and
python3-ipykernel), each on its own rack, and every cell tagged "plot" draws: it has an
image/png output. A cell that draws without the tag is a fault of the notebook too."""

import glob
import os
import re

import pytest

from conftest import source_path

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")
pytest.importorskip("matplotlib")

NOTEBOOKS = sorted(glob.glob(source_path("examples", "notebooks", "*.ipynb")))
DRAWS = re.compile(r"\.plot\(|plot\.(waveform|spectrum|records|recording)\(|plt\.subplots\(")


def test_there_are_notebooks():
    assert len(NOTEBOOKS) >= 3, NOTEBOOKS


@pytest.mark.parametrize("path", NOTEBOOKS, ids=os.path.basename)
def test_notebook_runs_and_draws(path, tmp_path, monkeypatch):
    if "kpxadac.response" in open(path, encoding="utf-8").read() and \
            not os.environ.get("KPXADAC_RESPONSE_LIBRARY"):
        pytest.skip("the response library was not built (FFTW 3 or Eigen 3 missing)")
    # The default virtual rack (a notebook that needs another sets it itself), the package
    # and library of this build (KPXADAC_LIBRARY, PYTHONPATH), matplotlib drawing to PNG.
    monkeypatch.delenv("KPXADAC_SIM", raising=False)
    monkeypatch.setenv("MPLBACKEND", "module://matplotlib_inline.backend_inline")
    monkeypatch.setenv("MPLCONFIGDIR", str(tmp_path / "mpl"))
    notebook = nbformat.read(path, as_version=4)
    client = nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                                     resources={"metadata": {"path": str(tmp_path)}})
    client.execute()
    tagged = 0
    for number, cell in enumerate(notebook.cells):
        if cell.cell_type != "code":
            continue
        errors = [o for o in cell.outputs if o.output_type == "error"]
        assert not errors, f"cell {number}: {errors}"
        draws = bool(DRAWS.search(cell.source))
        is_plot = "plot" in cell.metadata.get("tags", [])
        assert draws == is_plot, f"cell {number} draws={draws} but tagged plot={is_plot}"
        if is_plot:
            tagged += 1
            images = [o for o in cell.outputs if "image/png" in o.get("data", {})]
            assert images, f"cell {number} of {os.path.basename(path)} drew no image:\n{cell.source}"
    assert tagged, f"{path} has no cell that draws"
