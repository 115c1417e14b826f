#include "remediation/remediation.h"

namespace remediation {

namespace {

std::wstring Visibly(const std::wstring& field) {
    static const wchar_t hex[] = L"0123456789ABCDEF";
    std::wstring shown;
    for (wchar_t c : field) {
        if (c >= 0x20 && c != 0x7F) {
            shown += c;
            continue;
        }
        shown += L"<U+00";
        shown += hex[(c >> 4) & 0xF];
        shown += hex[c & 0xF];
        shown += L'>';
    }
    return shown;
}

// The longest of each field as written, so that with the time and the tabs,
// and each cut's own note, a line stays under 2,048 characters.
constexpr std::size_t LongestWho = 300, LongestFolder = 300, LongestWhat = 1300;

}  // namespace

// Tab-separated, so that a folder name with spaces stays one field for a
// script that reads the report.
void Report::Line(const std::wstring& who, const std::wstring& folder, const std::wstring& what) const {
    if (!enabled_) return;
    std::wstring line = platform::LocalTimeText();
    const std::pair<const std::wstring*, std::size_t> fields[] = {
        {&who, LongestWho}, {&folder, LongestFolder}, {&what, LongestWhat}};
    for (const auto& [field, longest] : fields) {
        line += L'\t';
        line += Shortened(Visibly(*field), longest);
    }
    if (!platform::WriteLogLine(line)) failed_ = true;
}

void Report::Summary(int exitStatus) const { Line(L"-", L"-", L"exit status " + platform::DecimalText(exitStatus)); }

void Report::Close(Outcome& outcome) const {
    if (outcome == Outcome::Completed && failed_) outcome = Outcome::ReportNotWritten;
    Summary(ExitStatus(outcome));
    // Its last line lost, the report does not say how the run ended.
    if (outcome == Outcome::Completed && failed_) outcome = Outcome::ReportNotWritten;
}

std::wstring Shortened(const std::wstring& usersText, std::size_t longest) {
    if (usersText.size() <= longest) return usersText;
    return usersText.substr(0, longest) + L"... (cut: " + platform::DecimalText(usersText.size()) +
           L" characters in all)";
}

void AppendError(std::wstring& text, std::uint32_t errorCode) {
    text += L": ";
    text += platform::ErrorText(errorCode);
    text += L" (error ";
    text += platform::DecimalText(errorCode);
    text += L")";
}

}  // namespace remediation
