# The two commands of a fresh machine: `make run` and `make test`.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test sanitize clean install package

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

# The non-GUI libraries and their tests (and the fuzz replay) under
# AddressSanitizer and UndefinedBehaviorSanitizer; run by CI after `make test`.
sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLARKVALE_GUI=OFF -DLARKVALE_SANITIZE=ON -DLARKVALE_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ./scripts/run-tests.sh build-asan

# Installs under PREFIX (default /usr/local), staged below DESTDIR if given:
# `make install PREFIX=/usr DESTDIR=/tmp/stage`.
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# A Debian package in $(BUILD_DIR)/package/, its dependencies derived from
# the libraries the program links.
package: build
	cmake --build $(BUILD_DIR) --target package

clean:
	rm -rf $(BUILD_DIR) build-asan
