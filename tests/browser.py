"""Opens a local HTML page in headless Chromium over the DevTools protocol (on the
`--remote-debugging-pipe` file descriptors 3 and 4) and reports what happened: the
JavaScript errors, every request the page tried beyond its own file (or, for a page
of a site, beyond the site's folder), the answers of JavaScript probes, and a
full-page screenshot.

    python tests/browser.py page.html --screenshot page.png   # prints the outcome
    python tests/browser.py page.html --screenshot docs/report.png --colours 64   # a small PNG
    python tests/browser.py --site site index.html cli.html   # pages of a built site
"""

from __future__ import annotations

import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

LOCAL_SCHEMES = ("data:", "blob:", "about:")
# Belt and braces: even a request the page attempts cannot leave the machine.
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
    "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
    "--disable-sync", "--disable-extensions", "--proxy-server=127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND",
    "--hide-scrollbars", "--mute-audio", "--remote-debugging-pipe",
]


def chromium() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


@dataclass
class PageOutcome:
    errors: list[str] = field(default_factory=list)
    requests: list[str] = field(default_factory=list)
    probes: dict[str, Any] = field(default_factory=dict)
    rendered_views: int = 0  # Bokeh's root views: 0 when its document failed to render
    screenshot: bytes = b""


class DevTools:
    """A minimal DevTools client: commands by id, events collected in order."""

    def __init__(self, executable: str, profile: str) -> None:
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def wire_pipes() -> None:  # in the child: the browser reads fd 3 and writes fd 4
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        # The browser is not ours to check: a sanitizer runtime preloaded for the suite
        # would stop it from starting.
        environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
        self.process = subprocess.Popen([executable, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", "about:blank"],
                                        preexec_fn=wire_pipes, pass_fds=(3, 4), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=environment)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._next_id = 0
        self._replies: dict[int, queue.Queue[dict[str, Any]]] = {}
        self.events: queue.Queue[dict[str, Any]] = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        pending = b""
        with os.fdopen(self._from_browser, "rb", buffering=0) as stream:
            while chunk := stream.read(1 << 16):
                pending += chunk
                *messages, pending = pending.split(b"\0")
                for raw in messages:
                    message = json.loads(raw)
                    if "id" in message:
                        self._replies[message["id"]].put(message)
                    else:
                        self.events.put(message)

    def send(self, method: str, session: str | None = None, timeout: float = 30.0, **params: Any) -> dict[str, Any]:
        self._next_id += 1
        reply: queue.Queue[dict[str, Any]] = queue.Queue()
        self._replies[self._next_id] = reply
        message: dict[str, Any] = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        answer = reply.get(timeout=timeout)
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']}")
        result: dict[str, Any] = answer.get("result", {})
        return result

    def close(self) -> None:
        try:
            self.send("Browser.close", timeout=5)
        except (RuntimeError, queue.Empty, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)


def open_page(page: Path, probes: dict[str, str] | None = None, width: int = 1280, settle: float = 1.5,
              site: Path | None = None) -> PageOutcome:
    """Loads `page`, waits for Bokeh to render, evaluates the probes (JavaScript
    expressions, run in order after rendering) and takes a full-page screenshot.
    With `site`, the page may also load the files inside that folder (its styles,
    scripts and images); any other request is reported."""
    executable = chromium()
    if executable is None:
        raise FileNotFoundError("chromium is not installed")
    url = page.resolve().as_uri()
    outcome = PageOutcome()
    with tempfile.TemporaryDirectory() as profile:
        browser = DevTools(executable, profile)
        try:
            target = browser.send("Target.createTarget", url="about:blank")["targetId"]
            session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in ("Runtime", "Log", "Network", "Page"):
                browser.send(f"{domain}.enable", session)
            browser.send("Emulation.setDeviceMetricsOverride", session, width=width, height=900,
                         deviceScaleFactor=1, mobile=False)
            browser.send("Page.navigate", session, url=url)
            wait_until_rendered(browser, session, settle)
            outcome.rendered_views = evaluate(browser, session, "window.Bokeh ? Object.keys(Bokeh.index).length : 0")
            for name, expression in (probes or {}).items():
                outcome.probes[name] = evaluate(browser, session, expression)
            time.sleep(0.5)  # let the probes' redraws and their errors arrive
            outcome.screenshot = full_page_screenshot(browser, session, width)
        finally:
            browser.close()
    collect_events(browser, url, outcome, site)
    return outcome


def evaluate(browser: DevTools, session: str, expression: str) -> Any:
    answer = browser.send("Runtime.evaluate", session, expression=expression, returnByValue=True, awaitPromise=True)
    if "exceptionDetails" in answer:
        return f"exception: {answer['exceptionDetails'].get('exception', {}).get('description')}"
    return answer["result"].get("value")


def wait_until_rendered(browser: DevTools, session: str, settle: float, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    # Bokeh's inline script defines window.Bokeh before the page completes loading;
    # Bokeh.index holds the root views once they are built.
    ready = "document.readyState === 'complete' && (window.Bokeh === undefined || Object.keys(Bokeh.index).length > 0)"
    while not evaluate(browser, session, ready):
        if time.monotonic() > deadline:
            break  # the blank check and the errors will tell
        time.sleep(0.1)
    time.sleep(settle)


def full_page_screenshot(browser: DevTools, session: str, width: int) -> bytes:
    import base64

    size = browser.send("Page.getLayoutMetrics", session)["cssContentSize"]
    height = min(int(size["height"]) + 1, 8000)
    browser.send("Emulation.setDeviceMetricsOverride", session, width=width, height=height,
                 deviceScaleFactor=1, mobile=False)
    time.sleep(0.5)
    return base64.b64decode(browser.send("Page.captureScreenshot", session, format="png")["data"])


def inside(requested: str, site: Path | None) -> bool:
    """Whether `requested` is a file:// URL of a file inside the folder `site`."""
    if site is None or not requested.startswith("file://"):
        return False
    from urllib.parse import unquote, urlsplit

    folder = site.resolve()
    path = Path(unquote(urlsplit(requested).path)).resolve()
    return path.is_relative_to(folder)


def collect_events(browser: DevTools, url: str, outcome: PageOutcome, site: Path | None = None) -> None:
    while not browser.events.empty():
        event = browser.events.get()
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            outcome.errors.append(details.get("exception", {}).get("description") or details.get("text", ""))
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            outcome.errors.append(" ".join(str(a.get("value", a.get("description"))) for a in params["args"]))
        elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
            outcome.errors.append(params["entry"].get("text", ""))
        elif method == "Network.requestWillBeSent":
            requested = params["request"]["url"]
            if requested != url and not requested.startswith(LOCAL_SCHEMES) and not inside(requested, site):
                outcome.requests.append(requested)
        elif method == "Network.webSocketCreated":
            outcome.requests.append(params["url"])


def drawn_share(png: bytes) -> float:
    """The share of the screenshot's pixels that are not plain white (0.0: a blank page)."""
    import io

    from PIL import Image

    image = Image.open(io.BytesIO(png)).convert("L")
    histogram = image.histogram()
    return 1.0 - histogram[255] / max(sum(histogram), 1)


# Evaluated on a page of the documentation site: the theme's styles applied (furo sets
# its own font stack rather than the browser's default serif) and its sidebar laid out.
SITE_PROBES = {
    "styled": "!getComputedStyle(document.body).fontFamily.startsWith('\"Times')"
              " && getComputedStyle(document.body).fontFamily !== 'serif'",
    "sidebar": "(() => { const tree = document.querySelector('.sidebar-tree');"
               " return tree !== null && tree.getBoundingClientRect().width > 100; })()",
}


def site_problems(site: Path, pages: list[str]) -> list[str]:
    """Opens each page of a built site: the problems found, one line each (none: all good)."""
    problems = []
    for name in pages:
        outcome = open_page(site / name, probes=SITE_PROBES, settle=0.3, site=site)
        found = [f"error: {error}" for error in outcome.errors]
        found += [f"request beyond the site: {request}" for request in outcome.requests]
        found += [f"not {probe}" for probe, value in outcome.probes.items() if value is not True]
        if drawn_share(outcome.screenshot) < 0.01:
            found.append("blank page")
        problems += [f"{name}: {problem}" for problem in found]
    return problems


def check_site(site: Path, pages: list[str], screenshot: Path | None, colours: int | None) -> int:
    problems = site_problems(site, pages)
    for problem in problems:
        print(problem, file=sys.stderr)
    if screenshot:
        save_screenshot(open_page(site / pages[0], settle=0.3, site=site).screenshot, screenshot, colours)
    print(f"{len(pages)} pages of {site}: {len(problems)} problems")
    return 1 if problems else 0


def save_screenshot(png: bytes, path: Path, colours: int | None) -> None:
    if colours:
        import io

        from PIL import Image

        Image.open(io.BytesIO(png)).convert("RGB").quantize(colours).save(path, optimize=True)
    else:
        path.write_bytes(png)


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("page", type=Path, nargs="+", help="a page; with --site, pages relative to the site")
    parser.add_argument("--site", type=Path, help="the folder of a built site: its files may be loaded")
    parser.add_argument("--screenshot", type=Path)
    parser.add_argument("--colours", type=int, help="save the screenshot with this many colours (a smaller file)")
    args = parser.parse_args()
    if args.site:
        sys.exit(check_site(args.site, [str(page) for page in args.page], args.screenshot, args.colours))
    if len(args.page) > 1:
        parser.error("one page at a time without --site")
    result = open_page(args.page[0])
    if args.screenshot:
        save_screenshot(result.screenshot, args.screenshot, args.colours)
    print(f"errors: {result.errors}\nrequests: {result.requests}\ndrawn share: {drawn_share(result.screenshot):.3f}")
    sys.exit(1 if result.errors or result.requests else 0)
