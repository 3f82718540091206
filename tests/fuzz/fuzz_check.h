// What the fuzz targets share: a check that turns a broken invariant into a finding, and
// the verifier hook that makes any kernel-layer report one.
#pragma once

#include "ntemu/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace vornfuzz {

// A broken invariant is a finding: say which, then abort so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "==fuzz== invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

// Every verifier report is a finding: the observer aborts on the first, after it is printed.
inline void abortOnVerifierReport() {
    ntemu::verifier::setQuiet(true);
    ntemu::verifier::setObserver([](const ntemu::VerifierReport& report) {
        std::fprintf(stderr, "==fuzz== verifier report: %s\n", report.text().c_str());
        std::abort();
    });
}

} // namespace vornfuzz

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::vornfuzz::fail(#condition, __FILE__, __LINE__);                                      \
    } while (false)
