#include "remediation/remediation.h"

namespace remediation {

// Tab-separated, so that a folder name with spaces stays one field for a
// script that reads the report.
void Report::Line(const std::wstring& who, const std::wstring& folder, const std::wstring& what) const {
    if (!enabled_) return;
    platform::WriteLogLine(platform::LocalTimeText() + L"\t" + who + L"\t" + folder + L"\t" + what);
}

void Report::Summary(int exitStatus) const { Line(L"-", L"-", L"exit status " + platform::DecimalText(exitStatus)); }

void AppendError(std::wstring& text, std::uint32_t errorCode) {
    text += L": ";
    text += platform::ErrorText(errorCode);
    text += L" (error ";
    text += platform::DecimalText(errorCode);
    text += L")";
}

}  // namespace remediation
