# The two commands a newcomer needs: `make demo` and `make test`. Both create
# the virtual environment in .venv when it is missing, build the wheel and
# install it there.
PYTHON ?= python3
VENV := .venv
BIN := $(VENV)/bin
WHEELHOUSE := build/wheelhouse
STAMP := $(VENV)/.requirements-installed

.PHONY: all demo test bench install venv clean

all: test

venv: $(STAMP)

$(STAMP): requirements/build.txt requirements/test.txt
	test -x $(BIN)/python || $(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet -r requirements/build.txt -r requirements/test.txt
	touch $@

# The wheel carries the private test module too (VENTROLA_BUILD_TESTING); a
# plain `pip install .` leaves it out.
install: $(STAMP)
	rm -rf $(WHEELHOUSE)
	VENTROLA_BUILD_TESTING=ON $(BIN)/python -m pip wheel . --quiet --no-build-isolation --no-deps -w $(WHEELHOUSE)
	$(BIN)/python -m pip install --quiet --force-reinstall --no-deps $(WHEELHOUSE)/*.whl
	$(BIN)/abi3audit --strict --summary $(WHEELHOUSE)/*.whl

test: install
	$(BIN)/python -m pytest

demo: install
	$(BIN)/python examples/recovery_demo.py

bench: install
	$(BIN)/python bench/run_all.py

clean:
	rm -rf build dist $(VENV)
