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

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    const std::size_t end = commandLine.size();

    // The program's name takes no escapes: quoted, it ends at the next quote.
    std::wstring program;
    if (i < end && commandLine[i] == L'"') {
        for (++i; i < end && commandLine[i] != L'"'; ++i) program += commandLine[i];
        if (i < end) ++i;
    } else {
        for (; i < end && !IsBlank(commandLine[i]); ++i) program += commandLine[i];
    }
    arguments.push_back(program);

    for (;;) {
        while (i < end && IsBlank(commandLine[i])) ++i;
        if (i >= end) break;
        std::wstring argument;
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
        arguments.push_back(argument);
    }
    return arguments;
}

bool ParseCommandLine(const std::wstring& commandLine, Arguments& arguments) {
    const std::vector<std::wstring> words = SplitCommandLine(commandLine);
    bool logGiven = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (SameOption(words[i], L"/AllProfiles") && !arguments.allProfiles) {
            arguments.allProfiles = true;
        } else if (SameOption(words[i], L"/Log") && !logGiven && i + 1 < words.size() && !words[i + 1].empty()) {
            logGiven = true;
            arguments.logFile = words[++i];
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace remediation
