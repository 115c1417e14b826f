# The front door: `make` builds dist/, `make test` runs every test; `make help`
# lists every target and variable. Each target installs what it is missing
# first (tools/install-deps.sh).

# The start page, given once: later calls build, test, time and sign for the
# same address (kept in build/START_PAGE_URL) until another is given, or until
# `make clean`. Passed to the recipes through the environment, never as make
# text: $(value) keeps a "$" in the address as written instead of expanding it.
# make would otherwise expand the address itself when it exports it to a
# recipe, and hand it through MAKEFLAGS to every sub-make (CMake's generated
# makefiles too), which would expand it again: neither happens.
ifneq ($(origin START_PAGE_URL),undefined)
export REMEDIATION_START_PAGE_URL := $(value START_PAGE_URL)
export REMEDIATION_START_PAGE_URL_GIVEN := 1
endif
unexport START_PAGE_URL
MAKEOVERRIDES :=
# A second pair, built for this address, proves that every character an address
# may hold reaches the registry as it was written.
E2E_START_PAGE_URL := https://start.e2e-check.example:8443/portal/home.aspx?user=a&lang=en;v=$$1'(2)'%20ok\#top
export REMEDIATION_E2E_START_PAGE_URL := $(E2E_START_PAGE_URL)

MAKEFLAGS += --no-print-directory

ARCHES := x86 x64
JOBS := $(shell nproc 2>/dev/null || echo 2)
CMAKE_QUIET := -Wno-dev --log-level=WARNING
# The suites share nothing (each end-to-end run has its own Wine prefix and
# display), so they run side by side.
CTEST_JOBS := 3

.PHONY: all dist check test test-debian13 bench sign clean help

all: dist

help:
	@echo "Targets:"
	@echo "  make                 build dist/remediate-x86.exe and dist/remediate-x64.exe (the default)"
	@echo "  make check           the tests that need no Wine: unit, address and release checks, in under a minute"
	@echo "  make test            every test: the above, then end to end under Wine, on what dist/ holds"
	@echo "  make bench           time dist/ under Wine against the floors and a hand-written script"
	@echo "  make sign            sign dist/ with Authenticode, from a PFX file or a PKCS#11 token"
	@echo "  make test-debian13   make and make test again on a fresh Debian 13 root (root only)"
	@echo "  make clean           remove build/ and dist/, and forget the start page given"
	@echo "  make help            this list"
	@echo "Variables:"
	@echo "  START_PAGE_URL       the start page built in; remembered until another is given (default: the example"
	@echo "                       http://intranet.example.com, with a warning)"
	@echo "  PFX                  make sign: the certificate and key file; its password in the environment, PFX_PASSWORD"
	@echo "  PKCS11_MODULE        make sign: the token's PKCS#11 module (a .so file)"
	@echo "  PKCS11_KEY           make sign: the key's pkcs11: URI; its PIN in the environment, PKCS11_PIN"
	@echo "  CERT                 make sign: the certificate file (PEM or DER) that goes with PKCS11_KEY"
	@echo "  TIMESTAMP_URL        make sign: an RFC 3161 timestamp server (optional)"

dist:
	@tools/build.sh

# The host build of the unit tests; DIST_DIR names the executables that the
# release and end-to-end tests check.
define build_host_tests
	@cmake --preset host $(CMAKE_QUIET) -DE2E_BUILD_ROOT="$(CURDIR)/build" -DDIST_DIR="$(CURDIR)/dist" -DE2E_START_PAGE_URL="$$REMEDIATION_E2E_START_PAGE_URL" >/dev/null
	@cmake --build --preset host -j $(JOBS)
endef

check: dist
	@tools/install-deps.sh check
	$(build_host_tests)
	@ctest --preset host -j $(CTEST_JOBS) -L 'unit|address|release'

# The end-to-end tests run dist/ with the helper built beside it, and a second
# pair built for the end-to-end address.
test: dist
	@tools/install-deps.sh test
	@set -e; for arch in $(ARCHES); do \
	    cmake --build --preset $$arch --target e2e-helper bare-user32 -j $(JOBS); \
	    cmake --preset $$arch -B build/e2e-$$arch $(CMAKE_QUIET) -DSTART_PAGE_URL="$$REMEDIATION_E2E_START_PAGE_URL" >/dev/null; \
	    cmake --build build/e2e-$$arch --target remediate e2e-helper -j $(JOBS); \
	done
	$(build_host_tests)
	@ctest --preset host -j $(CTEST_JOBS)

test-debian13:
	@tools/test-debian13.sh

bench: dist
	@tools/install-deps.sh bench
	@for arch in $(ARCHES); do cmake --build --preset $$arch --target bench-floor-gui bench-floor-plain -j $(JOBS); done
	@python3 tools/bench/bench.py --dist dist --floor-dir build --work build/bench/wine

# Not `sign: dist`: sign.sh builds dist/ itself, once the secret is out of the
# environment of everything it starts.
sign:
	@tools/sign.sh --build dist

clean:
	rm -rf build dist
