# Entry points: `make demo` runs an instrument exchange through the DLL under Wine, `make test`
# builds everything and runs every test, `make` builds dist/x86/KALVEX.dll and dist/x64/KALVEX.dll.
.PHONY: all dll native test demo deps clean

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

clean:
	rm -rf build dist
