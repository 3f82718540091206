// Counted UTF-16 strings: lengths in bytes, buffers not necessarily terminated, a terminator
// written only where the buffer has room for it.
#include "kernel_impl.h"

#include <algorithm>

using namespace ntemu;

namespace {

constexpr USHORT kMaxLength = 0xFFFC; // largest even length that leaves room for a NUL
constexpr size_t kWchar = sizeof(WCHAR);

size_t wideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

// Upper case for ASCII, Latin-1 and Latin Extended-A letters, as the system's case table maps
// them; everything else is its own upper case.
WCHAR upcase(WCHAR c) {
    if (c >= u'a' && c <= u'z')
        return c - 0x20;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return c - 0x20;
    if (c == 0xFF)
        return 0x178;
    const bool evenUpper = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if ((evenUpper && (c & 1)) || (oddUpper && !(c & 1)))
        return c - 1;
    return c;
}

// Writes a terminator after Length when the buffer has room for a whole one.
void terminateIfRoom(PUNICODE_STRING s) {
    if (size_t{s->Length} + kWchar <= s->MaximumLength)
        s->Buffer[s->Length / kWchar] = 0;
}

NTSTATUS append(PUNICODE_STRING destination, PCWSTR source, size_t bytes) {
    if (bytes == 0)
        return STATUS_SUCCESS;
    if (size_t{destination->Length} + bytes > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    terminateIfRoom(destination);
    return STATUS_SUCCESS;
}

LONG compare(PCUNICODE_STRING string1, PCUNICODE_STRING string2, bool caseInsensitive) {
    const size_t n1 = string1->Length / kWchar;
    const size_t n2 = string2->Length / kWchar;
    for (size_t i = 0; i < std::min(n1, n2); ++i) {
        WCHAR a = string1->Buffer[i];
        WCHAR b = string2->Buffer[i];
        if (caseInsensitive) {
            a = upcase(a);
            b = upcase(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

unsigned digitLimit() {
    Kernel* kernel = Kernel::currentOrNull();
    return kernel ? kernel->integerDigitLimit() : 16;
}

} // namespace

// Any IRQL. Points the string at SourceString without copying; lengths too large for the
// counters are clamped (rather than wrapped) so the string is never shorter than it claims.
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    const size_t bytes = wideLength(SourceString) * kWchar;
    DestinationString->Length = static_cast<USHORT>(std::min<size_t>(bytes, kMaxLength));
    DestinationString->MaximumLength =
        static_cast<USHORT>(std::min<size_t>(bytes + kWchar, kMaxLength + kWchar));
}

// Any IRQL. Copies as much of SourceString as fits (truncation is silent: compare the lengths);
// an odd MaximumLength never receives half a character or half a terminator.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    const size_t room = DestinationString->MaximumLength & ~size_t{1};
    const size_t bytes = std::min<size_t>(SourceString->Length & ~1u, room);
    if (bytes != 0)
        std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = static_cast<USHORT>(bytes);
    terminateIfRoom(DestinationString);
}

// Any IRQL. STATUS_BUFFER_TOO_SMALL, with Destination unchanged, when Source does not fit.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return append(Destination, Source->Buffer, Source->Length);
}

// Any IRQL. As above for a terminated string (NULL appends nothing).
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    return append(Destination, Source, Source ? wideLength(Source) * kWchar : 0);
}

// IRQL <= APC_LEVEL. Compares Length bytes; MaximumLength and what follows Length are ignored.
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    irql::checkAtMost("RtlEqualUnicodeString", APC_LEVEL);
    if (String1->Length != String2->Length)
        return FALSE;
    return compare(String1, String2, CaseInSensitive) == 0;
}

// IRQL <= APC_LEVEL. Negative, zero or positive as String1 sorts before, with or after String2.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    irql::checkAtMost("RtlCompareUnicodeString", APC_LEVEL);
    return compare(String1, String2, CaseInSensitive);
}

// IRQL <= APC_LEVEL. Value in Base (0 = 10; 2, 8, 10, 16), upper-case digits, no sign or
// prefix. When the digits and a terminator do not fit, STATUS_BUFFER_OVERFLOW with Length
// already set to the needed length and the buffer untouched; a digit string longer than the
// internal conversion buffer also fails with STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    irql::checkAtMost("RtlIntegerToUnicodeString", APC_LEVEL);
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[32];
    size_t count = 0;
    do {
        const ULONG digit = Value % Base;
        digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    if (count > digitLimit())
        return STATUS_BUFFER_OVERFLOW;
    String->Length = static_cast<USHORT>(count * kWchar);
    if (String->Length + kWchar > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    std::reverse_copy(digits, digits + count, String->Buffer);
    String->Buffer[count] = 0;
    return STATUS_SUCCESS;
}
