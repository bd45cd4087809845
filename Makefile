# Entry points: `make demo` runs an instrument exchange through the DLL under Wine, `make test`
# builds everything and runs every test, `make` builds dist/x86/KALVEX.dll and dist/x64/KALVEX.dll.
.PHONY: all dll native test demo dist deps clean fuzz bench

all: dll

deps:
	@./tools/install-deps.sh

dll: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j2
	cmake --preset win64 >/dev/null
	cmake --build --preset win64 -j2

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j2

demo: dll
	cmake --preset native >/dev/null
	cmake --build --preset native -j2 --target kalvex_demo
	./build/native/tools/demo/kalvex_demo

test: dll native
	ctest --preset native -j2

# dist/kalvex-<version>.zip: both DLLs with import libraries, header, console hosts, docs, examples.
dist: dll
	./tools/make-dist.sh

# Both fuzz targets at once for FUZZ_SECONDS each (make test gives them a minute); new inputs stay
# in build/native/fuzz/<target>/corpus, a failing input is saved beside it.
FUZZ_SECONDS ?= 600
fuzz: native
	@pids=; for t in opencom readstring; do \
	  echo "fuzz: $$t for $(FUZZ_SECONDS) s, log in build/native/fuzz/$$t.log"; \
	  ./fuzz/run.sh build/native/fuzz/clang/$${t}_fuzz fuzz/corpus/$$t build/native/fuzz/$$t \
	    $(FUZZ_SECONDS) >build/native/fuzz/$$t.log 2>&1 & pids="$$pids $$!"; \
	done; status=0; for p in $$pids; do wait $$p || status=1; done; \
	for t in opencom readstring; do echo "$$t: $$(grep -E '^Done|^==.*ERROR|_fuzz: ' build/native/fuzz/$$t.log | tail -1)"; done; \
	exit $$status

# Each build of the DLL measured under Wine against the platform calls beneath it, on pty lines
# fed by a native peer; prints the table and writes bench/results.json (README: Performance).
bench: dll
	cmake --preset native >/dev/null
	cmake --build --preset native -j2 --target kx_bench
	./build/native/bench/kx_bench --json bench/results.json

clean:
	rm -rf build dist
