# Two entry points: `make demo` runs the program on embedded defaults,
# `make test` passes the whole suite. Both install what they need first.
.PHONY: deps build demo test bench clean

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build -j $$(nproc)

demo: build
	@scripts/demo.sh

test: deps
	@scripts/test.sh

bench: build
	@for b in build/bin/bench_*; do echo "=== $$b"; $$b; done

clean:
	rm -rf build build-asan build-tsan build-fuzz
