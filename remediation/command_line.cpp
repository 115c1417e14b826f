#include "remediation/remediation.h"

namespace remediation {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Options are ASCII words: their letter case is folded without a locale.
bool SameOption(const std::wstring& argument, const wchar_t* option) {
    std::size_t i = 0;
    for (; i < argument.size() && option[i]; ++i) {
        wchar_t a = argument[i], b = option[i];
        if (a >= L'A' && a <= L'Z') a = static_cast<wchar_t>(a - L'A' + L'a');
        if (b >= L'A' && b <= L'Z') b = static_cast<wchar_t>(b - L'A' + L'a');
        if (a != b) return false;
    }
    return i == argument.size() && !option[i];
}

}  // namespace

std::size_t SkipProgramName(const std::wstring& commandLine) {
    // The program's name takes no escapes: quoted, it ends at the next quote.
    std::size_t i = 0;
    const std::size_t end = commandLine.size();
    if (i < end && commandLine[i] == L'"') {
        i = commandLine.find(L'"', 1);
        return i == std::wstring::npos ? end : i + 1;
    }
    while (i < end && !IsBlank(commandLine[i])) ++i;
    return i;
}

bool NextArgument(const std::wstring& commandLine, std::size_t& position, std::wstring& argument) {
    std::size_t i = position;
    const std::size_t end = commandLine.size();
    while (i < end && IsBlank(commandLine[i])) ++i;
    if (i >= end) return false;
    argument.clear();
    bool quoted = false;
    while (i < end && (quoted || !IsBlank(commandLine[i]))) {
        std::size_t backslashes = 0;
        while (i < end && commandLine[i] == L'\\') ++backslashes, ++i;
        if (i < end && commandLine[i] == L'"') {
            // 2n backslashes and a quote: n backslashes, and the quote
            // opens or closes; 2n+1: n backslashes and a literal quote.
            argument.append(backslashes / 2, L'\\');
            if (backslashes % 2) {
                argument += L'"';
            } else if (quoted && i + 1 < end && commandLine[i + 1] == L'"') {
                argument += L'"';  // "" inside quotes is one quote
                ++i;
            } else {
                quoted = !quoted;
            }
            ++i;
        } else {
            argument.append(backslashes, L'\\');
            if (i < end && (quoted || !IsBlank(commandLine[i]))) argument += commandLine[i++];
        }
    }
    position = i;
    return true;
}

bool ParseCommandLine(const std::wstring& commandLine, Arguments& arguments) {
    std::size_t position = SkipProgramName(commandLine);
    std::wstring argument;
    bool logGiven = false;
    while (NextArgument(commandLine, position, argument)) {
        if (SameOption(argument, L"/AllProfiles") && !arguments.allProfiles) {
            arguments.allProfiles = true;
        } else if (SameOption(argument, L"/Quiet") && !arguments.quiet) {
            arguments.quiet = true;
        } else if (argument == L"/?" && !arguments.help) {
            arguments.help = true;
        } else if (SameOption(argument, L"/Log") && !logGiven && NextArgument(commandLine, position, argument) &&
                   !argument.empty()) {
            logGiven = true;
            arguments.logFile = argument;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace remediation
