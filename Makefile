# Set-up and everyday commands. Every target installs missing Debian
# packages first, so each works on a fresh Debian 12 machine.
JOBS    ?= $(shell nproc)
BUILD   ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build test run asan tsan bench fuzz install clean loc long-functions docs package

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

run: deps
	@scripts/run.sh

# The sanitizer builds: -O1 is the level the sanitizers are made for and
# builds much faster than -O2; line tables (-g1) are all a report needs.
# The Python module and the GStreamer element are left out: their hosts
# (python3, gst-launch-1.0) are not built with the sanitizer runtime.
SANITIZE_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    -DCALMORA_BUILD_PYTHON=OFF -DCALMORA_BUILD_GSTREAMER=OFF

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B build-asan $(SANITIZE_FLAGS) \
	    -DCALMORA_SANITIZE=address,undefined -DCALMORA_BUILD_DEMO=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The tests labelled "concurrency" with ThreadSanitizer; only the programs
# that hold such tests are built.
TSAN_TARGETS ?= logger_test source_test stabiliser_Concurrency_test
tsan: deps
	cmake -S . -B build-tsan $(SANITIZE_FLAGS) -DCALMORA_SANITIZE=thread \
	    -DCALMORA_BUILD_DEMO=OFF -DCALMORA_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/scripts/tsan.supp" \
	    ctest --test-dir build-tsan --output-on-failure -L concurrency -j $(JOBS)

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCALMORA_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	scripts/run-bench.sh build-bench

# The libFuzzer targets (clang), each run FUZZ_SECONDS seconds (default 60);
# findings go to build-fuzz/findings/<target>/.
fuzz: deps
	CMAKE_FLAGS="$(CMAKE_FLAGS)" JOBS=$(JOBS) scripts/fuzz.sh

# Product and test lines per folder and their ratio.
loc:
	@scripts/loc.sh

# Product functions longer than 80 lines (pmccabe); exits 1 when there is any.
long-functions: deps
	@scripts/long-functions.sh

# The reference of the public headers (Doxygen) in $(BUILD)/docs/html; an
# undocumented public declaration fails it.
docs: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target docs

# The Debian package calmora_<version>_<arch>.deb, moved into this folder:
# shared libraries, as Debian ships them; the prefix /usr, which also puts
# the libraries in Debian's multiarch folder; no tests, and no demo, which
# would make the package depend on Qt.
PACKAGE_BUILD ?= build-package
package: deps
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
	    -DCMAKE_INSTALL_PREFIX=/usr -DCALMORA_BUILD_TESTS=OFF -DCALMORA_BUILD_DEMO=OFF $(CMAKE_FLAGS)
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB
	mv $(PACKAGE_BUILD)/calmora_*.deb .

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-bench build-fuzz $(PACKAGE_BUILD)
