// CString: the framework's owned, counted wide-character string for device names, link names
// and registry paths. It never throws: a failed allocation or an invalid operand marks it
// invalid, and callers test IsValid.
#pragma once

#include "ntddk.h"

class CString {
public:
    // Empty, no buffer, valid.
    CString();
    // A copy of a kernel counted string, in a buffer two bytes larger than the source's.
    explicit CString(PCUNICODE_STRING source);
    // A copy of zero-terminated text; null gives a valid empty string.
    CString(PCWSTR text);
    CString(const CString& source);
    // `value` as digits in `base` (0 or 10, 2, 8, 16), padded with '0' to `minimumDigits`
    // when that is more than the digits produced and fits the buffer.
    CString(ULONG value, ULONG base, ULONG minimumDigits);
    virtual ~CString();

    // Copies the source's text; an invalid source marks this string invalid.
    CString& operator=(const CString& source);
    // Appends the source's text; an invalid source marks this string invalid.
    CString& operator+=(const CString& source);
    // The two texts joined; invalid when either operand is.
    static CString Concatenate(const CString& first, const CString& second);
    // Case-sensitive equality of two valid strings.
    friend BOOLEAN operator==(const CString& first, const CString& second);
    // Frees the buffer and leaves a valid empty string.
    VOID ClearString();

    // Objects created with new come from paged pool (not zero-filled); null when none is left.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;

    UNICODE_STRING UnicodeString;
    BOOLEAN IsValid;

protected:
    // A buffer of `bytes` from paged pool; null for 0 bytes or when the pool refuses.
    virtual PWSTR AllocateBuffer(ULONG bytes);

private:
    VOID FreeBuffer();
    VOID MarkFailed();
    VOID Terminate();
    VOID CopyText(PCUNICODE_STRING source);
    VOID FormatNumber(ULONG value, ULONG base, ULONG characters);
    VOID PadWithZeros(ULONG minimumDigits);
};
