# Debian's own interpreter first; everything here runs as root on Debian 12.
PYTHON ?= /usr/bin/python3
BUILD ?= build
ASAN_BUILD ?= build-asan
I386_BUILD ?= build-i386
PYTEST_ARGS ?=
BENCH ?=
DEBIAN_PYTHON := /usr/bin/python3

.PHONY: all deps build test demo shell bench asan test-asan test-i386 fuzz format clean

# Another interpreter borrows Debian's pure-Python test packages (pytest,
# hypothesis, pexpect, pyte) and, for meson on 3.12+, setuptools' distutils,
# the same way scripts/matrix does.
LENT := $(abspath $(BUILD)).lent
ifneq ($(abspath $(PYTHON)),$(DEBIAN_PYTHON))
RUN_ENV := PYTHONPATH=$(LENT)/pure
MESON_ENV := PYTHONPATH=$(LENT)/distutils
# Debian's pytest rewrites asserts with ast names that 3.12 deprecates.
LENT_PYTEST_ARGS := -p no:cacheprovider -W "ignore:ast.:DeprecationWarning"
endif

all: build

deps:
	@scripts/install-deps

# Configure once, then let ninja decide what is stale. Module folders are
# found at configure time, so a new one (its meson.build newer than the
# build) makes meson configure again.
MODULE_BUILDS := $(wildcard */meson.build bench/*/meson.build)

$(BUILD)/build.ninja: $(MODULE_BUILDS)
	scripts/lend $(LENT)
	if [ -f $@ ]; then $(MESON_ENV) meson setup --reconfigure $(BUILD) && touch $@; \
	else $(MESON_ENV) meson setup $(BUILD) -Dpython=$(PYTHON) -Dwerror=true; fi

build: deps $(BUILD)/build.ninja
	$(MESON_ENV) meson compile -C $(BUILD)

test: build
	EXT_BUILD_DIR=$(abspath $(BUILD)) $(RUN_ENV) $(PYTHON) -m pytest $(LENT_PYTEST_ARGS) $(PYTEST_ARGS)

demo: build
	EXT_BUILD_DIR=$(abspath $(BUILD)) $(RUN_ENV) $(PYTHON) examples/tour.py

# An interactive interpreter whose prompt edits with our readline module;
# history is kept in ~/.extmods_history between runs.
shell: build
	EXT_BUILD_DIR=$(abspath $(BUILD)) $(PYTHON) -I -S -q -i readline/shell.py

# BENCH=tamvox runs one benchmark (bench/bench_tamvox.py).
bench: build
	EXT_BUILD_DIR=$(abspath $(BUILD)) $(RUN_ENV) $(PYTHON) bench/run.py $(BENCH)

# The same suite with AddressSanitizer and UBSan compiled into the modules.
# The interpreter itself is not instrumented, so the runtime is preloaded.
# Leaks are checked while the test process still runs (tests/sanitizer/
# lsan_check.py): with PYTHONMALLOC=malloc every live object is reachable from
# the interpreter's globals, so what is unreachable was dropped unfreed. The
# check at exit stays off, where the interpreter's and the tools' own
# allocations (children inherit the preload) would be reported; only blocks
# allocated through our code count.
$(ASAN_BUILD)/build.ninja: $(MODULE_BUILDS)
	if [ -f $@ ]; then meson setup --reconfigure $(ASAN_BUILD) && touch $@; \
	else meson setup $(ASAN_BUILD) -Dpython=$(PYTHON) -Db_sanitize=address,undefined -Dbuildtype=debugoptimized; fi

asan: deps $(ASAN_BUILD)/build.ninja
	meson compile -C $(ASAN_BUILD)

SANITIZER_ENV = EXT_BUILD_DIR=$(abspath $(ASAN_BUILD)) EXT_SANITIZED=1 PYTHONMALLOC=malloc \
	PYTHONPATH=$(CURDIR)/tests/sanitizer \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

test-asan: asan
	$(SANITIZER_ENV) $(PYTHON) -m pytest -p no:cacheprovider -p lsan_check $(PYTEST_ARGS)

# Longer fuzzing on request: each module's hostile-input batch repeated with
# fresh seeds for FUZZ_SECONDS, leak runs of 10**5 calls per callable, then
# each libFuzzer target for FUZZ_SECONDS. The suite's own runs are shorter
# (a fixed seed, 40 cases per callable, batches of 2000 traced calls, then
# 10**5 untraced ones).
FUZZ_SECONDS ?= 120
fuzz: build
	EXT_BUILD_DIR=$(abspath $(BUILD)) FUZZ_SEED=$$(date +%s) FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_EXAMPLES=200 \
	LEAK_CALLS=100000 $(RUN_ENV) $(PYTHON) -m pytest $(LENT_PYTEST_ARGS) -p no:cacheprovider -s tests/fuzz $(PYTEST_ARGS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) PYTHON=$(PYTHON) fuzz/run

# Every module built for 32-bit x86 and the suite run under an i386
# interpreter: Debian's libpython3.11:i386 and the wrapped libraries' i386
# packages, unpacked beside the build; the host's packages stay as they are.
# Where the kernel runs no 32-bit programs, under qemu's user-mode emulator.
test-i386: deps
	scripts/i386 $(I386_BUILD) $(PYTEST_ARGS)

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(LENT) $(ASAN_BUILD) $(I386_BUILD) $(I386_BUILD).sysroot build-py3* build-fuzz
