#include "remediation/remediation.h"

namespace remediation {

// Tab-separated, so that a folder name with spaces stays one field for a
// script that reads the report.
void Report::Line(const std::wstring& who, const std::wstring& folder, const std::wstring& what) const {
    if (!enabled_) return;
    platform::WriteLogLine(platform::LocalTimeText() + L"\t" + who + L"\t" + folder + L"\t" + what);
}

void Report::Summary(Outcome outcome) const {
    Line(L"-", L"-", L"exit status " + platform::DecimalText(ExitStatus(outcome)));
}

}  // namespace remediation
