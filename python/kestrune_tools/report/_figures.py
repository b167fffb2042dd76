"""The report's Bokeh figures. Texts read from inside a file never go into a figure:
figures hold numbers (and, on the batch page, file names as legend labels, drawn
as canvas text); the page's own HTML holds the escaped texts."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from bokeh.layouts import column, gridplot
from bokeh.models import ColumnDataSource, CustomJS, HoverTool, LayoutDOM, BasicTickFormatter, Range1d, TapTool
from bokeh.models.widgets.markups import Div
from bokeh.models.widgets.sliders import Slider
from bokeh.palettes import Category10_10
from bokeh.plotting import figure

from kestrune_tools.markup import holds_retention_times, visible

from ._digest import RunDigest, ScanColumns

TOOLS = "xpan,xwheel_zoom,box_zoom,reset,save"
HEIGHT = 260
MS2_MARKER = dict(marker="triangle", size=8, color="#d62728", alpha=0.6)


@dataclass(frozen=True)
class Across:
    """What the plots over the run put on their x axis: the retention time, or the
    scan number in a run that holds no retention times."""

    column: str
    label: str
    extent: Range1d

    @classmethod
    def of(cls, digest: RunDigest) -> Across:
        rt_range = digest.rt_range()
        if holds_retention_times(rt_range):
            return cls("rt", "retention time (min)", padded_range(rt_range))
        return cls("scan", "scan number", padded_range((1.0, float(max(len(digest.scans.scan_number), 1)))))


def run_layout(digest: RunDigest) -> LayoutDOM:
    scans = digest.scans
    across = Across.of(digest)
    ms2 = scan_source(scans, scans.ms_level >= 2)
    tic = chromatogram("Total-ion chromatogram", digest, scans.tic, ms2, across)
    bpc = chromatogram("Base-peak chromatogram", digest, scans.base_peak_intensity, ms2, across)
    slider, viewer = spectrum_viewer(digest)
    if slider is not None:
        for plot in (tic, bpc):
            jump_on_tap(plot, ms2, slider)
    small = [injection_times(scans, across)]
    if (scans.ms_level >= 2).any():  # without MS2 scans the page says so instead
        small += [precursor_map(scans, across), charge_distribution(scans)]
    # One toolbar above the three, so each keeps its width for its frame.
    grid = gridplot([small], toolbar_location="above", merge_tools=True, sizing_mode="stretch_width")
    return column(tic, bpc, grid, viewer, sizing_mode="stretch_width")


def padded_range(extent: tuple[float, float] | None) -> Range1d:
    low, high = extent or (0.0, 1.0)
    margin = (high - low) * 0.02 or 0.5
    return Range1d(start=low - margin, end=high + margin)


def scan_source(scans: ScanColumns, chosen: Any) -> ColumnDataSource:
    order = np.argsort(scans.rt[chosen], kind="stable")
    return ColumnDataSource({
        "scan": scans.scan_number[chosen][order], "rt": scans.rt[chosen][order],
        "tic": scans.tic[chosen][order], "bpc": scans.base_peak_intensity[chosen][order],
        "injection_time": scans.injection_time[chosen][order],
        "precursor_mz": scans.precursor_mz[chosen][order], "charge": scans.precursor_charge[chosen][order],
        "zero": np.zeros(int(np.count_nonzero(chosen))),
    })


def new_figure(title: str, x_label: str, y_label: str, tools: str = TOOLS, **options: Any) -> Any:
    plot = figure(title=title, height=HEIGHT, tools=tools, sizing_mode="stretch_width",
                  x_axis_label=x_label, y_axis_label=y_label, **options)
    plot.toolbar.logo = None
    if y_label == "intensity":
        plot.yaxis.formatter = BasicTickFormatter(use_scientific=True, precision=1, power_limit_high=4)
    return plot


def chromatogram(title: str, digest: RunDigest, values: Any, ms2: ColumnDataSource, across: Across) -> Any:
    """The survey scans' trace, with a marker at the foot of the trace for each MS2 scan."""
    plot = new_figure(title, across.label, "intensity", x_range=across.extent)
    scan, rt, traced = digest.survey_trace(values)
    trace = ColumnDataSource({"rt": rt, "value": traced, "scan": scan})
    label = "MS1" if (digest.scans.ms_level == 1).any() else "all scans"
    line = plot.line(across.column, "value", source=trace, line_width=1.5, legend_label=label)
    plot.add_tools(HoverTool(renderers=[line], tooltips=[("scan", "@scan"), ("rt", "@rt{0.000}"),
                                                        ("intensity", "@value{0.000e}")], mode="vline"))
    if len(ms2.data["scan"]):
        marks = plot.scatter(across.column, "zero", source=ms2, legend_label="MS2 scans", **MS2_MARKER)
        plot.add_tools(HoverTool(renderers=[marks], tooltips=[
            ("scan", "@scan"), ("rt", "@rt{0.000}"), ("precursor m/z", "@precursor_mz{0.0000}"),
            ("charge", "@charge")]))
    plot.legend.click_policy = "hide"
    plot.y_range.start = 0  # a flat trace (every scan alike) gets a readable axis too
    return legend_outside(plot, "above")


def jump_on_tap(plot: Any, ms2: ColumnDataSource, slider: Slider) -> None:
    plot.add_tools(TapTool())
    ms2.selected.js_on_change("indices", CustomJS(args={"source": ms2, "slider": slider}, code="""
        const i = source.selected.indices[0];
        if (i !== undefined) { slider.value = source.data.scan[i]; }
    """))


def injection_times(scans: ScanColumns, across: Across) -> Any:
    plot = new_figure("Injection time per scan", across.label, "injection time (ms)", x_range=across.extent)
    for colour, level in zip(Category10_10, np.unique(scans.ms_level)):
        source = scan_source(scans, scans.ms_level == level)
        plot.scatter(across.column, "injection_time", source=source, size=5, color=colour, legend_label=f"MS{level}")
    plot.add_tools(HoverTool(tooltips=[("scan", "@scan"), ("injection time", "@injection_time{0.00} ms")]))
    return legend_outside(plot, "below")


def precursor_map(scans: ScanColumns, across: Across) -> Any:
    plot = new_figure(f"Precursor m/z against {'rt' if across.column == 'rt' else 'scan'}", across.label,
                      "precursor m/z", x_range=across.extent)
    fragments = (scans.ms_level >= 2) & np.isfinite(scans.precursor_mz)
    for colour, charge in zip(Category10_10, np.unique(scans.precursor_charge[fragments])):
        source = scan_source(scans, fragments & (scans.precursor_charge == charge))
        plot.scatter(across.column, "precursor_mz", source=source, size=5, color=colour, legend_label=charge_label(int(charge)))
    plot.add_tools(HoverTool(tooltips=[("scan", "@scan"), ("precursor m/z", "@precursor_mz{0.0000}"),
                                       ("charge", "@charge")]))
    return legend_outside(plot, "below")


def legend_outside(plot: Any, side: str) -> Any:
    """The plot's legend beside its frame, never over the data; above or below, its
    entries side by side."""
    if plot.legend:
        legend = plot.legend[0]
        plot.center.remove(legend)
        if side in ("above", "below"):
            legend.orientation, legend.margin, legend.padding = "horizontal", 2, 4
        plot.add_layout(legend, side)
    return plot


def charge_label(charge: int) -> str:
    return f"{charge}+" if charge > 0 else "unknown"


def charge_distribution(scans: ScanColumns) -> Any:
    charges, counts = np.unique(scans.precursor_charge[scans.ms_level >= 2], return_counts=True)
    order = sorted(range(len(charges)), key=lambda k: (charges[k] <= 0, charges[k]))  # "unknown" last
    labels = [charge_label(int(charges[k])) for k in order]
    plot = new_figure("Precursor charge (MS2 scans)", "charge", "scans", x_range=labels or ["none"])
    plot.vbar(x=labels, top=[int(counts[k]) for k in order], width=0.8)
    plot.add_tools(HoverTool(tooltips=[("charge", "@x"), ("scans", "@top")]))
    plot.y_range.start = 0
    return plot


def spectrum_viewer(digest: RunDigest) -> tuple[Slider | None, LayoutDOM]:
    """A stick plot of one scan's peaks, the scan chosen with a slider (or by a tap on
    an MS2 marker); the peaks of every scan travel in one store and a little glue
    copies the chosen scan's out of it."""
    viewer, scans = digest.viewer, digest.scans
    labels = [scan_caption(scans, k, int(viewer.offsets[k + 1] - viewer.offsets[k])) for k in range(len(scans.rt))]
    store = ColumnDataSource({"mz": viewer.mz, "intensity": viewer.intensity})
    first = first_fragment_index(scans)
    begin, end = int(viewer.offsets[first]), int(viewer.offsets[min(first + 1, len(labels))])
    shown = ColumnDataSource({"mz": viewer.mz[begin:end], "intensity": viewer.intensity[begin:end]},
                             name="shown-peaks")
    plot = new_figure("Spectrum", "m/z", "intensity", tools="pan,wheel_zoom,box_zoom,reset,save")
    sticks = plot.segment(x0="mz", y0=0, x1="mz", y1="intensity", source=shown, line_width=1)
    plot.add_tools(HoverTool(renderers=[sticks], tooltips=[("m/z", "@mz{0.0000}"), ("intensity", "@intensity{0.000e}")]))
    caption = Div(text=labels[first] if labels else "The run holds no scans.")
    if len(labels) < 2:
        return None, column(caption, plot, sizing_mode="stretch_width")
    slider = Slider(start=1, end=len(labels), value=first + 1, step=1, title="Scan", sizing_mode="stretch_width",
                    name="scan-slider")
    slider.js_on_change("value", CustomJS(
        args={"store": store, "shown": shown, "caption": caption, "offsets": viewer.offsets.tolist(),
              "labels": labels},
        code="""
        const k = Math.round(cb_obj.value) - 1;
        const begin = offsets[k], end = offsets[k + 1];
        shown.data = {mz: store.data.mz.slice(begin, end), intensity: store.data.intensity.slice(begin, end)};
        caption.text = labels[k];
        """))
    return slider, column(slider, caption, plot, sizing_mode="stretch_width")


def first_fragment_index(scans: ScanColumns) -> int:
    fragments = np.flatnonzero(scans.ms_level >= 2)
    return int(fragments[0]) if len(fragments) else 0


def scan_caption(scans: ScanColumns, k: int, shown: int) -> str:
    """The viewer's caption of scan k (0-based): numbers only, so it is safe as markup."""
    parts = [f"<b>scan {int(scans.scan_number[k])}</b>", f"MS{int(scans.ms_level[k])}", f"rt {scans.rt[k]:.3f} min"]
    if np.isfinite(scans.precursor_mz[k]):
        charge = int(scans.precursor_charge[k])
        parts.append(f"precursor {scans.precursor_mz[k]:.4f} m/z" + (f", {charge}+" if charge > 0 else ""))
    total = int(scans.peak_count[k])
    parts.append(f"{total} peaks" if shown >= total else f"{shown} of {total} peaks shown (the most intense of each m/z slice)")
    return " · ".join(parts)


def overlay(names: Sequence[str], traces: Sequence[tuple[Any, Any]]) -> Any:
    """The batch page's TIC overlay; a legend entry hides or shows a run."""
    plot = new_figure("Total-ion chromatograms (MS1)", "retention time (min)", "intensity")
    for k, ((rt, values), name) in enumerate(zip(traces, names)):
        source = ColumnDataSource({"rt": rt, "value": values, "run": [k + 1] * len(rt)})
        plot.line("rt", "value", source=source, color=Category10_10[k % 10], line_width=1.5,
                  **({"legend_label": visible(name)} if len(names) <= 12 else {}))
    plot.add_tools(HoverTool(tooltips=[("run", "#@run"), ("rt", "@rt{0.000}"), ("intensity", "@value{0.000e}")]))
    if len(names) <= 12 and names:
        plot.legend.click_policy = "hide"
    return legend_outside(plot, "right")
