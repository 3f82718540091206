// The object namespace: device names, symbolic links under the DOS-devices directory, and the
// resolution of an open name to a device object.
#include "io_internal.h"

#include "ntemu/faults.h"

namespace ntemu {
namespace {

constexpr std::u16string_view kDosDevices = u"\\DOSDEVICES\\";
constexpr std::u16string_view kDosDirectory = u"\\??\\";
constexpr std::u16string_view kWin32Prefix = u"\\\\.\\";
constexpr int kMaxLinkDepth = 8;

bool startsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// Checks a counted string handed in by a driver; reports and fails on a malformed one.
bool validString(PCUNICODE_STRING string, const char* routine) {
    if (!string || (string->Length && !string->Buffer) || (string->Length & 1) ||
        string->Length > string->MaximumLength) {
        verifier::report(Check::InvalidParameter, routine, "malformed UNICODE_STRING");
        return false;
    }
    return true;
}

} // namespace

DriverRecord*& currentDriver() {
    thread_local DriverRecord* driver = nullptr;
    return driver;
}

std::u16string upperCase(std::u16string_view text) {
    std::u16string result(text);
    for (auto& c : result)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return result;
}

std::u16string fromUnicodeString(PCUNICODE_STRING string) {
    if (!string || !string->Buffer)
        return {};
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::u16string linkKey(std::u16string_view name) {
    std::u16string upper = upperCase(name);
    if (startsWith(upper, kDosDevices))
        return std::u16string(kDosDirectory) + upper.substr(kDosDevices.size());
    if (startsWith(upper, kWin32Prefix))
        return std::u16string(kDosDirectory) + upper.substr(kWin32Prefix.size());
    return upper;
}

DeviceRecord* IoManager::Impl::resolve(std::u16string_view name, NTSTATUS* status) {
    std::u16string key = linkKey(name);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        auto link = links.find(key);
        if (link == links.end())
            break;
        key = linkKey(link->second.target);
    }
    auto device = deviceNames.find(key);
    if (device == deviceNames.end()) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    return device->second;
}

} // namespace ntemu

using namespace ntemu;

// IoCreateSymbolicLink: makes the link name (case-insensitive, "\DosDevices\X" and "\??\X"
// are one name) point at the target string, which is looked up only when something is opened
// through it. STATUS_OBJECT_NAME_COLLISION for an existing link. PASSIVE_LEVEL.
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    irql::checkAtMost("IoCreateSymbolicLink", PASSIVE_LEVEL);
    if (!validString(SymbolicLinkName, "IoCreateSymbolicLink") ||
        !validString(DeviceName, "IoCreateSymbolicLink"))
        return STATUS_INVALID_PARAMETER;
    if (faults::shouldFail(FaultPoint::IoCreateSymbolicLink))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = fromUnicodeString(SymbolicLinkName);
    if (name.empty() || name[0] != u'\\' || DeviceName->Length == 0)
        return STATUS_OBJECT_NAME_INVALID;

    auto& io = IoManager::current().impl();
    std::lock_guard guard(io.lock);
    std::u16string key = linkKey(name);
    if (io.links.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    LinkRecord link;
    link.target = fromUnicodeString(DeviceName);
    link.driver = currentDriver();
    if (!link.driver) {
        NTSTATUS ignored;
        if (DeviceRecord* device = io.resolve(link.target, &ignored))
            link.driver = device->driver;
    }
    io.links.emplace(std::move(key), std::move(link));
    return STATUS_SUCCESS;
}

// IoDeleteSymbolicLink: removes the link; STATUS_OBJECT_NAME_NOT_FOUND when there is none.
// PASSIVE_LEVEL.
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    irql::checkAtMost("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    if (!validString(SymbolicLinkName, "IoDeleteSymbolicLink"))
        return STATUS_INVALID_PARAMETER;
    auto& io = IoManager::current().impl();
    std::lock_guard guard(io.lock);
    if (io.links.erase(linkKey(fromUnicodeString(SymbolicLinkName))) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}
