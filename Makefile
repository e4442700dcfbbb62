# Zarnel Kelvra build entry points. Every target installs what it needs first.
GENERATOR := -G Ninja
JOBS ?= 2
FUZZ_SECONDS ?= 20
FUZZ_LONG_SECONDS ?= 600
# Where `make install` puts the programs and their files; DESTDIR is put in front of it.
PREFIX ?= /usr/local

.PHONY: run deps test unit tsan bench fuzz fuzz-smoke fuzz-build release clean demo install uninstall package

deps:
	@bash scripts/install-deps.sh

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, then a short fuzz run.
test: deps
	cmake -S . -B build/asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=ON -DKELVRA_BENCH=OFF
	cmake --build build/asan -j $(JOBS)
	$(MAKE) --no-print-directory fuzz-smoke
	cd build/asan && ctest --output-on-failure -j $(JOBS)

# The tests of the worker threads under ThreadSanitizer.
tsan: deps
	cmake -S . -B build/tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TSAN=ON -DKELVRA_BENCH=OFF
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && ctest --output-on-failure -j $(JOBS) -L threads --no-tests=ignore

release: deps
	cmake -S . -B build/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF
	cmake --build build/release -j $(JOBS)

# The Release programs, the menu entry, icons, project file type and manuals
# under $(DESTDIR)$(PREFIX); without DESTDIR the desktop's caches are updated.
install: release
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"
	@if [ -z "$(DESTDIR)" ]; then bash scripts/desktop-caches.sh "$(PREFIX)"; fi

# Removes every file the last `make install` wrote, as its manifest lists them.
uninstall:
	DESTDIR="$(DESTDIR)" cmake -DKELVRA_MANIFEST=build/release/install_manifest.txt -P cmake/uninstall.cmake
	@if [ -z "$(DESTDIR)" ]; then bash scripts/desktop-caches.sh "$(PREFIX)"; fi

# A Debian package of the Release build in build/release (kelvra_VERSION_ARCH.deb).
package: release
	cd build/release && cpack -G DEB

bench: release
	@set -e; for b in build/release/bench_*; do echo "== $$b"; "$$b" --benchmark_min_time=0.5; done
	@bash bench/idle_window.sh 20

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DKELVRA_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)

fuzz-smoke: fuzz-build
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz: fuzz-build
	@bash scripts/fuzz.sh $(FUZZ_LONG_SECONDS)

clean:
	rm -rf build

# Starts the editor; without ZARNELK_MEDIA it runs on a demo media folder made here.
run: release
	@if [ -z "$$ZARNELK_MEDIA" ]; then \
	  bash demo/make-demo.sh build/demo-media && ZARNELK_MEDIA="$(CURDIR)/build/demo-media" build/release/kelvra; \
	else build/release/kelvra; fi

# Renders the demo project headless: its open canvases to MP4 and the mix to WAV, into build/demo-out.
demo: release
	bash demo/make-demo.sh build/demo-media
	mkdir -p build/demo-out
	build/release/kelvra-render build/demo-media/demo.pjn --canvas open --wav --out build/demo-out
