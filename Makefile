# The README's commands. Each installs what is missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DFM_WERROR=ON
endif

.PHONY: all bootstrap build test sanitize tsan bench bench-quick bench-build demo clean

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
# before it was installed pick it up. Every benchmark names the processor and the instruction-set
# level its kernels run at; FM_CPU_ISA=baseline|avx2|avx512 forces a level.
bench: bench-build
	$(BUILD)/bench/fm_bench_transfer --benchmark_min_time=0.5 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	$(BUILD)/bench/fm_bench_separable
	$(BUILD)/bench/fm_bench_transform
	$(BUILD)/bench/fm_bench_lens
	$(BUILD)/bench/fm_bench_vector
	$(BUILD)/bench/fm_bench_flow
	$(BUILD)/bench/fm_bench_tracked
	$(BUILD)/bench/fm_bench_module
	$(BUILD)/bench/fm_bench_gpu
	$(BUILD)/bench/fm_bench_cli

# Only what the CPU speed targets judge: flow at Full and tracked blur of the moving texture next
# to OpenCV's DIS, the box and Gaussian renders and passes against OpenCV and memcpy, and the
# lens, spin and vector renders.
bench-quick: bench-build
	$(BUILD)/bench/fm_bench_flow --benchmark_filter='full|dis_medium'
	$(BUILD)/bench/fm_bench_tracked --benchmark_filter='texture'
	$(BUILD)/bench/fm_bench_separable --benchmark_filter='memcpy|pass/|box/r:10/|gaussian/blurriness:100/'
	$(BUILD)/bench/fm_bench_lens --benchmark_filter='constant/r:(20|60)/'
	$(BUILD)/bench/fm_bench_transform --benchmark_filter='spin'
	$(BUILD)/bench/fm_bench_vector --benchmark_filter='amount:20/map:0'

bench-build:
	@scripts/bootstrap --bench
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# A generated scene through every blur kind; prints the contact sheet's path.
demo: build
	@$(BUILD)/fogmill demo $(BUILD)/demo

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
