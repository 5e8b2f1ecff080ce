# The two commands of a fresh machine: `make run` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test clean

all: build

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./scripts/run-app.sh $(BUILD_DIR)

test: build
	./scripts/run-tests.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
