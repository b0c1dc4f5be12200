"""The explorer page in headless Chromium, driven as a person would: find, click, look at cycles.

Needs Chromium and its driver from Debian's packages (`.ci/run` installs them) and Selenium and
Pillow from PyPI (`make test` installs them). Without a browser the test is skipped, and in CI,
where one must be installed, it fails instead.
"""

import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

CONSOLE = pathlib.Path(sys.executable).with_name("modweave")
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "inventory" / "main.py"
PROJECT_COLOUR = (0x2F, 0x9E, 0x6E)
WAIT_SECONDS = 60


def find_browser():
    chromium = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
    driver = shutil.which("chromedriver")
    if driver is None and os.path.exists("/usr/lib/chromium/chromedriver"):
        driver = "/usr/lib/chromium/chromedriver"
    return chromium, driver


@pytest.fixture(scope="module")
def browser():
    chromium, driver_path = find_browser()
    if chromium is None or driver_path is None:
        reason = ("no Chromium and chromedriver here: apt-get install chromium chromium-driver "
                  "(.ci/run installs them)")
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    # A fresh `make test` installs both into its venv; an older venv may lack them.
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed in this venv")
    pytest.importorskip("PIL", reason="Pillow is not installed in this venv")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,800",
                     "--force-device-scale-factor=1"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The sanitizer run preloads its runtime into every child; the browser is no part of it.
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
    driver = webdriver.Chrome(service=Service(executable_path=driver_path, env=environment), options=options)
    yield driver
    driver.quit()


def generated_project(folder):
    """1,000 modules in 40 packages: chains inside each package closed into a cycle, links across."""
    lines = []
    for package in range(40):
        directory = folder / "gen" / f"p{package:02}"
        directory.mkdir(parents=True)
        (directory / "__init__.py").write_text("")
        lines.append(f"import gen.p{package:02}.m00\n")
        for module in range(25):
            imports = [f"from gen.p{package:02} import m{(module + 1) % 25:02}"] if module < 24 else \
                      [f"import gen.p{package:02}.m20"]
            if module % 5 == 0:
                imports.append(f"import gen.p{(package + 1) % 40:02}.m{module:02}")
            if module == 3:
                imports.append("import json")
            (directory / f"m{module:02}.py").write_text("\n".join(imports) + "\n")
    (folder / "gen" / "__init__.py").write_text("")
    (folder / "main.py").write_text("".join(lines))
    return folder / "main.py"


def modweave(*arguments, cwd):
    result = subprocess.run([str(CONSOLE), *map(str, arguments)], cwd=cwd, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode in (0, 1), result.stderr
    return result.stdout


def wait_for(driver, script, message):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, WAIT_SECONDS, poll_frequency=0.1).until(
        lambda d: d.execute_script(script), message)


def texts(driver, selector):
    from selenium.webdriver.common.by import By

    return [element.text for element in driver.find_elements(By.CSS_SELECTOR, selector)]


@pytest.mark.parametrize("case", ["example", "generated"])
def test_find_click_cycles_and_picture(browser, case, tmp_path):
    from PIL import Image
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    target = EXAMPLE if case == "example" else generated_project(tmp_path)
    page = tmp_path / "graph.html"
    modweave("graph", target, "-o", page, cwd=target.parent)
    document = json.loads(re.search(r'<script type="application/json" id="modweave-graph">(.*?)</script>',
                                    page.read_text(), re.S).group(1))
    root = document["root"]["name"]
    nodes = {node["name"]: node for node in document["nodes"]}
    if case == "generated":
        assert len(nodes) >= 1000
    imports = {name: [e["to"] for e in document["edges"] if e["from"] == name] for name in nodes}

    browser.get(page.as_uri())
    wait_for(browser, "return window.modweaveExplorer !== undefined", "the page never drew its first picture")
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0

    # The picture, once the layout has settled: nodes drawn in the project's colour, among many others.
    wait_for(browser, "return window.modweaveExplorer.idle()", "the layout never settled")
    canvas = browser.find_element(By.ID, "canvas")
    browser.save_screenshot(str(tmp_path / "explorer.png"))
    picture = Image.open(io.BytesIO(canvas.screenshot_as_png)).convert("RGB")
    colours = picture.getcolors(maxcolors=1 << 20)
    near_project = sum(count for count, colour in colours
                       if max(abs(a - b) for a, b in zip(colour, PROJECT_COLOUR)) < 24)
    assert len(colours) > 20 and near_project > 50

    # Finding: the deepest module is selected, with the chain `why` gives.
    found = max((n for n in nodes if n != root), key=lambda n: (nodes[n]["depth"] or 0, n))
    search = browser.find_element(By.ID, "search")
    search.send_keys(found)
    assert browser.find_element(By.ID, "selection-title").text == found
    why = json.loads(modweave("why", target, found, "--format", "json", cwd=target.parent))["chain"]
    assert texts(browser, "#chain li") == [root, *why[1:]]

    # Clicking: a module with imports and importers, in the middle of a still picture.
    clicked = max((n for n in nodes if n not in (root, found) and len(nodes[n]["importers"]) < 200),
                  key=lambda n: (min(len(imports[n]), len(nodes[n]["importers"])), n))
    search.clear()
    search.send_keys(clicked)
    browser.execute_script("document.activeElement.blur()")
    ActionChains(browser).send_keys(Keys.ESCAPE).perform()
    assert browser.find_element(By.ID, "selection-title").text == "Nothing selected"
    centre = [canvas.size["width"] / 2, canvas.size["height"] / 2]
    wait_for(browser, f"const p = window.modweaveExplorer.canvasPosition({json.dumps(clicked)});"
             f"return Math.hypot(p[0] - {centre[0]}, p[1] - {centre[1]}) < 1",
             "the view never centred on the module found")
    x, y = browser.execute_script("return window.modweaveExplorer.canvasPosition(arguments[0])", clicked)
    ActionChains(browser).move_to_element_with_offset(canvas, round(x - centre[0]), round(y - centre[1])) \
        .click().perform()
    assert browser.find_element(By.ID, "selection-title").text == clicked
    assert texts(browser, "#importers li") == nodes[clicked]["importers"]
    assert texts(browser, "#imports li") == imports[clicked]

    # Cycles among every module, as the command finds them.
    browser.find_element(By.ID, "cycles-button").click()
    browser.find_element(By.ID, "cycles-all").click()
    shown_cycles = [[b.text for b in item.find_elements(By.CSS_SELECTOR, "button.link")][1:]
                    for item in browser.find_elements(By.CSS_SELECTOR, "#cycles-list li")]
    assert shown_cycles == json.loads(
        modweave("cycles", target, "--all", "--format", "json", cwd=target.parent))["cycles"]

    errors = [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")]
    assert errors == []


def test_names_from_the_tree_show_as_text(browser, tmp_path):
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.common.by import By

    from modweave_cli import explorer

    root = "/home/<img src=x onerror=alert(1)>/\"quoted\" 'main'.py"
    hostile = "</script><script>alert(2)</script>"
    document = {
        "root": {"name": root, "target": root, "package": None},
        "nodes": [{"name": root, "origin": None, "depth": 0, "importers": [], "kind": "project"},
                  {"name": hostile, "origin": f"/{hostile}.py", "depth": 1, "importers": [root],
                   "kind": "third-party"}],
        "edges": [{"from": root, "to": hostile}],
        "unresolved": [{"name": "<b>gone</b>", "importer": hostile, "line": 7},
                       {"name": "\"also\" gone", "importer": root, "line": None}],
    }
    page = tmp_path / "hostile.html"
    page.write_text(explorer.graph_html(document), encoding="utf-8")
    browser.get(page.as_uri())
    wait_for(browser, "return window.modweaveExplorer !== undefined", "the page never drew its first picture")
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text
    assert browser.title == f"{root} · modweave"
    assert browser.find_element(By.ID, "root-name").text == root
    assert texts(browser, "#unresolved li") == [f"<b>gone</b> in {hostile}, line 7", f"\"also\" gone in {root}"]
    browser.find_element(By.ID, "search").send_keys(hostile)
    assert browser.find_element(By.ID, "selection-title").text == hostile
    assert texts(browser, "#importers li") == [root]
    assert [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "WARNING")] == []
