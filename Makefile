# The commands of the README. demo, test, build and package install the
# Debian packages they need first.
.PHONY: demo test build install package clean

# Builds Velmora and publishes a sample photo to a local test Prism server.
demo:
	bash scripts/setup.sh
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	ninja -C build velmora velmora-doctor velmora_demo_tool
	bash scripts/demo.sh build

# Builds everything (normal and sanitizer builds, fuzz targets) and runs all tests.
test:
	bash scripts/test.sh

build:
	bash scripts/setup.sh
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	ninja -C build

# Builds the programs in build/ and installs them under PREFIX (default
# /usr/local; DESTDIR is honoured). An existing parameter file is kept.
PREFIX ?= /usr/local
install:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	ninja -C build velmora_programs
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# Makes the Debian package build-package/velmora_VERSION_amd64.deb.
package:
	bash scripts/setup.sh
	bash scripts/package.sh build-package

clean:
	rm -rf build build-asan build-fuzz build-bench build-package demo *.configure.log
