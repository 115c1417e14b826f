#include <cstring>

#include "remediation/remediation.h"

namespace remediation {

std::wstring GetOSMajorVersion() {
    platform::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    std::memset(info.szCSDVersion, ' ', sizeof(info.szCSDVersion));

    // A failed query leaves the major version at 0, which the gate lets pass
    // like any other version that is not the refused one.
    platform::GetVersionExA(info);

    return platform::DecimalText(static_cast<std::int32_t>(info.dwMajorVersion));
}

}  // namespace remediation
