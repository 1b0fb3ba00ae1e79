# make test  - set up a virtual environment, build, run the Python and native tests
# make demo  - set up the same way and run the example program and the command-line tool
# make asan  - run both test suites again against an AddressSanitizer + UBSan build
# make kernels  - the Python tests once per forced kernel level (ARBOLITE_KERNELS)
# make portable - the native tests built without any x86 vector code
# make bench - benchmarks side by side with lxml, ElementTree, xmltodict and a
#              native DOM parser
# make wheel - build a manylinux wheel for the interpreter of .venv into dist/
#              (WHEEL_ALL=1: also for every other CPython 3.12+ found);
#              make wheel-test installs it into a fresh environment and runs
#              the test suite against it
# make fuzz  - build the libFuzzer targets with clang and run each for
#              FUZZ_SECONDS (default 60); skipped when clang is unavailable
# make docs  - build the documentation site into build/site (warnings are errors)
# make charts - redraw the documentation's benchmark charts from docs/bench-results.json

PYTHON_FOUND := $(shell scripts/find-python)
VENV := .venv
PY := $(VENV)/bin/python
ABS_PY := $(abspath $(PY))
NATIVE_BUILD := build/native
PORTABLE_BUILD := build/portable
ASAN_BUILD := build/asan

DIST := dist

.PHONY: test demo install pytest native native-fallbacks kernels portable asan bench fuzz docs charts wheel wheel-test clean

test: pytest native

demo: install
	$(PY) examples/demo.py
	@echo; echo '$$ arbolite pretty examples/catalog.xml catalog --indent 2'
	$(VENV)/bin/arbolite pretty examples/catalog.xml catalog --indent 2

$(VENV)/.ready: requirements-dev.txt requirements-docs.txt requirements-scale.txt
	@test -n "$(PYTHON_FOUND)" || { echo "no CPython 3.12+ found" >&2; exit 1; }
	scripts/ensure-native-deps "$(PYTHON_FOUND)"
	rm -rf $(VENV)
	$(PYTHON_FOUND) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt -r requirements-docs.txt -r requirements-scale.txt
	touch $@

install: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps .

pytest: install
	$(PY) -m pytest -q

# $(call native_tests,FOLDER,CMAKE OPTIONS): configure a build of the native
# tests in FOLDER, build it and run its cases, two at a time.
CTEST := $(abspath $(VENV)/bin/ctest) -j2 --output-on-failure
define native_tests
	scripts/ensure-native-deps "$(PYTHON_FOUND)" --gtest
	$(VENV)/bin/cmake -S . -B $(1) -G Ninja -DARBOLITE_TESTS=ON $(2) \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) >/dev/null
	$(VENV)/bin/cmake --build $(1)
	cd $(1) && $(CTEST)
endef

native: $(VENV)/.ready
	$(call native_tests,$(NATIVE_BUILD),-DARBOLITE_MODULE=OFF -DARBOLITE_RANDOM_SOURCE=auto)

# The native tests once more for each fallback random source of systems
# without getrandom (getentropy), or without either (/dev/urandom). The
# native build is reconfigured, which recompiles one source and the tests,
# and set back afterwards whatever the outcome.
native-fallbacks: native
	status=0; for source in getentropy urandom; do \
		echo "== random source: $$source"; \
		$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -DARBOLITE_RANDOM_SOURCE=$$source >/dev/null \
			&& $(VENV)/bin/cmake --build $(NATIVE_BUILD) \
			&& (cd $(NATIVE_BUILD) && $(CTEST)) || status=1; \
	done; \
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -DARBOLITE_RANDOM_SOURCE=auto >/dev/null \
		&& $(VENV)/bin/cmake --build $(NATIVE_BUILD) >/dev/null || status=1; \
	exit $$status

# The Python tests once for each level ARBOLITE_KERNELS can force on the
# run-time kernel choices (search and classification, UTF-8 encoding and
# decoding, the writer's measuring pass), against the installed module; a
# level the processor lacks falls back to the best one below it.
kernels: install
	status=0; for level in portable sse2 avx2; do \
		echo "== ARBOLITE_KERNELS=$$level"; \
		ARBOLITE_KERNELS=$$level $(PY) -m pytest -q -p no:cacheprovider || status=1; \
	done; \
	exit $$status

# The native tests of a build that leaves out every SSE2 and AVX2 code path
# (ARBOLITE_PORTABLE_ONLY), as a build for another processor does, in a
# build folder of its own.
portable: $(VENV)/.ready
	$(call native_tests,$(PORTABLE_BUILD),-DARBOLITE_MODULE=OFF -DARBOLITE_PORTABLE_ONLY=ON)

# The interpreter itself is not instrumented: the ASan runtime is preloaded
# and leak detection is off for the Python run (the interpreter keeps
# allocations alive until exit by design). The native tests keep it on.
# Impossible allocation sizes return null instead of aborting, as they do
# without the sanitizer, so the tests of MemoryError still apply; libstdc++ is
# preloaded too, so that the runtime can intercept C++ throws (the
# interpreter itself does not load it).
asan: $(VENV)/.ready
	$(call native_tests,$(ASAN_BUILD),-DARBOLITE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(ABS_PY))
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$(ASAN_BUILD) \
		ARBOLITE_SANITIZED=1 $(PY) -m pytest -q -p no:cacheprovider

# Side-by-side benchmarks against lxml, ElementTree, xmltodict and a native
# DOM parser (bench/setup installs the Debian packages the benchmark reads
# and builds the native program). BENCH_ARGS passes options to bench/run.py,
# e.g. BENCH_ARGS="--only read,threads --sizes 1M --rounds 3 --json out.json".
bench: install
	$(PY) -m pip install -q -r bench/requirements.txt
	bench/setup build/bench
	$(PY) -m pytest -q -p no:cacheprovider bench/test_harness.py
	$(PY) bench/run.py --native build/bench/native_dom $(BENCH_ARGS)

# The wheel is repaired by auditwheel (patchelf does the ELF edits it needs);
# the C++ runtime is linked in, so only the C library and libgcc_s stay
# outside and the tag follows their symbol versions.
wheel: $(VENV)/.ready
	$(PY) -m pip install -q "auditwheel>=6" patchelf
	scripts/build-wheel $(ABS_PY) $(DIST) $(if $(WHEEL_ALL),--all)

# The wheel installed into a fresh virtual environment outside the tree,
# with the test suite run against it there.
wheel-test: wheel
	ARBOLITE_WHEEL_DIR=$(abspath $(DIST)) $(PY) -m pytest -q -p no:cacheprovider tests/test_wheel.py

# The virtual environment provides cmake and ninja for the fuzz build.
fuzz: $(VENV)/.ready
	CMAKE=$(abspath $(VENV)/bin/cmake) NINJA=$(abspath $(VENV)/bin/ninja) scripts/fuzz

# The API reference is read from the type stub, so the site needs no build
# of the extension. Run as a module, so that the import path starts at the
# repository, not at the venv's bin (where the command-line tool is).
docs: $(VENV)/.ready
	$(PY) -m mkdocs build --strict --quiet --clean

charts: $(VENV)/.ready
	$(PY) docs/charts.py

clean:
	rm -rf build $(VENV) $(DIST)
