"""Showing results where the researcher is: a Jupyter kernel gets tables
as HTML and figures as PNG images (whatever the matplotlib backend, no
``%matplotlib inline`` needed); a console gets aligned text and pyplot's
windows."""

import html
import sys

from tarnfold.analysis.plots import to_png, to_png_base64

NOTEBOOK_DPI = 90


def in_kernel():
    """True inside a Jupyter kernel (IPython running under ipykernel)."""
    if "IPython" not in sys.modules:  # never import IPython just to ask
        return False
    try:
        from IPython import get_ipython

        shell = get_ipython()
    except Exception:  # an IPython too broken to ask is no kernel
        return False
    return shell is not None and (hasattr(shell, "kernel") or "IPKernelApp" in shell.config)


def figures_html(figures, dpi=NOTEBOOK_DPI):
    """HTML of figures (title -> Figure) as titled inline PNG images."""
    return "\n".join(
        '<h5>{0}</h5><img alt="{0}" src="data:image/png;base64,{1}">'.format(
            html.escape(str(title)), to_png_base64(fig, dpi)
        )
        for title, fig in figures.items()
    )


def show(sections):
    """Show (tables, make_figures) sections in order: ``tables`` is
    ``SummaryTables``, ``make_figures(pyplot)`` gives title -> Figure.  In a
    kernel: the tables as HTML and each figure, built without pyplot, as a
    PNG image.  Elsewhere: the tables printed, then every figure registered
    with pyplot and shown by it at once."""
    if in_kernel():
        from IPython.display import Image, display

        for tables, make_figures in sections:
            display(tables)
            for fig in make_figures(False).values():
                display(Image(data=to_png(fig, NOTEBOOK_DPI), format="png"))
        return
    for tables, _ in sections:
        print(tables)
    import matplotlib.pyplot as plt  # a display backend: only when showing

    for _, make_figures in sections:
        make_figures(True)
    plt.show()
