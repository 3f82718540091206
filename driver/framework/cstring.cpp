// CString: owned, counted wide-character strings that report failure through IsValid.
#include "cstring.h"

#include "drvfw_pool.h"

namespace {

// The largest buffer a counted string can describe, kept even.
constexpr ULONG kMaximumBufferBytes = 0xFFFE;

// Characters in the buffer of a number in `base`; 0 for a base that is not supported.
ULONG NumberCharacters(ULONG base) {
    switch (base) {
    case 0:
    case 10:
        return 10;
    case 2:
        return 32;
    case 8:
        return 11;
    case 16:
        return 8;
    default:
        return 0;
    }
}

} // namespace

void* CString::operator new(size_t size) noexcept {
    return DrvFwAllocate(size, FALSE);
}

void CString::operator delete(void* block) noexcept {
    DrvFwFree(block);
}

PWSTR CString::AllocateBuffer(ULONG bytes) {
    if (bytes == 0)
        return nullptr;
    return static_cast<PWSTR>(DrvFwAllocate(bytes, FALSE));
}

VOID CString::FreeBuffer() {
    DrvFwFree(UnicodeString.Buffer);
    UnicodeString.Buffer = nullptr;
    UnicodeString.Length = 0;
    UnicodeString.MaximumLength = 0;
}

VOID CString::MarkFailed() {
    FreeBuffer();
    IsValid = FALSE;
}

// Copies a source's text into the buffer; an empty source (which may have no buffer at all)
// copies nothing.
VOID CString::CopyText(PCUNICODE_STRING source) {
    if (source == nullptr || source->Length == 0 || source->Buffer == nullptr)
        UnicodeString.Length = 0;
    else
        RtlCopyUnicodeString(&UnicodeString, source);
}

// Keeps the text zero-terminated behind its counted length, as every operation promises.
VOID CString::Terminate() {
    if (UnicodeString.Buffer != nullptr &&
        ULONG(UnicodeString.Length) + sizeof(WCHAR) <= UnicodeString.MaximumLength)
        UnicodeString.Buffer[UnicodeString.Length / sizeof(WCHAR)] = 0;
}

CString::CString() : UnicodeString{0, 0, nullptr}, IsValid(TRUE) {}

CString::CString(PCUNICODE_STRING source) : UnicodeString{0, 0, nullptr}, IsValid(TRUE) {
    ULONG bytes = (source != nullptr ? source->MaximumLength : 0) + sizeof(WCHAR);
    if (bytes > kMaximumBufferBytes || (UnicodeString.Buffer = AllocateBuffer(bytes)) == nullptr) {
        MarkFailed();
        return;
    }
    UnicodeString.MaximumLength = USHORT(bytes);
    CopyText(source);
    Terminate();
}

CString::CString(PCWSTR text) : UnicodeString{0, 0, nullptr}, IsValid(TRUE) {
    ULONG characters = 0;
    if (text != nullptr)
        while (text[characters] != 0 && characters <= kMaximumBufferBytes)
            ++characters;
    // Measured as the kernel measures it (size = length + 2), with two bytes to spare.
    ULONG length = characters * sizeof(WCHAR);
    ULONG bytes = (text != nullptr ? length + sizeof(WCHAR) : 0) + sizeof(WCHAR);
    if (bytes > kMaximumBufferBytes || (UnicodeString.Buffer = AllocateBuffer(bytes)) == nullptr) {
        MarkFailed();
        return;
    }
    UnicodeString.MaximumLength = USHORT(bytes);
    UnicodeString.Length = USHORT(length);
    if (length != 0)
        RtlCopyMemory(UnicodeString.Buffer, text, length);
    Terminate();
}

CString::CString(const CString& source) : UnicodeString{0, 0, nullptr}, IsValid(TRUE) {
    if (!source.IsValid) {
        IsValid = FALSE;
        return;
    }
    // An empty source without a buffer (default or cleared) copies as a valid empty string.
    if (source.UnicodeString.MaximumLength == 0)
        return;
    UnicodeString.Buffer = AllocateBuffer(source.UnicodeString.MaximumLength);
    if (UnicodeString.Buffer == nullptr) {
        MarkFailed();
        return;
    }
    UnicodeString.MaximumLength = source.UnicodeString.MaximumLength;
    CopyText(&source.UnicodeString);
    Terminate();
}

CString::CString(ULONG value, ULONG base, ULONG minimumDigits)
    : UnicodeString{0, 0, nullptr}, IsValid(TRUE) {
    ULONG characters = NumberCharacters(base);
    if (characters == 0) {
        IsValid = FALSE;
        return;
    }
    ULONG bytes = characters * sizeof(WCHAR) + sizeof(WCHAR);
    UnicodeString.Buffer = AllocateBuffer(bytes);
    if (UnicodeString.Buffer == nullptr) {
        MarkFailed();
        return;
    }
    UnicodeString.MaximumLength = USHORT(bytes);
    FormatNumber(value, base, characters);
    if (IsValid && minimumDigits != 0 && minimumDigits <= characters &&
        minimumDigits > UnicodeString.Length / sizeof(WCHAR))
        PadWithZeros(minimumDigits);
    Terminate();
}

// The kernel's conversion gives up on long binary numbers, so base 2 above 15 digits is
// written here, from the highest set bit down.
VOID CString::FormatNumber(ULONG value, ULONG base, ULONG characters) {
    if (base == 2 && value > 0x7FFF) {
        ULONG digits = 0;
        BOOLEAN leading = TRUE;
        for (int bit = 31; bit >= 0 && digits < characters; --bit) {
            BOOLEAN set = (value >> bit) & 1;
            if (leading && !set)
                continue;
            leading = FALSE;
            UnicodeString.Buffer[digits++] = set ? u'1' : u'0';
        }
        UnicodeString.Length = USHORT(digits * sizeof(WCHAR));
        return;
    }
    if (!NT_SUCCESS(RtlIntegerToUnicodeString(value, base, &UnicodeString)))
        MarkFailed();
}

VOID CString::PadWithZeros(ULONG minimumDigits) {
    PWSTR padded = AllocateBuffer(UnicodeString.MaximumLength);
    if (padded == nullptr) {
        MarkFailed();
        return;
    }
    ULONG digits = UnicodeString.Length / sizeof(WCHAR);
    ULONG zeros = minimumDigits - digits;
    for (ULONG i = 0; i < zeros; ++i)
        padded[i] = u'0';
    RtlCopyMemory(padded + zeros, UnicodeString.Buffer, UnicodeString.Length);
    RtlCopyMemory(UnicodeString.Buffer, padded, minimumDigits * sizeof(WCHAR));
    DrvFwFree(padded);
    UnicodeString.Length = USHORT(minimumDigits * sizeof(WCHAR));
}

CString::~CString() {
    FreeBuffer();
}

CString& CString::operator=(const CString& source) {
    if (!source.IsValid) {
        IsValid = FALSE;
        return *this;
    }
    if (*this == source)
        return *this;
    ULONG needed = ULONG(source.UnicodeString.Length) + sizeof(WCHAR);
    if (UnicodeString.MaximumLength < needed) {
        PWSTR buffer = AllocateBuffer(needed);
        if (buffer == nullptr) {
            IsValid = FALSE;
            return *this;
        }
        DrvFwFree(UnicodeString.Buffer);
        UnicodeString.Buffer = buffer;
        UnicodeString.MaximumLength = USHORT(needed);
    }
    CopyText(&source.UnicodeString);
    Terminate();
    // A string that once failed is usable again after a successful assignment.
    IsValid = TRUE;
    return *this;
}

CString& CString::operator+=(const CString& source) {
    if (!source.IsValid) {
        IsValid = FALSE;
        return *this;
    }
    // A copy of the source's descriptor, so that appending a string to itself reads the
    // text as it was.
    UNICODE_STRING appended = source.UnicodeString;
    ULONG needed = ULONG(UnicodeString.Length) + appended.Length + sizeof(WCHAR);
    if (needed > kMaximumBufferBytes) {
        IsValid = FALSE;
        return *this;
    }
    if (UnicodeString.MaximumLength < needed) {
        UNICODE_STRING grown{UnicodeString.Length, USHORT(needed), AllocateBuffer(needed)};
        if (grown.Buffer == nullptr) {
            IsValid = FALSE;
            return *this;
        }
        if (UnicodeString.Length != 0)
            RtlCopyMemory(grown.Buffer, UnicodeString.Buffer, UnicodeString.Length);
        RtlAppendUnicodeStringToString(&grown, &appended);
        DrvFwFree(UnicodeString.Buffer);
        UnicodeString = grown;
    } else {
        RtlAppendUnicodeStringToString(&UnicodeString, &appended);
    }
    Terminate();
    IsValid = TRUE;
    return *this;
}

CString CString::Concatenate(const CString& first, const CString& second) {
    CString result;
    ULONG bytes = ULONG(first.UnicodeString.Length) + second.UnicodeString.Length + sizeof(WCHAR);
    if (!first.IsValid || !second.IsValid || bytes > kMaximumBufferBytes) {
        result.IsValid = FALSE;
        return result;
    }
    result.UnicodeString.Buffer = result.AllocateBuffer(bytes);
    if (result.UnicodeString.Buffer == nullptr) {
        result.MarkFailed();
        return result;
    }
    result.UnicodeString.MaximumLength = USHORT(bytes);
    result.CopyText(&first.UnicodeString);
    RtlAppendUnicodeStringToString(&result.UnicodeString, &second.UnicodeString);
    result.Terminate();
    return result;
}

BOOLEAN operator==(const CString& first, const CString& second) {
    return first.IsValid && second.IsValid &&
           RtlEqualUnicodeString(&first.UnicodeString, &second.UnicodeString, FALSE);
}

VOID CString::ClearString() {
    FreeBuffer();
    IsValid = TRUE;
}
