# Thin wrapper around CMake: `make demo` builds the release binary and runs it on the
# bundled example, `make test` builds everything and runs the whole suite,
# `make sanitize` runs the suite under the sanitizers, `make bench` times whole runs,
# `make package` builds the release binary and its Debian package. Each first runs
# scripts/setup-build-deps, which installs what is missing when run as root and
# names the command to run otherwise.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
RELEASE_DIR ?= build/release
TEST_DIR ?= build/test
SANITIZE_DIR ?= build/sanitize
CMAKE_FLAGS ?=
# The builds CMake runs are make processes of their own; without this each of
# them reports every directory it enters and leaves.
MAKEFLAGS += --no-print-directory

.PHONY: all demo test sanitize bench package clean

all: $(RELEASE_DIR)/app/velmora

$(RELEASE_DIR)/app/velmora: FORCE
	scripts/setup-build-deps build
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(RELEASE_DIR) -j $(JOBS)

demo: $(RELEASE_DIR)/app/velmora
	@echo "--- examples/layout2/CompareThese.inp names:"; cat examples/layout2/CompareThese.inp
	@echo "--- velmora prints:"
	cd examples/layout2 && ../../$(RELEASE_DIR)/app/velmora
	@echo "--- velmora-explain reports:"
	cd examples/layout2 && ../../$(RELEASE_DIR)/explain/velmora-explain

test:
	scripts/setup-build-deps test
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

sanitize:
	scripts/setup-build-deps test
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_TESTS=ON -DVELMORA_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ctest --output-on-failure -j $(JOBS)

# Times whole runs against a bare baseline (bench/README.md); never a test.
bench:
	bench/run

package: $(RELEASE_DIR)/app/velmora
	cd $(RELEASE_DIR) && cpack -G DEB
	@echo "Debian package: $$(ls -t $(abspath $(RELEASE_DIR))/velmora_*.deb | head -n 1)"

clean:
	rm -rf build

FORCE:
