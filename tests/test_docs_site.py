"""The documentation site's own code: the tables and reference sections it generates from the
package, its check that every public name has a page, the figure scraper of the gallery, and the
browser check of the built site (run here against small sites with known faults)."""
import doctest
import importlib.util
import math
import re
import sys
from pathlib import Path

import pytest

import ventrola
from ventrola import parameters

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "docs" / "_ext"))

import api_coverage  # noqa: E402
import figure_scraper  # noqa: E402
import parameter_tables  # noqa: E402


def load_tool(name):
    found = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module  # dataclasses look their module up while the class is made
    found.loader.exec_module(module)
    return module


check_docs = load_tool("check_docs")


# -- tables generated from the parameter table ------------------------------------------------

def test_numbers_read_as_written_and_logarithms_of_short_numbers_stay_logarithms():
    number = parameter_tables.number
    assert [number(x) for x in (0.0, 1.0, 3.0, 0.5, 0.05, 1e-6, 20.0)] == ["0", "1", "3", "0.5", "0.05", "1e−06", "20"]
    assert [number(math.log(x)) for x in (1.5, 0.3, 0.05, 0.1)] == ["log 1.5", "log 0.3", "log 0.05", "log 0.1"]
    # values that merely lie near a logarithm are left alone, and so are whole numbers
    assert number(0.6) == "0.6" and number(2.0) == "2" and number(-3.0) == "−3"
    assert number(math.inf) == "∞" and number(-math.inf) == "−∞"


def test_intervals_show_which_ends_are_valid():
    Domain = parameters.Domain
    assert parameter_tables.interval(Domain()) == "any real number"
    assert parameter_tables.interval(Domain(0.0)) == "(0, ∞)"
    assert parameter_tables.interval(Domain(0.0, low_closed=True)) == "[0, ∞)"
    assert parameter_tables.interval(Domain(0.0, 1.0, low_closed=True)) == "[0, 1)"
    assert parameter_tables.interval(Domain(1.0)) == "(1, ∞)"


def test_each_view_lists_exactly_the_parameters_it_describes_with_the_tables_values():
    table = parameters.table()
    names = {kind: [re.sub(r"``", "", row[0]) for row in parameter_tables.rows(kind)[1]]
             for kind in ("model", "families", "priors", "regression")}
    assert names["model"] == [*parameters.PARAMETER_NAMES, "noise_sd"]
    assert names["families"] == [p.name for p in table.entries if p.families is not None]
    assert names["priors"] == [p.name for p in table.entries if p.prior is not None]
    assert names["regression"] == list(table.with_formulas())
    model_rows = {re.sub(r"``", "", row[0]): row for row in parameter_tables.rows("model")[1]}
    assert model_rows["drift_rate"][3:] == ["any real number", "required"]
    assert model_rows["starting_point"][3:] == ["(0, 1)", "0.5"]
    assert model_rows["non_decision_time"][3:] == ["[0, ∞)", "0"]
    assert model_rows["starting_point_range"][3] == (
        "[0, 1), with starting_point_range/2 < min(starting_point, 1 - starting_point)")
    families = {re.sub(r"``", "", row[0]): row for row in parameter_tables.rows("families")[1]}
    assert families["collapse_shape"][4:] == ["3", "``weibull``"]


def test_priors_read_as_distributions_on_their_scales():
    priors = {re.sub(r"``", "", row[0]): row[1:] for row in parameter_tables.rows("priors")[1]}
    assert priors["boundary_separation"] == ["exp(μ + σ z)", "μ ~ Normal(log 1.5, 0.6), σ ~ HalfNormal(0.5)"]
    assert priors["contamination"] == ["one value for all participants", "Beta(1, 19)"]
    assert priors["automatic_shape"][1] == "1 + LogNormal(0, 0.7)"
    regression = {re.sub(r"``", "", row[0]): row[1:] for row in parameter_tables.rows("regression")[1]}
    assert regression["non_decision_time"] == ["log", "Normal(log 0.3, 0.5)", "Normal(0, 0.3)", "HalfNormal(0.3)"]
    with pytest.raises(ValueError, match="unknown parameter table 'prior'"):
        parameter_tables.rows("prior")


def test_simulate_reference_sections_parse_match_the_signature_and_their_example_runs():
    from numpydoc.docscrape import NumpyDocString

    lines = parameter_tables.simulate_sections()
    sections = NumpyDocString("\n".join(lines))
    documented = [parameter.name for parameter in sections["Parameters"]]
    signature = ventrola.simulate.__doc__.splitlines()[0]
    assert signature.startswith("simulate(")
    assert documented == re.findall(r"(\w+)(?:=[^,)]*)?[,)]", signature[len("simulate("):])
    assert [r.name for r in sections["Returns"]] == ["choices", "rts", "n_excluded"]
    start = next(p for p in sections["Parameters"] if p.name == "start")
    assert "(0, 1)" in " ".join(start.desc)
    test = doctest.DocTestParser().get_doctest("\n".join(sections["Examples"]), {}, "simulate", None, 0)
    result = doctest.DocTestRunner().run(test)
    assert result.attempted == 3 and result.failed == 0
    # The compiled docstring is left as it is: the sections are added once, only on the page.
    existing = ["Parameters", "----------"]
    parameter_tables.complete_simulate(None, "function", "ventrola.simulate", None, None, existing)
    assert existing == ["Parameters", "----------"]


# -- every public name has a page --------------------------------------------------------------

def test_public_names_cover_both_modules_and_the_model_object():
    names = api_coverage.public_names()
    for expected in ("ventrola.fit_ml", "ventrola.compare", "ventrola.bayes.sample", "ventrola.DDM.logpdf",
                     "ventrola.DDM.simulate", "ventrola.DDM.bound"):
        assert expected in names
    assert not [name for name in names if name.rsplit(".", 1)[1].startswith("_")]
    assert api_coverage.missing_names(set(names)) == []
    assert api_coverage.missing_names(set(names) - {"ventrola.plot_delta"}) == ["ventrola.plot_delta"]


def test_the_api_page_lists_every_public_function_and_class():
    """The reference page names every entry of both modules' __all__ in an autosummary (a
    missing one would also fail the build; this finds it without building)."""
    listed = set(re.findall(r"^   (\w+)$", (ROOT / "docs" / "api.rst").read_text(), flags=re.MULTILINE))
    import ventrola.bayes

    public = {name for module in (ventrola, ventrola.bayes) for name in module.__all__ if not name.startswith("_")}
    assert public - listed == set()


# -- the gallery's figures -------------------------------------------------------------------

def test_scraper_finds_returned_figures_once_each_and_in_tuples():
    from matplotlib.figure import Figure

    first, second, third = Figure(), Figure(), Figure()
    namespace = {"figure": first, "again": first, "pair": (second, "axes"), "other": 3, "shown": third}
    assert figure_scraper.new_figures(namespace, [third]) == [first, second]
    assert figure_scraper.new_figures(namespace, [first, second, third]) == []


# -- the browser check -----------------------------------------------------------------------

def test_internal_links_to_missing_files_anchors_and_places_outside_the_site_are_found(tmp_path):
    site = tmp_path / "site"
    (site / "guide").mkdir(parents=True)
    (site / "index.html").write_text('<h1 id="top">x</h1><a name="old">y</a>')
    (site / "guide" / "index.html").write_text('<section id="the-model"></section>')
    (tmp_path / "elsewhere.html").write_text("")
    url = (site / "index.html").as_uri()
    links = [url, url + "#top", url + "#old", (site / "guide").as_uri() + "/#the-model",
             url + "#nowhere", (site / "gone.html").as_uri(), (tmp_path / "elsewhere.html").as_uri(),
             "https://example.org/", "mailto:someone@example.org", url + "#top"]
    assert check_docs.broken_links(links, site) == [
        f"link to a missing anchor: {url}#nowhere",
        f"link to a missing file: {(site / 'gone.html').as_uri()}",
        f"link outside the site: {(tmp_path / 'elsewhere.html').as_uri()}",
    ]
    assert check_docs.anchors_in("<p id='a b'></p><a name=\"c%20d\">") == {"a b", "c d"}


def test_devtools_events_become_errors():
    events = [
        {"method": "Runtime.exceptionThrown", "params": {"exceptionDetails": {
            "exception": {"description": "TypeError: x is undefined"}, "url": "file:///a.js", "lineNumber": 3}}},
        {"method": "Runtime.consoleAPICalled", "params": {"type": "error", "args": [{"value": "bad"}]}},
        {"method": "Runtime.consoleAPICalled", "params": {"type": "log", "args": [{"value": "fine"}]}},
        {"method": "Log.entryAdded", "params": {"entry": {"level": "error", "text": "Failed to load resource",
                                                          "url": "file:///x.png"}}},
        {"method": "Log.entryAdded", "params": {"entry": {"level": "warning", "text": "meh"}}},
        {"method": "Network.loadingFailed", "params": {"errorText": "net::ERR_NAME_NOT_RESOLVED", "requestId": "7"}},
        {"method": "Network.loadingFailed", "params": {"errorText": "aborted", "canceled": True}},
    ]
    assert check_docs.errors_from_events(events) == [
        "TypeError: x is undefined (file:///a.js:3)",
        "bad",
        "Failed to load resource file:///x.png",
        "failed to load (net::ERR_NAME_NOT_RESOLVED) request 7",
    ]


PIXEL = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360f8cf00000301010018dd8db40000000049454e44ae426082")


def test_chromium_finds_a_script_error_a_missing_image_a_broken_link_and_a_network_fetch(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    (site / "dot.png").write_bytes(PIXEL)
    (site / "clean.html").write_text(
        '<html><body><img src="dot.png"><a href="clean.html#x">to itself</a><p id="x"></p></body></html>')
    (site / "broken.html").write_text(
        '<html><body><img src="missing.png"><a href="clean.html#nowhere">a</a>'
        '<script>undefinedFunction();</script>'
        '<script src="https://cdn.example.org/lib.js"></script></body></html>')
    reports = check_docs.check_site(site, pages=("clean.html", "broken.html"), screenshots=tmp_path / "shots")
    clean, broken = reports
    assert clean.problems() == []
    assert (tmp_path / "shots" / "clean.png").read_bytes()[:8] == PIXEL[:8]
    assert [Path(src).name for src in broken.missing_images] == ["missing.png"]
    assert broken.links == [f"link to a missing anchor: {(site / 'clean.html').as_uri()}#nowhere"]
    errors = " | ".join(broken.errors)
    assert "undefinedFunction is not defined" in errors
    assert "missing.png" in errors or "ERR_FILE_NOT_FOUND" in errors
    assert "ERR_NAME_NOT_RESOLVED" in errors  # the network is closed to the pages


def test_the_command_refuses_a_site_that_was_not_built(tmp_path, capsys):
    assert check_docs.main([str(tmp_path)]) == 1
    assert "no built site" in capsys.readouterr().err
