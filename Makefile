# make test  - set up a virtual environment, build, run the Python and native tests
# make demo  - set up the same way and run the example program and the command-line tool
# make asan  - run both test suites again against an AddressSanitizer + UBSan build
# make bench - benchmarks side by side with lxml, ElementTree and xmltodict
# make fuzz  - build the libFuzzer targets with clang and run each for
#              FUZZ_SECONDS (default 60); skipped when clang is unavailable

PYTHON_FOUND := $(shell scripts/find-python)
VENV := .venv
PY := $(VENV)/bin/python
ABS_PY := $(abspath $(PY))
NATIVE_BUILD := build/native
ASAN_BUILD := build/asan

.PHONY: test demo install pytest native asan bench fuzz clean

test: pytest native

demo: install
	$(PY) examples/demo.py
	@echo; echo '$$ arbolite pretty examples/catalog.xml catalog --indent 2'
	$(VENV)/bin/arbolite pretty examples/catalog.xml catalog --indent 2

$(VENV)/.ready: requirements-dev.txt requirements-scale.txt
	@test -n "$(PYTHON_FOUND)" || { echo "no CPython 3.12+ found" >&2; exit 1; }
	scripts/ensure-native-deps "$(PYTHON_FOUND)"
	rm -rf $(VENV)
	$(PYTHON_FOUND) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt -r requirements-scale.txt
	touch $@

install: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps .

pytest: install
	$(PY) -m pytest -q

native: $(VENV)/.ready
	scripts/ensure-native-deps "$(PYTHON_FOUND)" --gtest
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DARBOLITE_MODULE=OFF -DARBOLITE_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	cd $(NATIVE_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure

# The interpreter itself is not instrumented: the ASan runtime is preloaded
# and leak detection is off for the Python run (the interpreter keeps
# allocations alive until exit by design). The native tests keep it on.
# Impossible allocation sizes return null instead of aborting, as they do
# without the sanitizer, so the tests of MemoryError still apply; libstdc++ is
# preloaded too, so that the runtime can intercept C++ throws (the
# interpreter itself does not load it).
asan: $(VENV)/.ready
	scripts/ensure-native-deps "$(PYTHON_FOUND)" --gtest
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DARBOLITE_SANITIZE=ON -DARBOLITE_TESTS=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(ABS_PY) \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$(ASAN_BUILD) \
		ARBOLITE_SANITIZED=1 $(PY) -m pytest -q -p no:cacheprovider

# Side-by-side benchmarks against lxml, ElementTree and xmltodict.
bench: install
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/run.py $(BENCH_ARGS)

# The virtual environment provides cmake and ninja for the fuzz build.
fuzz: $(VENV)/.ready
	CMAKE=$(abspath $(VENV)/bin/cmake) NINJA=$(abspath $(VENV)/bin/ninja) scripts/fuzz

clean:
	rm -rf build $(VENV)
