# The two commands of the README. Both install what they need first.
.PHONY: demo test build clean

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

clean:
	rm -rf build build-asan build-fuzz build-bench demo *.configure.log
