"""The HTML views of a run and a spectrum in a notebook (`_repr_html_`): a small table
of values, and for a spectrum an inline SVG stick plot. Plain markup, no JavaScript;
every text passes through the reports' escaping (`kestrune_tools.markup`)."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from kestrune_tools.markup import creation_text, isolated, levels_text, rt_text, text

if TYPE_CHECKING:
    from kestrune_tools.runs import Run, Spectrum

PLOT_WIDTH, PLOT_HEIGHT, PLOT_MARGIN = 320, 120, 14
TABLE_STYLE = "border-collapse:collapse;text-align:left"


def table(caption: str, rows: list[tuple[str, str]]) -> str:
    """Rows of (name, HTML value) under a bold caption; the names are our own texts."""
    body = "".join(f'<tr><th style="padding:1px 10px 1px 0">{text(name)}</th><td>{value}</td></tr>'
                   for name, value in rows)
    return f'<table style="{TABLE_STYLE}"><caption style="text-align:left"><b>{caption}</b></caption>{body}</table>'


def run_html(run: Run) -> str:
    if run.closed:
        return table("Run", [("path", isolated(run.path)), ("state", "closed")])
    summary = run.summary()
    rt = run.retention_times()
    rt = rt[np.isfinite(rt)]
    rt_range = (float(rt.min()), float(rt.max())) if len(rt) else None
    return table("Run", [
        ("path", isolated(summary["path"])),
        ("File profile", isolated(f"{run.profile} ({run.profile_reason})")),
        ("version", text(summary["version"])),
        ("created", isolated(creation_text(summary["creation_date"]))),
        ("scans", text(summary["num_scans"])),
        ("scans per MS level", text(levels_text(summary["scans_by_ms_level"]))),
        ("retention time", text(rt_text(rt_range))),
    ])


def spectrum_html(spectrum: Spectrum) -> str:
    charge = f", {spectrum.precursor_charge}+" if spectrum.precursor_charge is not None else ""
    precursor = "none" if spectrum.precursor_mz is None else f"{spectrum.precursor_mz:.4f} m/z{charge}"
    values = table(f"Scan {spectrum.scan_number}", [
        ("MS level", text(spectrum.ms_level)),
        ("retention time", text(f"{spectrum.rt:.3f} min")),
        ("precursor", text(precursor)),
        ("master scan", text(spectrum.master_scan if spectrum.master_scan is not None else "none")),
        ("injection time", text(f"{spectrum.injection_time:.2f} ms")),
        ("native id", text(spectrum.native_id)),
        ("peaks", text(len(spectrum.mz))),
    ])
    return f'<div style="display:flex;gap:16px;align-items:flex-start">{values}{stick_plot(spectrum)}</div>'


def stick_plot(spectrum: Spectrum) -> str:
    """The peaks as an SVG stick plot: one stick per pixel column, as tall as its most
    intense peak; peaks with a non-finite m/z or intensity cannot be drawn."""
    mz = np.asarray(spectrum.mz, np.float64)
    intensity = np.asarray(spectrum.intensity, np.float64)
    drawable = np.isfinite(mz) & np.isfinite(intensity) & (intensity > 0)
    mz, intensity = mz[drawable], intensity[drawable]
    inner = PLOT_WIDTH - 2 * PLOT_MARGIN
    baseline = PLOT_HEIGHT - PLOT_MARGIN
    parts = [f'<line x1="{PLOT_MARGIN}" y1="{baseline}" x2="{PLOT_WIDTH - PLOT_MARGIN}" y2="{baseline}" stroke="#888"/>']
    if len(mz):
        low, high = float(mz.min()), float(mz.max())
        columns = _columns(mz, low, high, inner)
        tallest = np.zeros(inner)
        np.maximum.at(tallest, columns, intensity)
        heights = tallest / tallest.max() * (baseline - PLOT_MARGIN)
        path = "".join(f"M{PLOT_MARGIN + x + 0.5} {baseline}v{-h:.1f}" for x, h in enumerate(heights) if h > 0)
        parts.append(f'<path d="{path}" stroke="#1f77b4" stroke-width="1"/>')
        labels = ((PLOT_MARGIN, "start", _axis_text(low)), (PLOT_WIDTH // 2, "middle", "m/z"),
                  (PLOT_WIDTH - PLOT_MARGIN, "end", _axis_text(high)))
        parts.extend(f'<text x="{x}" y="{PLOT_HEIGHT - 2}" font-size="10" text-anchor="{anchor}">{label}</text>'
                     for x, anchor, label in labels)
    else:
        parts.append(f'<text x="{PLOT_WIDTH // 2}" y="{PLOT_HEIGHT // 2}" font-size="11" text-anchor="middle">no peaks</text>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{PLOT_WIDTH}" height="{PLOT_HEIGHT}" '
            f'role="img" aria-label="stick plot of scan {spectrum.scan_number}">{"".join(parts)}</svg>')


def _columns(mz: NDArray[np.float64], low: float, high: float, inner: int) -> NDArray[np.int64]:
    """The pixel column of each m/z between `low` and `high`. Halved first: the span
    of finite values far apart (a damaged block's +-1e308) overflows to infinity."""
    half_span = high / 2 - low / 2
    if half_span == 0:
        return np.zeros(len(mz), np.int64)
    fraction = (mz / 2 - low / 2) / half_span
    return np.minimum((fraction * inner).astype(np.int64), inner - 1)


def _axis_text(mz: float) -> str:
    return f"{mz:.1f}" if abs(mz) < 1e9 else f"{mz:.3g}"
