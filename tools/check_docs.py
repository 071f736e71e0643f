"""Opens the built documentation site in headless Chromium and fails on what a reader would meet.

Usage: ``python tools/check_docs.py [SITE] [--screenshots DIR]`` (SITE defaults to
``build/docs/html``). Loads the start page, one page of the user guide (its mathematics), one
API page and one gallery page, and reports, per page:

- a JavaScript error: an uncaught exception or an error written to the console (a resource
  that failed to load is one too);
- an image that did not load (not complete, or no pixels);
- an internal link to a file that does not exist, or to an anchor the target page lacks.

Chromium is driven over its DevTools protocol (websocket-client). Its host resolver maps every
name to nothing, so a page that tries to fetch anything from the network fails the check: the
site must work offline. A screenshot of each page (down to 8,000 pixels) goes to ``--screenshots`` (default
``build/docs/screenshots``). Exit status 0 when every page is clean, 1 with the problems listed
otherwise, 2 when Chromium cannot be started.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

# The pages a reader meets first: the start page, the model's mathematics, an API page, a gallery page.
PAGES = ("index.html", "guide/model.html", "generated/ventrola.fit_ml.html",
         "auto_examples/plot_03_collapsing_bound.html")
TIMEOUT = 60.0  # seconds for Chromium to start and for each page to load
SETTLE = 0.5  # seconds after the load event for late scripts to fail
VIEWPORT = (1280, 900)
SCREENSHOT_HEIGHT = 8000  # pixels; a long API page is cut there

# Attributes that make an element a link target: HTML ids and the old named anchors.
_ANCHOR = re.compile(r"""\b(?:id|name)\s*=\s*["']([^"']+)["']""")


def anchors_in(html: str) -> set[str]:
    """The fragment names a page defines."""
    return {urllib.parse.unquote(name) for name in _ANCHOR.findall(html)}


def broken_links(hrefs: Iterable[str], root: Path) -> list[str]:
    """The internal links among ``hrefs`` (absolute ``file:`` URLs, as a browser resolves them)
    that point at a missing file, outside the site, or at an anchor the target lacks. Links to
    other schemes (``https:``, ``mailto:``) are not the site's and are left alone."""
    root = root.resolve()
    problems, pages = [], {}
    for href in dict.fromkeys(hrefs):
        parsed = urllib.parse.urlsplit(href)
        if parsed.scheme != "file":
            continue
        path = Path(urllib.parse.unquote(parsed.path))
        if path.is_dir():
            path = path / "index.html"
        if root not in path.resolve().parents and path.resolve() != root:
            problems.append(f"link outside the site: {href}")
        elif not path.is_file():
            problems.append(f"link to a missing file: {href}")
        elif parsed.fragment and path.suffix == ".html":
            if path not in pages:
                pages[path] = anchors_in(path.read_text(encoding="utf-8", errors="replace"))
            if urllib.parse.unquote(parsed.fragment) not in pages[path]:
                problems.append(f"link to a missing anchor: {href}")
    return problems


@dataclass
class PageReport:
    """What one page showed: console errors and exceptions, failed loads, images without pixels, broken links."""

    page: str
    errors: list[str] = field(default_factory=list)
    missing_images: list[str] = field(default_factory=list)
    links: list[str] = field(default_factory=list)

    def problems(self) -> list[str]:
        return ([f"{self.page}: JavaScript or loading error: {e}" for e in self.errors]
                + [f"{self.page}: image did not load: {src}" for src in self.missing_images]
                + [f"{self.page}: {link}" for link in self.links])


def errors_from_events(events: Iterable[dict[str, Any]]) -> list[str]:
    """The errors among DevTools events: uncaught exceptions, console errors, failed requests."""
    errors = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            description = details.get("exception", {}).get("description") or details.get("text", "exception")
            errors.append(f"{description} ({details.get('url', '')}:{details.get('lineNumber', '?')})")
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            errors.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", [])))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            errors.append(f"{entry.get('text', '')} {entry.get('url', '')}".strip())
        elif method == "Network.loadingFailed" and not params.get("canceled"):
            errors.append(f"failed to load ({params.get('errorText', '')}) request {params.get('requestId')}")
    return errors


class DevTools:
    """One page target of a running Chromium, spoken to over its WebSocket."""

    def __init__(self, url: str) -> None:
        import websocket  # websocket-client, from requirements/docs.txt

        self.socket = websocket.create_connection(url, timeout=TIMEOUT, suppress_origin=True)
        self.next_id = 0
        self.events: list[dict[str, Any]] = []

    def call(self, method: str, **params: Any) -> dict[str, Any]:
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        self.socket.settimeout(TIMEOUT)  # drain() and wait_for() leave shorter ones behind
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def wait_for(self, method: str, deadline: float) -> None:
        while not any(event.get("method") == method for event in self.events):
            self.socket.settimeout(max(0.05, deadline - time.monotonic()))
            self.events.append(json.loads(self.socket.recv()))

    def drain(self, seconds: float) -> None:
        end = time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            self.socket.settimeout(left)
            try:
                self.events.append(json.loads(self.socket.recv()))
            except Exception:  # the timeout: nothing more arrived
                return

    def close(self) -> None:
        self.socket.close()


def chromium_binary() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    raise FileNotFoundError("no chromium on PATH; install Debian's chromium package (make docs-check does)")


@contextmanager
def running_chromium() -> Iterator[str]:
    """Starts headless Chromium with an empty profile and no network; yields its DevTools address."""
    with tempfile.TemporaryDirectory(prefix="docs-check-") as profile:
        process = subprocess.Popen(
            [chromium_binary(), "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--no-default-browser-check", "--disable-extensions", "--allow-file-access-from-files",
             '--host-resolver-rules=MAP * ~NOTFOUND', "--remote-debugging-port=0", "--remote-allow-origins=*",
             f"--user-data-dir={profile}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            port_file = Path(profile) / "DevToolsActivePort"
            deadline = time.monotonic() + TIMEOUT
            while not (port_file.is_file() and port_file.read_text().strip()):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("Chromium did not start its DevTools endpoint")
                time.sleep(0.1)
            yield f"127.0.0.1:{port_file.read_text().split()[0]}"
        finally:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def page_target(address: str) -> str:
    with urllib.request.urlopen(f"http://{address}/json/list", timeout=TIMEOUT) as response:
        targets = json.load(response)
    return next(t["webSocketDebuggerUrl"] for t in targets if t.get("type") == "page")


_PAGE_FACTS = """JSON.stringify({
  images: Array.from(document.images).filter(i => !i.complete || i.naturalWidth === 0).map(i => i.src),
  links: Array.from(document.querySelectorAll('a[href]')).map(a => a.href),
})"""


def check_page(tools: DevTools, path: Path, root: Path, screenshot: Optional[Path]) -> PageReport:
    report = PageReport(str(path.relative_to(root)))
    if not path.is_file():
        report.errors.append("the page was not built")
        return report
    tools.events.clear()
    tools.call("Page.navigate", url=path.resolve().as_uri())
    tools.wait_for("Page.loadEventFired", time.monotonic() + TIMEOUT)
    tools.drain(SETTLE)
    report.errors = errors_from_events(tools.events)
    facts = json.loads(tools.call("Runtime.evaluate", expression=_PAGE_FACTS, returnByValue=True)["result"]["value"])
    report.missing_images = facts["images"]
    report.links = broken_links(facts["links"], root)
    if screenshot is not None:
        screenshot.parent.mkdir(parents=True, exist_ok=True)
        # the whole page down to SCREENSHOT_HEIGHT, so that the figures below the fold are seen too
        height = tools.call("Page.getLayoutMetrics")["cssContentSize"]["height"]
        clip = {"x": 0, "y": 0, "width": VIEWPORT[0], "height": min(height, SCREENSHOT_HEIGHT), "scale": 1}
        shot = tools.call("Page.captureScreenshot", format="png", clip=clip, captureBeyondViewport=True)
        screenshot.write_bytes(base64.b64decode(shot["data"]))
    return report


def check_site(root: Path, pages: Iterable[str] = PAGES, screenshots: Optional[Path] = None) -> list[PageReport]:
    with running_chromium() as address:
        tools = DevTools(page_target(address))
        try:
            for domain in ("Page", "Runtime", "Log", "Network"):
                tools.call(f"{domain}.enable")
            tools.call("Emulation.setDeviceMetricsOverride", width=VIEWPORT[0], height=VIEWPORT[1],
                       deviceScaleFactor=1, mobile=False)
            return [check_page(tools, root / page, root,
                               None if screenshots is None else screenshots / (Path(page).stem + ".png"))
                    for page in pages]
        finally:
            tools.close()


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("site", nargs="?", default="build/docs/html", type=Path)
    parser.add_argument("--screenshots", default=Path("build/docs/screenshots"), type=Path)
    args = parser.parse_args(argv)
    if not (args.site / "index.html").is_file():
        print(f"check_docs: no built site in {args.site}; run make docs first", file=sys.stderr)
        return 1
    try:
        reports = check_site(args.site, screenshots=args.screenshots)
    except (FileNotFoundError, RuntimeError, OSError) as error:
        print(f"check_docs: cannot run Chromium: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # websocket-client's own errors: Chromium stopped answering
        print(f"check_docs: Chromium stopped answering: {type(error).__name__}: {error}", file=sys.stderr)
        return 2
    problems = [problem for report in reports for problem in report.problems()]
    for report in reports:
        print(f"{report.page}: {'ok' if not report.problems() else f'{len(report.problems())} problems'}")
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"screenshots in {args.screenshots}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
