# Front door of korvamel: make, make test, make bench, make demo, make install.
BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
JOBS       ?= 2
PREFIX     ?= /usr/local
CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Release

.PHONY: all programs windows test test-plain test-asan test-wine bench demo \
        install deps clean

all: programs

# GoogleTest and Google Benchmark come from the machine's Debian packages,
# and so do the Windows cross compiler (mingw-w64) and wine for its tests.
# A missing one is installed when we may (root with apt-get), else named.
deps:
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v x86_64-w64-mingw32-g++-posix >/dev/null || \
	  missing="$$missing g++-mingw-w64-x86-64-posix"; \
	command -v wine >/dev/null || missing="$$missing wine wine64"; \
	[ -f /usr/include/benchmark/benchmark.h ] || missing="$$missing libbenchmark-dev"; \
	[ -f /usr/include/fuse3/fuse.h ] || missing="$$missing libfuse3-dev"; \
	command -v fusermount3 >/dev/null || missing="$$missing fuse3"; \
	command -v pkg-config >/dev/null || missing="$$missing pkg-config"; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "installing:$$missing"; \
	    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing) || \
	    { echo "could not install:$$missing"; exit 1; }; \
	  else \
	    echo "missing packages, please install:$$missing"; exit 1; \
	  fi; \
	fi

$(BUILD)/CMakeCache.txt: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DKORV_BENCH=ON >/dev/null

programs: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target korvfyll korvlas -j$(JOBS)

# korvfyll.exe and korvlas.exe for 64-bit Windows, linked statically:
# $(WIN_BUILD)/korvfyll.exe and $(WIN_BUILD)/korvlas.exe.
windows: deps
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WIN_BUILD) --target korvfyll korvlas -j$(JOBS)

test: test-plain test-asan test-wine

test-plain: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORV_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --timeout 900

# The Windows programs under wine: the portable unit tests as Windows
# programs, then the end-to-end runs beside the Linux programs. Without
# wine they are skipped, and said so. The prefix is made before ctest runs,
# so that the wine services it starts hold no pipe of a test.
test-wine: windows test-plain
	@if ! command -v wine >/dev/null; then \
	  echo "wine not found: the Windows tests were SKIPPED"; exit 0; \
	fi; \
	tmp=$$(mktemp -d /tmp/korvamel-wine.XXXXXX); \
	export WINEPREFIX=$$tmp/pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; \
	mkdir -p $$WINEPREFIX && wineserver -p30 && \
	wine cmd /c exit >/dev/null 2>&1 </dev/null && \
	cmake --build $(WIN_BUILD) -j$(JOBS) && \
	(cd $(WIN_BUILD) && ctest --output-on-failure --timeout 300); \
	status=$$?; wineserver -k; rm -rf $$tmp; [ $$status = 0 ] || exit $$status; \
	KORV_BUILD_DIR=$(abspath $(BUILD)) KORV_WINDOWS_BUILD_DIR=$(abspath $(WIN_BUILD)) \
	  $(BUILD)/tests/wine_test

bench: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && { echo "== $$b"; "$$b" || exit 1; }; done; true
	@for s in bench/*.sh; do [ -f "$$s" ] && { echo "== $$s"; BUILD=$(BUILD) bash "$$s" || exit 1; }; done; true

# A small round trip: 20 files of 1 MiB written, read back and deleted, with
# HOME in a temporary folder so that no real ~/korvamel fills up.
demo: programs
	@tmp=$$(mktemp -d /tmp/korvamel-demo.XXXXXX); \
	echo "Demo-Ordner: $$tmp/daten (HOME=$$tmp/home)"; mkdir -p $$tmp/home; \
	HOME=$$tmp/home $(BUILD)/korvfyll 1M A 0 20 N $$tmp/daten </dev/null && \
	HOME=$$tmp/home $(BUILD)/korvlas 0 20 J $$tmp/daten </dev/null; \
	status=$$?; rm -rf $$tmp; exit $$status

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)
