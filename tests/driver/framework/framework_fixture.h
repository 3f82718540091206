// Shared set-up for the framework tests: a kernel on a virtual clock, pool accounting under the
// framework's tag, and helpers to read counted strings.
#pragma once

#include "cstring.h"
#include "drvfw_pool.h"
#include "ntemu/faults.h"
#include "ntemu/kernel.h"
#include "ntemu/verifier.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace drvfwtest {

inline std::u16string textOf(const UNICODE_STRING& string) {
    if (string.Buffer == nullptr)
        return {};
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

inline std::u16string textOf(const CString& string) {
    return textOf(string.UnicodeString);
}

// The zero the string keeps behind its text, where its buffer has room for one.
inline bool terminated(const CString& string) {
    const UNICODE_STRING& u = string.UnicodeString;
    return u.Buffer != nullptr && u.Length + sizeof(WCHAR) <= u.MaximumLength &&
           u.Buffer[u.Length / sizeof(WCHAR)] == 0;
}

class KernelFixture : public testing::Test {
protected:
    KernelFixture() {
        ntemu::faults::clear();
        ntemu::KernelOptions options;
        options.clock = &m_clock;
        m_kernel = std::make_unique<ntemu::Kernel>(options);
    }
    ~KernelFixture() override {
        ntemu::faults::clear();
        m_kernel.reset();
    }

    size_t frameworkBlocks() const { return m_kernel->poolBlockCount(DRVFW_POOL_TAG); }
    ntemu::Kernel& kernel() { return *m_kernel; }

private:
    ntemu::VirtualClock m_clock{1};
    std::unique_ptr<ntemu::Kernel> m_kernel;
};

} // namespace drvfwtest
