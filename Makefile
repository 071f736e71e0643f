# The two commands a newcomer needs: `make demo` and `make test`. Both create
# the virtual environment in .venv when it is missing, build the wheel and
# install it there.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
WHEELHOUSE := build/wheelhouse
STAMP := $(VENV)/.requirements-installed

.PHONY: all demo test bench install venv clean test-sanitize memcheck lint docs docs-check chromium

all: test

venv: $(STAMP)

$(STAMP): requirements/build.txt requirements/run.txt requirements/test.txt requirements/bayes.txt \
		requirements/formulas.txt requirements/docs.txt
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet -r requirements/build.txt -r requirements/run.txt -r requirements/test.txt \
		-r requirements/bayes.txt -r requirements/formulas.txt -r requirements/docs.txt
	touch $@

# The wheel carries the private test module too (VENTROLA_BUILD_TESTING); a
# plain `pip install .` leaves it out.
install: $(STAMP)
	rm -rf $(WHEELHOUSE)
	VENTROLA_BUILD_TESTING=ON $(BIN)/python -m pip wheel . --quiet --no-build-isolation --no-deps -w $(WHEELHOUSE)
	$(BIN)/python -m pip install --quiet --force-reinstall --no-deps $(WHEELHOUSE)/*.whl
	$(BIN)/abi3audit --strict --summary $(WHEELHOUSE)/*.whl

test: install chromium
	$(BIN)/python -m pytest

# The documentation site, from scratch each time: the API pages and the gallery are generated
# into docs/ (ignored by git) and every example runs. Warnings are errors: a broken
# cross-reference, a public name without a page, a docstring numpydoc cannot read.
DOCS_HTML := build/docs/html

docs: install
	rm -rf build/docs docs/generated docs/auto_examples docs/sg_execution_times.rst
	MPLBACKEND=Agg $(BIN)/python -m sphinx -b html -W --keep-going -n -d build/docs/doctrees docs $(DOCS_HTML)
	@echo "pages: $$(find $(DOCS_HTML) -name '*.html' | wc -l); start page: $(DOCS_HTML)/index.html"

# The built site in headless Chromium (Debian's package, installed when missing): the start page,
# the model's page, an API page and a gallery page, with their screenshots in build/docs/screenshots.
docs-check: venv chromium
	$(BIN)/python tools/check_docs.py $(DOCS_HTML) --screenshots build/docs/screenshots

chromium:
	command -v chromium >/dev/null || (apt-get update -q && apt-get install -y -q chromium)

# The recovery demo, then generalized models (a collapsing bound, a conflict task), then trials
# without a time (go/no-go, a deadline), then a hierarchical regression with modest draws (a
# minute or two).
demo: install
	$(BIN)/python examples/recovery_demo.py
	$(BIN)/python examples/generalized_demo.py
	$(BIN)/python examples/go_nogo_example.py
	$(BIN)/python examples/regression_example.py

bench: install
	$(BIN)/python bench/run_all.py

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own build directory and virtual
# environment so that the normal install in .venv is left alone. The interpreter
# is not instrumented, so the GCC runtimes are preloaded; PYTHONMALLOC=malloc
# lets AddressSanitizer see Python objects too. Leak detection stays off: the
# interpreter keeps its own objects to the end (see `make memcheck`).
SAN_VENV := .venv-sanitize
SAN_BIN := $(SAN_VENV)/bin
SAN_STAMP := $(SAN_VENV)/.requirements-installed
# Left out of this run: the Bayesian layer (Python over the same likelihood
# functions, whose native code the likelihood tests already run here; PyMC is
# not installed in this environment), the self-checks of the two references,
# which run no native code at all, and the documentation site's tooling (Sphinx
# is not installed here either).
SAN_LEAVE_OUT := --ignore=tests/test_bayes.py --ignore=tests/test_bayes_regression.py \
	--ignore=tests/test_bayes_generalized.py --ignore=tests/test_wiener_reference.py \
	--ignore=tests/test_generalized_reference.py --ignore=tests/test_docs_site.py
SAN_WHEELHOUSE := build/sanitize-wheelhouse
SAN_RUNTIMES = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SAN_ENV = LD_PRELOAD="$(SAN_RUNTIMES)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(SAN_STAMP): requirements/build.txt requirements/run.txt requirements/test.txt requirements/formulas.txt
	test -x $(SAN_BIN)/python || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_BIN)/python -m pip install --quiet --upgrade pip
	$(SAN_BIN)/python -m pip install --quiet -r requirements/build.txt -r requirements/run.txt -r requirements/test.txt \
		-r requirements/formulas.txt
	touch $@

test-sanitize: $(SAN_STAMP)
	rm -rf $(SAN_WHEELHOUSE)
	CXX=$(CXX) VENTROLA_BUILD_TESTING=ON $(SAN_BIN)/python -m pip wheel . --quiet --no-build-isolation --no-deps \
		-w $(SAN_WHEELHOUSE) -C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo \
		-C cmake.define.VENTROLA_SANITIZE=ON
	$(SAN_BIN)/python -m pip install --quiet --force-reinstall --no-deps $(SAN_WHEELHOUSE)/*.whl
	$(SAN_ENV) $(SAN_BIN)/python -m pytest --capture=sys $(SAN_LEAVE_OUT)

# A short run of every entry point under valgrind's memcheck. The build keeps
# its symbols (build/memcheck) and is loaded from build/memcheck-site by the
# interpreter and NumPy of .venv, so the install in .venv is left alone. Fails
# on memory errors and on definite leaks.
MEMCHECK_WHEELHOUSE := build/memcheck-wheelhouse
MEMCHECK_SITE := build/memcheck-site

memcheck: $(STAMP)
	command -v valgrind >/dev/null || (apt-get update -q && apt-get install -y -q valgrind)
	rm -rf $(MEMCHECK_WHEELHOUSE) $(MEMCHECK_SITE)
	VENTROLA_BUILD_TESTING=ON $(BIN)/python -m pip wheel . --quiet --no-build-isolation --no-deps \
		-w $(MEMCHECK_WHEELHOUSE) -C build-dir=build/memcheck -C cmake.build-type=RelWithDebInfo \
		-C install.strip=false
	$(BIN)/python -m pip install --quiet --no-deps --target $(MEMCHECK_SITE) $(MEMCHECK_WHEELHOUSE)/*.whl
	PYTHONMALLOC=malloc PYTHONPATH=$(MEMCHECK_SITE) valgrind --tool=memcheck --leak-check=full \
		--show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite --error-exitcode=1 \
		--num-callers=40 --suppressions=tools/valgrind-python.supp $(BIN)/python tools/memcheck_calls.py

# clang-format's verdict on layout and clang-tidy's checks, over every source
# in src/, with the compile commands of a plain configure. Debian's clang 19
# tools are installed when missing (older ones cannot read GCC 12's <expected>).
CLANG_TIDY := clang-tidy-19
CLANG_FORMAT := clang-format-19
LINT_BUILD := build/lint

lint: $(STAMP)
	command -v $(CLANG_TIDY) >/dev/null && command -v $(CLANG_FORMAT) >/dev/null || \
		(apt-get update -q && apt-get install -y -q $(CLANG_TIDY) $(CLANG_FORMAT))
	$(BIN)/cmake -S . -B $(LINT_BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVENTROLA_BUILD_TESTING=ON \
		-DPython_EXECUTABLE=$(abspath $(BIN)/python) >/dev/null
	find src -name '*.[ch]pp' | sort | xargs $(CLANG_FORMAT) --dry-run --Werror
	find src -name '*.cpp' | sort | xargs -P 2 -n 6 $(CLANG_TIDY) -p $(LINT_BUILD) --quiet

clean:
	rm -rf build dist $(VENV) $(SAN_VENV)
