# Entry points: `make` builds dist/x86/KALVEX.dll, `make test` builds everything and runs every test.
.PHONY: all dll native test deps clean

all: dll

deps:
	@./tools/install-deps.sh

dll: deps
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j2

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j2

test: dll native
	ctest --preset native -j2

clean:
	rm -rf build dist
