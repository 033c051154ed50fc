# The two commands of the README: `make run` and `make test`.
GENERATOR := -G Ninja
JOBS ?= $(shell nproc)

.PHONY: all deps build run test demo clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF
	cmake --build build -j $(JOBS)

demo: build
	@scripts/demo-home demo build

run: demo
	TARNWICK_HOME=$(CURDIR)/demo build/tarnwick

build-test/build.ninja: CMakeLists.txt
	cmake -S . -B build-test $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON

test: deps build-test/build.ninja
	cmake -S . -B build-test $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON
	cmake --build build-test -j $(JOBS)
	cd build-test && ctest --output-on-failure -j $(JOBS) --timeout 600

clean:
	rm -rf build build-test
