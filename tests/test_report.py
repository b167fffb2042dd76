import os
import re

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("bokeh")
pytest.importorskip("pyarrow")

import kestrune_tools as kt  # noqa: E402
import kestrune_tools.synthetic as sr  # noqa: E402
from kestrune_tools.report import FailedInput, write_batch, write_run_report  # noqa: E402
from kestrune_tools.report._digest import thin_peaks  # noqa: E402

import browser  # noqa: E402

# Where the browser check is required (.ci/run's report step), a missing chromium fails.
needs_chromium = pytest.mark.skipif(browser.chromium() is None and os.environ.get("KESTRUNE_BROWSER_CHECK") != "required",
                                    reason="chromium is not installed")
HOSTILE_METHOD_BODY = ('</script><script>window.__pwned = 1</script><img src=x onerror="window.__pwned = 2">'
                       '<b id="hostile">bold</b> & µ-Säule 日本語 ✓')
BIG_PEAKS = 199_999


def demo_with_method(body):
    return sr.with_demo_texts(sr.demo_file()).put(sr.DEMO_METHOD_AT, sr.method_xml(body))


def dense_demo():
    """The demo run with every scan pointing at one block of 199999 peaks."""
    raw = sr.demo_file()
    raw.pieces = {at: piece for at, piece in raw.pieces.items()
                  if not sr.ORBITRAP_FIRST_SCAN_AT <= at < sr.ORBITRAP_INDEX_AT}
    intensity = np.random.default_rng(5).gamma(2.0, 5e4, BIG_PEAKS).tolist()
    raw.put(sr.ORBITRAP_FIRST_SCAN_AT, sr.wide_block(sr.rising_mz(BIG_PEAKS, 100.0, 0.009), intensity))
    return raw.orbitrap_index([0] * sr.scan_count(66), [0.25 + 0.05 * k for k in range(sr.scan_count(66))])


def short_orbitrap():
    return sr.RawFile().header(version=66).at_least(4096)  # too short for its scan index


def level_counts_text(path):
    with kt.open_run(path) as run:
        levels, counts = np.unique(run.ms_levels(), return_counts=True)
    return ", ".join(f"MS{level}: {count}" for level, count in zip(levels, counts))


@pytest.mark.parametrize("name, raw, expected", [
    ("demo_orbitrap.raw", sr.with_demo_texts(sr.demo_file()), ["Possible spray instability", "Coulombmeter",
                                                                "2023-11-14 22:13:20 UTC"]),
    ("small.RAW", sr.RawFile().header(version=57).at_least(1_600_000), ["No warnings recorded.", "None found"]),
    ("plain.raw", sr.demo_file(), ["No status-log labels found."]),
    ("dense_orbitrap.raw", dense_demo(), [f"of {BIG_PEAKS} peaks shown"]),
])
def test_run_page_is_self_contained_and_shows_the_run(files, name, raw, expected):
    path = raw.write(files / name)
    page = files / f"{name}.html"
    write_run_report(path, page)
    html = page.read_text(encoding="utf-8")
    assert page.stat().st_size < 5_000_000
    for text in [level_counts_text(path), *expected]:
        assert text in html


def test_instrument_method_is_escaped_text(files):
    path = demo_with_method(HOSTILE_METHOD_BODY).write(files / "hostile_orbitrap.raw")
    write_run_report(path, files / "hostile.html")
    html = (files / "hostile.html").read_text(encoding="utf-8")
    assert "&lt;/script&gt;&lt;script&gt;window.__pwned = 1" in html and "µ-Säule 日本語 ✓" in html
    assert "<b id=\"hostile\">" not in html and "__pwned = 1</script>" not in html


@pytest.mark.parametrize("mz, intensity, limit, kept", [
    ([100.0, 200.0, 300.0], [1.0, 5.0, 2.0], 3, [0, 1, 2]),  # within the limit: every peak
    ([100.0, 100.1, 200.0, 200.1], [1.0, 9.0, 7.0, 3.0], 2, [1, 2]),  # the strongest of each slice
    ([300.0, 100.0, 200.0, 100.5], [4.0, 8.0, 6.0, 1.0], 2, [1, 2]),  # unsorted m/z: file order kept
    ([500.0, 500.0, 500.0], [1.0, 3.0, 3.0], 2, [2]),  # one m/z, a tie: one peak
    ([np.nan, 100.0, 200.0, np.inf], [1.0, 2.0, np.nan, 3.0], 4, [1]),  # undrawable peaks left out
])
def test_viewer_thinning(mz, intensity, limit, kept):
    mz, intensity = np.array(mz), np.array(intensity, np.float32)
    thinned_mz, thinned_intensity = thin_peaks(mz, intensity, limit)
    np.testing.assert_array_equal(thinned_mz, mz[kept])
    np.testing.assert_array_equal(thinned_intensity, intensity[kept])


def test_batch_pages_and_index(files):
    good = sr.with_demo_texts(sr.demo_file()).write(files / "a_orbitrap.raw")
    (files / "b").mkdir()
    twin = sr.demo_file().write(files / "b" / "a_orbitrap.raw")
    short = short_orbitrap().write(files / "short_orbitrap.raw")
    outcomes = write_batch([good, files / "missing.raw", short, twin], files / "out")
    failures = [o for o in outcomes if isinstance(o, FailedInput)]
    assert [f.path for f in failures] == [str(files / "missing.raw"), short]
    assert failures[0].reason == "no such file" and failures[1].reason.startswith("cannot be read")
    index = (files / "out" / "index.html").read_text(encoding="utf-8")
    links = re.findall(r'<a href="([^"]+)"', index)
    assert links == ["a_orbitrap.html", "a_orbitrap-2.html"]
    assert all((files / "out" / link).is_file() for link in links)
    assert "Possible spray instability" in index and "no such file" in index


@needs_chromium
@pytest.mark.parametrize("kind", ["run", "hostile", "index"])
def test_pages_in_headless_chromium(files, kind):
    """No JavaScript error, no request beyond the page, not blank; the viewer follows
    its slider; a hostile method stays text."""
    raw = demo_with_method(HOSTILE_METHOD_BODY) if kind == "hostile" else sr.with_demo_texts(sr.demo_file())
    name = '<img src=x onerror="window.__pwned = 3">_orbitrap.raw' if kind == "index" else "run_orbitrap.raw"
    path = raw.write(files / name)  # a hostile file name, on the batch page's table, links and legend
    if kind == "index":
        write_batch([path, files / "missing.raw"], files / "out")
        page = files / "out" / "index.html"
    else:
        page = files / "run.html"
        write_run_report(path, page)
    with kt.open_run(path) as run:
        method, peaks_of_scan_5 = run.instrument_method(), len(run[5].mz)
    outcome = browser.open_page(page, probes={
        "shown after the slider moved": """(async () => {
            const doc = Bokeh.documents[0], slider = doc.get_model_by_name("scan-slider");
            if (slider === null) { return null; }
            slider.value = 5;
            await new Promise(done => setTimeout(done, 200));  // the change callbacks run later
            return doc.get_model_by_name("shown-peaks").data.mz.length; })()""",
        "pwned": "window.__pwned === undefined ? null : window.__pwned",
        "injected element": "document.getElementById('hostile') !== null",
        "method text": "(document.querySelector('#instrument-method pre') || {}).textContent",
    })
    assert outcome.errors == [] and outcome.requests == []
    assert outcome.rendered_views > 0 and browser.drawn_share(outcome.screenshot) > 0.01
    assert outcome.probes["pwned"] is None and outcome.probes["injected element"] is False
    if kind != "index":
        assert outcome.probes["shown after the slider moved"] == peaks_of_scan_5
        assert outcome.probes["method text"] == method


@needs_chromium
@pytest.mark.parametrize("body, caught", [
    ("<script>console.error('broken glue')</script>", "errors"),
    ("<script>undefined_function()</script>", "errors"),
    ("<script>fetch('https://example.com/x.js').catch(() => {})</script>", "requests"),
    ('<img src="http://192.0.2.1/pixel.png">', "requests"),
    ("", "blank"),
])
def test_browser_check_catches_bad_pages(files, body, caught):
    page = files / "bad.html"
    page.write_text(f"<!DOCTYPE html><html><body>{body}</body></html>")
    outcome = browser.open_page(page, settle=0.2)
    found = {"errors": bool(outcome.errors), "requests": bool(outcome.requests),
             "blank": outcome.rendered_views == 0 and browser.drawn_share(outcome.screenshot) < 0.01}
    assert found[caught]


@pytest.mark.parametrize("form, status, pages, listed", [
    ("one file", 0, ["page.html"], None),
    ("files and a bad one", 1, ["out/index.html", "out/a_orbitrap.html", "out/b_orbitrap.html"], "missing.raw"),
    ("a folder with an empty one", 1, ["out/index.html", "out/a_orbitrap.html", "out/b_orbitrap.html"],
     "no .raw files in this folder"),
    ("stems collide", 2, [], None),
])
def test_report_command(files, capsys, form, status, pages, listed):
    from kestrune_tools.cli import main

    runs = files / "runs"
    a = sr.demo_file().write((runs.mkdir() or runs) / "a_orbitrap.raw")
    b = sr.demo_file().write(runs / "b_orbitrap.raw")
    (files / "empty").mkdir()
    argv = {
        "one file": [a, "-o", files / "page.html"],
        "files and a bad one": [a, b, files / "missing.raw", "-o", files / "out"],
        "a folder with an empty one": [runs, files / "empty", "-o", files / "out"],
        "stems collide": [a, sr.demo_file().write(files / "a_orbitrap.RAW"), "-o", files / "out"],
    }[form]
    assert main(["report", *map(str, argv)]) == status
    assert sorted(p.relative_to(files).as_posix() for p in files.rglob("*.html")) == sorted(pages)
    if listed:
        assert listed in (files / "out" / "index.html").read_text(encoding="utf-8")
        assert len(capsys.readouterr().err.strip().splitlines()) == 2  # the bad input's line, the summary


LONG_WORD = 3000
ODD_NAME = "odd_\u202erab 1.3_orbitrap.raw"  # reads "war.partibro_3.1 bar" where it is not isolated


def odd_run():
    """The demo run with a 3000-character warning and status label, and a method text
    holding a right-to-left override and NUL characters."""
    raw = sr.demo_file().put(sr.DEMO_METHOD_AT, sr.method_xml("<Scan>HCD \u202e3.1 bar\u202c</Scan><Gap>a\0\0b</Gap>"))
    warnings = sr.text_runs(sr.ERROR_LOG_MARKER, "E" * LONG_WORD, "Spray current low")
    status = sr.text_runs(sr.STATUS_LOG_MARKER, "L" * LONG_WORD)
    return raw.put(sr.DEMO_LOGS_AT, warnings + sr.units(0x2000, 0) + status)


PLOTS = "[...Bokeh.documents[0].all_models].filter(m => m.type === 'Figure')"
PAGE_CHECKS = {
    "within the window": "document.documentElement.scrollWidth <= window.innerWidth",
    "small plots' frames of 300 px": f"""(() => {{ const small = {PLOTS}.filter(p =>
        /^(Injection|Precursor)/.test(p.title.text)); return small.length === 3 && small.every(p => p.inner_width >= 300); }})()""",
    "chromatogram legends off the traces": f"""(() => {{ const traces = {PLOTS}.filter(p => / chromatogram$/.test(p.title.text));
        return traces.length === 2 && traces.every(p => !p.center.some(r => r.type === 'Legend')); }})()""",
    "file texts isolated": """[...document.querySelectorAll('h1, .path, li, #instrument-method pre')].every(e => {
        const b = e.querySelector('bdi'); return b !== null && b.textContent === e.textContent; })""",
    "no reordering, controls shown": """(() => { const h1 = document.querySelector('h1'), t = h1.firstChild.firstChild || h1.firstChild;
        const left = s => { const r = document.createRange(), i = t.data.indexOf(s);
                            r.setStart(t, i); r.setEnd(t, i + s.length); return r.getBoundingClientRect().left; };
        return t.data.includes('\\\\u202e') && left('rab') < left('1.3'); })()""",
    "NUL shown": "document.querySelector('#instrument-method pre').textContent.includes('a\\u2400\\u2400b')",
    "no retention times said, scan numbers plotted": f"""document.getElementById('no-retention-times')?.textContent
        .startsWith('This run holds no retention times') === true && {PLOTS}.find(p => p.title.text === 'Total-ion chromatogram')
        .below.some(r => r.axis_label === 'scan number')""",
    "no MS2 said, no empty plots": f"""document.getElementById('no-ms2') !== null
        && !{PLOTS}.some(p => p.title.text.startsWith('Precursor'))""",
}


@needs_chromium
@pytest.mark.parametrize("kind, checks", [
    ("odd run", ["within the window", "small plots' frames of 300 px", "chromatogram legends off the traces",
                 "file texts isolated", "no reordering, controls shown", "NUL shown"]),
    ("generic run", ["no retention times said, scan numbers plotted", "no MS2 said, no empty plots"]),
    ("batch index", ["within the window"]),
])
def test_pages_read_well_on_odd_runs(files, kind, checks):
    """At 1280 px: long texts stay in their boxes, the plots have room, a run without
    retention times or MS2 scans says so, texts from a file cannot reorder the page."""
    if kind == "generic run":
        write_run_report(sr.demo_file().write(files / "plain.raw"), files / "page.html")  # every rt 0, no MS2
        page = files / "page.html"
    elif kind == "odd run":
        write_run_report(odd_run().write(files / ODD_NAME), files / "page.html")
        page = files / "page.html"
    else:
        write_batch([odd_run().write(files / ODD_NAME)], files / "out")
        page = files / "out" / "index.html"
    outcome = browser.open_page(page, probes={name: PAGE_CHECKS[name] for name in checks}, width=1280)
    assert outcome.errors == [] and outcome.probes == {name: True for name in checks}
