# The README's commands. Each installs what is missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DFM_WERROR=ON
endif

.PHONY: all bootstrap build test sanitize tsan bench demo clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sanitize: bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFM_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0:use_tls=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Several renders may run at once on the host's threads, and every launch runs on a thread pool:
# the tests again under ThreadSanitizer, where any data race fails its test.
tsan: bootstrap
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFM_SANITIZE_THREAD=ON -DFM_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

# OpenCV is installed for the comparisons only; configuring again lets a build folder made
# before it was installed pick it up.
bench:
	@scripts/bootstrap --bench
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bench/fm_bench_transfer --benchmark_min_time=0.5 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	$(BUILD)/bench/fm_bench_separable
	$(BUILD)/bench/fm_bench_transform
	$(BUILD)/bench/fm_bench_lens
	$(BUILD)/bench/fm_bench_vector
	$(BUILD)/bench/fm_bench_flow
	$(BUILD)/bench/fm_bench_tracked
	$(BUILD)/bench/fm_bench_gpu

demo: build
	$(BUILD)/fogmill_engine_demo $(BUILD)/demo.pam

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
