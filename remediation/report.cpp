#include "remediation/remediation.h"

namespace remediation {

namespace {

void AppendVisibly(std::wstring& line, const std::wstring& field) {
    static const wchar_t hex[] = L"0123456789ABCDEF";
    for (wchar_t c : field) {
        if (c >= 0x20 && c != 0x7F) {
            line += c;
            continue;
        }
        line += L"<U+00";
        line += hex[(c >> 4) & 0xF];
        line += hex[c & 0xF];
        line += L'>';
    }
}

}  // namespace

// Tab-separated, so that a folder name with spaces stays one field for a
// script that reads the report.
void Report::Line(const std::wstring& who, const std::wstring& folder, const std::wstring& what) const {
    if (!enabled_) return;
    std::wstring line = platform::LocalTimeText();
    for (const std::wstring* field : {&who, &folder, &what}) {
        line += L'\t';
        AppendVisibly(line, *field);
    }
    platform::WriteLogLine(line);
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
