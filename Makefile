# Front door of korvamel: make, make install, make package, make test,
# make bench, make demo.
BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
JOBS       ?= 2
PREFIX     ?= /usr/local
CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Release

.PHONY: all programs windows test test-plain test-asan test-wine bench demo \
        install package deps build-deps package-deps windows-deps clean

all: programs

# What each step needs, as Debian package=command-or-file. Building and
# installing need only a compiler and CMake; the test and benchmark
# libraries, and the fault-injecting FUSE test file system, are needed by
# make test and make bench alone.
BUILD_NEEDS   = cmake=cmake g++=c++
TEST_NEEDS    = libgtest-dev=/usr/include/gtest/gtest.h \
                libbenchmark-dev=/usr/include/benchmark/benchmark.h \
                libfuse3-dev=/usr/include/fuse3/fuse.h fuse3=fusermount3 \
                pkg-config=pkg-config python3=python3
# make package: dependencies from the binaries (dpkg-shlibdeps, which CPack
# runs with the help of file).
PACKAGE_NEEDS = dpkg-dev=dpkg-shlibdeps file=file
# The package test (root only): the checker and the manual-page tools.
CHECK_NEEDS   = lintian=lintian man-db=man groff-base=groff mandoc=mandoc
# The full-disk tests (root only): the file systems a disk may carry; and
# sfdisk, which reads the partition table korvprov --anpassen writes.
FS_NEEDS      = xfsprogs=mkfs.xfs btrfs-progs=mkfs.btrfs exfatprogs=mkfs.exfat \
                exfat-fuse=mount.exfat-fuse ntfs-3g=ntfs-3g fdisk=sfdisk
# make windows: the cross compiler; its tests run the programs under wine.
WINDOWS_NEEDS = g++-mingw-w64-x86-64-posix=x86_64-w64-mingw32-g++-posix
WINE_NEEDS    = wine=wine wine64=/usr/lib/wine/wine64

# $(call need,entries): installs the missing packages when we may (root
# with apt-get), else names them and fails.
define need
missing=""; \
for entry in $(1); do \
  command -v "$${entry#*=}" >/dev/null 2>&1 || [ -e "$${entry#*=}" ] || \
    missing="$$missing $${entry%%=*}"; \
done; \
if [ -n "$$missing" ]; then \
  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
    echo "installing:$$missing"; \
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
       apt-get install -y -qq --no-install-recommends $$missing) || \
    { echo "could not install:$$missing"; exit 1; }; \
  else \
    echo "missing packages, please install:$$missing"; exit 1; \
  fi; \
fi
endef

build-deps:
	@$(call need,$(BUILD_NEEDS))

package-deps: build-deps
	@$(call need,$(PACKAGE_NEEDS))

windows-deps: build-deps
	@$(call need,$(WINDOWS_NEEDS))

# Everything make test and make bench need. The package test, the
# full-disk file systems and the wine tests are only installed for as root
# (otherwise they say what they skipped).
deps: build-deps
	@$(call need,$(TEST_NEEDS))
	@if [ "$$(id -u)" = 0 ]; then \
	  $(call need,$(PACKAGE_NEEDS) $(CHECK_NEEDS) $(FS_NEEDS) $(WINDOWS_NEEDS) $(WINE_NEEDS)); \
	fi

$(BUILD)/CMakeCache.txt: CMakeLists.txt | build-deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

programs: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target korvfyll korvlas korvprov manual_pages -j$(JOBS)

# korvfyll.exe, korvlas.exe and korvprov.exe for 64-bit Windows, linked
# statically, in $(WIN_BUILD).
windows: windows-deps
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(WIN_BUILD) --target korvfyll korvlas korvprov -j$(JOBS)

test: test-plain test-asan test-wine

# The test and benchmark programs are switched on here, once their
# libraries are there.
test-plain: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DKORV_TESTS=ON -DKORV_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600

# -O1 -g1: what the sanitizers need for exact reports with file and line,
# built in half the time of -O2 -g.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DKORV_SANITIZE=ON -DKORV_TESTS=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --timeout 900

# The Windows programs under wine: the portable unit tests as Windows
# programs, then the end-to-end runs beside the Linux programs. Without
# wine they are skipped, and said so. The prefix is made before ctest runs,
# so that the wine services it starts hold no pipe of a test.
test-wine: test-plain
	@if ! command -v wine >/dev/null || \
	    ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then \
	  echo "wine or mingw-w64 not found: the Windows tests were SKIPPED"; exit 0; \
	fi; \
	$(MAKE) --no-print-directory windows || exit 1; \
	tmp=$$(mktemp -d /tmp/korvamel-wine.XXXXXX); \
	export WINEPREFIX=$$tmp/pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; \
	mkdir -p $$WINEPREFIX && wineserver -p30 && \
	wine cmd /c exit >/dev/null 2>&1 </dev/null && \
	cmake --build $(WIN_BUILD) -j$(JOBS) && \
	(cd $(WIN_BUILD) && ctest --output-on-failure --timeout 300); \
	status=$$?; wineserver -k; rm -rf $$tmp; [ $$status = 0 ] || exit $$status; \
	KORV_BUILD_DIR=$(abspath $(BUILD)) KORV_WINDOWS_BUILD_DIR=$(abspath $(WIN_BUILD)) \
	  $(BUILD)/tests/wine_test

bench: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DKORV_TESTS=ON -DKORV_BENCH=ON >/dev/null
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

# korvamel_<version>_<arch>.deb in this folder, built by CPack.
package: programs package-deps
	rm -f $(BUILD)/korvamel_*.deb
	cd $(BUILD) && cpack -G DEB
	mv $(BUILD)/korvamel_*.deb .

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)
