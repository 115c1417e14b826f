# The front door: `make` builds dist/, `make test` runs every test.
# Each target installs what it is missing first (tools/install-deps.sh).
#
#   make START_PAGE_URL='https://intranet.example.org/home'   build for your own start page
#   make bench                                        time the executables under Wine
#   make test-debian13                                make and make test on a fresh Debian 13 root (root only)
#   make sign PFX=cert.pfx [TIMESTAMP_URL=http://...] sign dist/ (password in PFX_PASSWORD)

START_PAGE_URL ?= http://intranet.example.com
# The end-to-end tests build their own pair with another address, so that they
# prove the address is the one given at build time, and that every character an
# address may hold reaches the registry as it was written.
E2E_START_PAGE_URL := https://start.e2e-check.example:8443/portal/home.aspx?user=a&lang=en;v=$$1'(2)'%20ok\#top

# The recipes take both addresses from the environment, quoted, never from make
# text: $(value) keeps a "$" in the address as written instead of expanding it,
# and the shell sees the address only inside double quotes as "$$VARIABLE".
export REMEDIATION_START_PAGE_URL := $(value START_PAGE_URL)
export REMEDIATION_E2E_START_PAGE_URL := $(E2E_START_PAGE_URL)

MAKEFLAGS += --no-print-directory

ARCHES := x86 x64
JOBS := $(shell nproc 2>/dev/null || echo 2)
CMAKE_QUIET := -Wno-dev --log-level=WARNING

.PHONY: all dist test test-debian13 bench sign clean

all: dist

dist:
	@tools/install-deps.sh build
	@set -e; for arch in $(ARCHES); do \
	    cmake --preset $$arch $(CMAKE_QUIET) -DSTART_PAGE_URL="$$REMEDIATION_START_PAGE_URL" >/dev/null; \
	    cmake --build --preset $$arch --target remediate -j $(JOBS); \
	done
	@tools/deliver.sh build dist
	@cat dist/TOOLCHAIN.txt
	@printf 'Start page: %s\n' "$$REMEDIATION_START_PAGE_URL"
	@for arch in $(ARCHES); do \
	    f=dist/remediate-$$arch.exe; \
	    printf '%-24s %7d bytes  sha256 %s\n' $$f $$(stat -c %s $$f) $$(sha256sum $$f | cut -d' ' -f1); \
	done

test: dist
	@tools/install-deps.sh test
	@set -e; for arch in $(ARCHES); do \
	    cmake --preset $$arch -B build/e2e-$$arch $(CMAKE_QUIET) -DSTART_PAGE_URL="$$REMEDIATION_E2E_START_PAGE_URL" >/dev/null; \
	    cmake --build build/e2e-$$arch -j $(JOBS); \
	done
	@cmake --preset host $(CMAKE_QUIET) -DE2E_BUILD_ROOT="$(CURDIR)/build" -DDIST_DIR="$(CURDIR)/dist" -DE2E_START_PAGE_URL="$$REMEDIATION_E2E_START_PAGE_URL" >/dev/null
	@cmake --build --preset host -j $(JOBS)
	@ctest --preset host

test-debian13:
	@tools/test-debian13.sh

bench: dist
	@tools/install-deps.sh bench
	@for arch in $(ARCHES); do cmake --build --preset $$arch --target bench-floor-gui bench-floor-plain -j $(JOBS); done
	@python3 tools/bench/bench.py --dist dist --floor-dir build --work build/bench/wine

sign:
	@if [ -z "$(PFX)" ]; then \
	    echo "usage: make sign PFX=path/to/certificate.pfx [TIMESTAMP_URL=http://timestamp.example]" >&2; \
	    echo "       with the certificate's password in PFX_PASSWORD; signs what 'make' left in dist/" >&2; \
	    exit 2; fi
	@if [ ! -f dist/remediate-x86.exe ] || [ ! -f dist/remediate-x64.exe ]; then \
	    echo "sign: dist/ has no executables yet: run make (with your START_PAGE_URL) first" >&2; exit 2; fi
	@tools/install-deps.sh sign
	@tools/sign.sh dist "$(PFX)" "$(TIMESTAMP_URL)"

clean:
	rm -rf build dist
