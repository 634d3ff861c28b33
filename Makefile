# Front door of korvamel: make, make test, make bench, make demo, make install.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2
PREFIX     ?= /usr/local
CMAKE_FLAGS = -DCMAKE_BUILD_TYPE=Release

.PHONY: all programs test test-plain test-asan bench demo install deps clean

all: programs

# GoogleTest and Google Benchmark come from the machine's Debian packages.
# A missing one is installed when we may (root with apt-get), else named.
deps:
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
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

test: test-plain test-asan

test-plain: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORV_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure --timeout 900

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
	rm -rf $(BUILD) $(ASAN_BUILD)
