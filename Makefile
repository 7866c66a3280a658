# A newcomer's entry points. Each target installs what is missing first.
#   make demo   - the plug-in on the built-in virtual null-modem
#   make test   - every test: native unit tests, then the real DLL under Wine
#   make bench  - transfer benchmarks (prints figures, never fails on a time)
#   make reliability - noisy lines, hostile peers, long runs (about an hour)
#   make fuzz   - libFuzzer on the receiver and the sender
#   make dist   - the release zip for script writers, and its checksums, in dist/

.PHONY: setup native win32 win64 wine-build test test-native test-win32 demo bench reliability fuzz dist clean

setup:
	@bash tools/setup-packages.sh

native: setup
	@cmake --preset native >/dev/null
	@cmake --build --preset native

# A build folder made before the toolchain changed compilers is configured
# afresh (its Wine prefix stays).
win32: setup
	@cmake --preset win32 >/dev/null 2>&1 || cmake --fresh --preset win32 >/dev/null
	@cmake --build --preset win32

win64: setup
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64

# The build whose programs run under Wine here: win32 where the kernel can
# execute 32-bit code, win64 (the same sources) where it refuses them.  A
# missing or broken wine32 is neither: wine-build stops with the reason.
WINE_BUILD = $(shell tools/wine-run --check-32bit >/dev/null 2>&1; \
	case $$? in (0) echo win32 ;; (77) echo win64 ;; (*) echo none ;; esac)

wine-build: win32
	@case "$(WINE_BUILD)" in \
	    win32) ;; \
	    win64) echo "note: this machine cannot execute 32-bit code; Wine tests run on the 64-bit build"; \
	           $(MAKE) --no-print-directory win64 ;; \
	    *) tools/wine-run --check-32bit; exit 1 ;; \
	esac

test-native: native
	ctest --preset native

test-win32: wine-build
	ctest --preset win32
	@if [ "$(WINE_BUILD)" = win64 ]; then ctest --preset win64; fi

test: test-native test-win32
	@if [ "$(WINE_BUILD)" = win32 ]; then \
	    echo "make test: the Wine-level tests ran on the shipped 32-bit DLL (build/win32)"; \
	else \
	    echo "make test: the Wine-level tests ran on the 64-bit build (build/win64), as this machine cannot execute 32-bit code; the shipped 32-bit DLL's tables were checked without Wine"; \
	fi

demo: native wine-build
	@bash tools/demo.sh build/$(WINE_BUILD)

bench: native wine-build
	@bash bench/run.sh build/$(WINE_BUILD)

reliability: native wine-build
	@bash tools/reliability.sh build/$(WINE_BUILD)

fuzz: setup
	@bash tools/fuzz.sh

dist: win32
	@/usr/bin/python3 tools/dist.py build/win32 dist

clean:
	rm -rf build
