"""The README's workflow as a notebook, executed by a real Jupyter kernel
without ipywidgets and with a non-interactive matplotlib backend: it runs,
and its saved output holds the figures as images and the summaries as HTML
tables."""

import json
import pathlib
import sys

import pytest

nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")

NOTEBOOK = pathlib.Path(__file__).parent / "notebooks" / "readme_workflow.ipynb"

# run first in the kernel: ipywidgets cannot be imported there, as on a
# machine where it is not installed (it is no dependency of Jupyter's own)
NO_IPYWIDGETS = "import sys\nsys.modules['ipywidgets'] = None"


def _kernel_of_this_python(folder):
    """A kernel spec running this interpreter (a "python3" spec elsewhere on
    the machine may run another one, without tarnfold)."""
    spec = folder / "kernels" / "tarnfold-test"
    spec.mkdir(parents=True)
    (spec / "kernel.json").write_text(
        json.dumps(
            {
                "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
                "display_name": "tarnfold test",
                "language": "python",
            }
        )
    )
    return "tarnfold-test"


def _outputs(cell):
    return cell.get("outputs", [])


def _data(cell, mime):
    return [o["data"][mime] for o in _outputs(cell) if mime in o.get("data", {})]


@pytest.fixture(scope="module")
def executed(tmp_path_factory):
    folder = tmp_path_factory.mktemp("notebook")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("JUPYTER_PATH", str(folder / "jupyter"))
        patch.setenv("MPLBACKEND", "Agg")  # figures must show without the inline backend
        kernel = _kernel_of_this_python(folder / "jupyter")
        nb = nbformat.read(NOTEBOOK, as_version=4)
        nb.cells.insert(0, nbformat.v4.new_code_cell(NO_IPYWIDGETS))
        client = nbclient.NotebookClient(
            nb,
            kernel_name=kernel,
            timeout=600,
            startup_timeout=120,
            resources={"metadata": {"path": str(folder)}},
        )
        client.execute()
    saved = folder / "executed.ipynb"
    nbformat.write(nb, saved)
    return nbformat.read(saved, as_version=4), folder


def cell(nb, start):
    return next(c for c in nb.cells if c.cell_type == "code" and c.source.startswith(start))


def test_the_readme_notebook_runs_and_keeps_figures_and_tables(executed):
    nb, folder = executed
    assert not [o for c in nb.cells for o in _outputs(c) if o.get("output_type") == "error"]
    # summary(): titled HTML tables, never a printed dict
    for text, title in (
        ("ic.summary()", "IC by holding period"),
        ("groups.summary()", "groups by holding period"),
    ):
        html = _data(cell(nb, text), "text/html")
        assert html and "<table" in html[0] and title in html[0]
        assert _data(cell(nb, text), "text/plain")[0].startswith(title)  # text, not a dict
    # show(): the tables as HTML, then every figure as a PNG image
    shown = cell(nb, "ic.show()")
    assert any("IC by holding period" in h for h in _data(shown, "text/html"))
    pngs = _data(shown, "image/png")
    assert len(pngs) >= 6 and all(p.startswith("iVBORw0KGgo") for p in pngs)
    assert not any("<Figure size" in t for c in nb.cells for t in _data(c, "text/plain"))
    # a result as a cell's value: its tables and figures
    html = _data(cell(nb, "fret"), "text/html")[0]
    assert "factor return by holding period" in html and "data:image/png;base64," in html
    # the one-call results show every step's figures and the factor's own
    assert len(_data(cell(nb, "results = tarnfold.assay"), "image/png")) >= 12
    assert (folder / "report.html").stat().st_size > 0
