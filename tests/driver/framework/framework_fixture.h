// Helpers the framework tests share to read counted strings.
#pragma once

#include "cstring.h"

#include <gtest/gtest.h>

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

} // namespace drvfwtest
