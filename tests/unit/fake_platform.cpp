#include "fake_platform.h"

#include <algorithm>
#include <condition_variable>
#include <cwctype>
#include <memory>
#include <mutex>
#include <thread>

namespace fake {
namespace {

System current;

// A repair that waits on an opportunistic lock runs on a thread of its own,
// as on Windows; one left waiting is let go and ended before the next test.
std::mutex gate;
std::condition_variable changed;
bool letGo = false;
// What one bounded run's work is doing: ended, or waiting (and whether a cancel ends the wait).
struct BoundedWork {
    bool ended = false, waits = false, cancellable = false, cancelAsked = false;
};
thread_local std::shared_ptr<BoundedWork> thisThreadsWork;
struct LeftRunning {
    std::vector<std::thread> threads;
    void EndAll() {
        {
            const std::lock_guard<std::mutex> lock(gate);
            letGo = true;
        }
        changed.notify_all();
        for (std::thread& thread : threads) thread.join();
        threads.clear();
        letGo = false;
    }
    ~LeftRunning() { EndAll(); }
} leftRunning;

}  // namespace

std::wstring Upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

namespace {

std::wstring Widen(const std::string& ansi) { return std::wstring(ansi.begin(), ansi.end()); }

}  // namespace

System& Current() { return current; }
void Reset() {
    leftRunning.EndAll();
    current = System();
}

std::string FakeAnsi(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0x80 | ((c >> 8) & 0x7F));
            out += static_cast<char>(c & 0xFF);
        }
    }
    return out;
}

}  // namespace fake

namespace platform {

using fake::current;

// Tick counts wrap after 49.7 days, as Windows' do.
bool Before(std::uint32_t tick, std::uint32_t other) { return static_cast<std::int32_t>(tick - other) < 0; }

std::int32_t GetVersionExA(OSVERSIONINFOA& info) {
    current.calls.push_back(L"GetVersionExA");
    current.versionRecordReceived = info;
    if (!current.majorVersion) return 0;
    info.dwMajorVersion = *current.majorVersion;
    return 1;
}

std::string ToAnsiCodePage(const std::wstring& text) { return fake::FakeAnsi(text); }

std::int32_t RegCreateKeyA(const RegistryRoot& root, const std::string& subKey, RegistryKey& key) {
    current.calls.push_back(L"RegCreateKeyA " + fake::Widen(subKey));
    current.registry.push_back({"RegCreateKeyA", root, 0, subKey, 0, 0, {}});
    key = current.createKeyResult == ERROR_SUCCESS ? current.keyGiven : NoRegistryKey;
    return current.createKeyResult;
}

std::int32_t RegSetValueExA(const RegistryKey& key, const std::string& valueName, std::uint32_t reserved,
                            std::uint32_t type, const char* data, std::uint32_t byteCount) {
    current.calls.push_back(L"RegSetValueExA " + fake::Widen(valueName));
    current.registry.push_back({"RegSetValueExA", 0, key, valueName, reserved, type, std::string(data, byteCount)});
    return current.setValueResult;
}

std::int32_t RegCloseKey(const RegistryKey& key) {
    current.calls.push_back(L"RegCloseKey");
    current.registry.push_back({"RegCloseKey", 0, key, {}, 0, 0, {}});
    return ERROR_SUCCESS;
}

std::uint32_t GetTickCount() { return current.tickCount; }

void Sleep(std::uint32_t milliseconds) {
    current.sleeps.push_back(milliseconds);
    current.tickCount += milliseconds;
}

std::wstring ReadEnvironmentVariable(const std::wstring& name) {
    current.calls.push_back(L"ReadEnvironmentVariable " + name);
    if (current.environmentThrows) std::rethrow_exception(current.environmentThrows);
    for (const auto& [variable, value] : current.environment)
        if (fake::Upper(variable) == fake::Upper(name)) return value;
    return std::wstring();
}

std::wstring ReadProcessUserSid() {
    current.calls.push_back(L"ReadProcessUserSid");
    return current.userSid;
}

std::uint32_t QueryFileAttributes(const std::wstring& path) {
    current.calls.push_back(L"QueryFileAttributes " + path);
    if (current.deletePending.count(path)) throw RunTimeFailure{L"GetFileAttributesW", path, ERROR_ACCESS_DENIED};
    const auto file = current.files.find(path);
    if (file == current.files.end()) throw RunTimeFailure{L"GetFileAttributesW", path, current.queryError};
    // The junction or link itself is asked.
    return file->second | (current.leadsTo.count(path) ? 0x400 : 0);
}

// A name pending deletion is still listed in its folder.
std::uint32_t ListedFileAttributes(const std::wstring& path) {
    current.calls.push_back(L"ListedFileAttributes " + path);
    const auto file = current.files.find(path);
    if (file == current.files.end())
        throw RunTimeFailure{L"FindFirstFileW", path, current.listError.value_or(current.queryError)};
    return file->second;
}

std::wstring GetFullPath(const std::wstring& path) {
    current.calls.push_back(L"GetFullPath " + path);
    if (current.fullPathError) throw RunTimeFailure{L"GetFullPathNameW", path, *current.fullPathError};
    const auto given = current.fullPaths.find(path);
    if (given != current.fullPaths.end()) return given->second;
    std::wstring full;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const wchar_t c = path[i] == L'/' ? L'\\' : path[i];
        if (c == L'\\' && i > 1 && !full.empty() && full.back() == L'\\') continue;
        full += c;
    }
    return full;
}

void DeleteFiles(const std::wstring& path) {
    current.calls.push_back(L"DeleteFiles " + path);
    const auto hold = current.held.find(path);
    if (hold != current.held.end() && Before(current.tickCount, hold->second.releasedAt))
        throw RunTimeFailure{L"DeleteFileW", path, hold->second.error};
    const auto error = current.deleteErrors.find(path);
    if (error != current.deleteErrors.end()) throw RunTimeFailure{L"DeleteFileW", path, error->second};
    // Windows refuses to delete a read-only file, and one already deleted but still held open.
    const auto file = current.files.find(path);
    if (current.deletePending.count(path) || (file != current.files.end() && (file->second & 0x1)))
        throw RunTimeFailure{L"DeleteFileW", path, ERROR_ACCESS_DENIED};
    current.files.erase(path);
    current.deleted.push_back(path);
}

void ShowNoBoxes() { current.noBoxes = true; }

void ShowMessageBox(const std::wstring& prompt, std::uint32_t style, const std::wstring& title) {
    current.calls.push_back(L"ShowMessageBox " + prompt);
    if (current.noBoxes) return;
    if (current.boxFailure) throw *current.boxFailure;
    current.boxes.push_back({prompt, style, title});
}

std::wstring ReadCommandLine() { return current.commandLine; }

std::wstring ErrorText(std::uint32_t errorCode) { return L"text of error " + DecimalText(errorCode); }

void OpenLog(const std::wstring& path, bool guarded) {
    current.calls.push_back(L"OpenLog " + path);
    current.logGuarded = guarded;
    if (current.logOpenError) throw RunTimeFailure{L"CreateFileW", path, *current.logOpenError};
    if (guarded && current.logRefusal) throw RunTimeFailure{L"CreateFileW", path, *current.logRefusal};
    current.logOpened = path;
}

bool WriteLogLine(const std::wstring& line) {
    if (!current.logOpened || current.logWritesFail) return false;
    current.log.push_back(line);
    return true;
}

std::wstring LocalTimeText() { return L"2026-12-09 12:00:00"; }

bool HoldsHivePrivileges() { return current.holdsHivePrivileges; }

std::uint32_t EnableHivePrivileges(bool enable) {
    if (!current.holdsHivePrivileges) return 1300;  // ERROR_NOT_ALL_ASSIGNED
    current.privilegesEnabled = enable;
    return ERROR_SUCCESS;
}

std::uint32_t ReadProfileList(std::vector<ProfileListEntry>& entries) {
    entries = current.profileList;
    return ERROR_SUCCESS;
}

std::wstring ReadDefaultProfileFolder() { return current.defaultProfileFolder; }

bool HiveIsLoaded(const std::wstring& name) { return current.loadedHives.count(name) != 0; }

std::uint32_t ListLoadedHives(std::vector<std::wstring>& names) {
    for (const auto& [name, hive] : current.loadedHives) names.push_back(name);
    return ERROR_SUCCESS;
}

void RefuseUsersJunctions() { current.calls.push_back(L"RefuseUsersJunctions"); }

std::uint32_t AcquireRunLock(std::uint32_t milliseconds) {
    current.calls.push_back(L"AcquireRunLock");
    if (current.runLockHeldElsewhere) {
        current.tickCount += milliseconds;
        return WAIT_TIMEOUT;
    }
    current.runLockHeld = true;
    return ERROR_SUCCESS;
}

void ReleaseRunLock() { current.runLockHeld = false; }

namespace {

const wchar_t* WithPrivileges() { return current.privilegesEnabled ? L" (privileged)" : L" (unprivileged)"; }

// "hive\\key\\path" below HKEY_USERS: the hive, or nothing when it is not loaded.
fake::System::Hive* HiveOf(RegistryRoot root, const std::wstring& keyPath, std::wstring& below) {
    if (root == HKEY_LOCAL_MACHINE) {
        below = keyPath;
        return &current.machine;
    }
    const std::size_t end = keyPath.find(L'\\');
    const auto hive = current.loadedHives.find(keyPath.substr(0, end));
    below = end == std::wstring::npos ? std::wstring() : keyPath.substr(end + 1);
    return hive == current.loadedHives.end() ? nullptr : &hive->second;
}

// Where a path leads: through the first folder on it that leads elsewhere.
std::wstring Resolved(const std::wstring& path) {
    for (const auto& [folder, target] : current.leadsTo)
        if (path == folder || path.rfind(folder + L"\\", 0) == 0) return Resolved(target + path.substr(folder.size()));
    return path;
}

}  // namespace

std::uint32_t LoadHive(const std::wstring& name, const std::wstring& file) {
    current.hiveCalls.push_back(L"load " + name + L" " + file + WithPrivileges());
    if (!current.privilegesEnabled) return 1314;  // ERROR_PRIVILEGE_NOT_HELD
    const auto error = current.loadErrors.find(file);
    if (error != current.loadErrors.end()) return error->second;
    const auto hive = current.hiveFiles.find(file);
    if (hive == current.hiveFiles.end()) return ERROR_FILE_NOT_FOUND;
    if (current.loadedHives.count(name)) return ERROR_ACCESS_DENIED;
    current.loadedHives[name] = hive->second;
    current.loadedFrom[name] = file;
    return ERROR_SUCCESS;
}

std::uint32_t UnloadHive(const std::wstring& name) {
    current.hiveCalls.push_back(L"unload " + name + WithPrivileges());
    if (!current.privilegesEnabled) return 1314;
    if (current.unloadFailures) {
        --current.unloadFailures;
        return ERROR_ACCESS_DENIED;
    }
    current.hiveFiles[current.loadedFrom.at(name)] = current.loadedHives.at(name);
    if (current.loadedFrom.at(name) == current.hiveFileGoesAfterUnload) {
        current.hiveFiles.erase(current.hiveFileGoesAfterUnload);
        current.files.erase(current.hiveFileGoesAfterUnload);
    }
    current.loadedHives.erase(name);
    current.loadedFrom.erase(name);
    return ERROR_SUCCESS;
}

std::wstring ReadRegistryText(RegistryRoot root, const std::wstring& keyPath, const std::wstring& valueName) {
    const auto raise = current.readThrows.find(keyPath.substr(0, keyPath.find(L'\\')));
    if (raise != current.readThrows.end()) {
        const std::exception_ptr failure = raise->second;
        current.readThrows.erase(raise);
        std::rethrow_exception(failure);
    }
    std::wstring below;
    const fake::System::Hive* hive = HiveOf(root, keyPath, below);
    if (!hive) return std::wstring();
    const auto value = hive->find(below + L"|" + valueName);
    return value == hive->end() ? std::wstring() : value->second;
}

std::uint32_t WriteRegistryText(RegistryRoot root, const std::wstring& keyPath, const std::wstring& valueName,
                                const std::wstring& valueText) {
    current.calls.push_back(L"WriteRegistryText " + keyPath + L"|" + valueName);
    const std::wstring qualified = (root == HKEY_LOCAL_MACHINE ? L"HKLM\\" : L"HKU\\") + keyPath;
    const auto error = current.writeErrors.find(qualified);
    if (error != current.writeErrors.end()) return error->second;
    std::wstring below;
    fake::System::Hive* hive = HiveOf(root, keyPath, below);
    if (!hive) return ERROR_ACCESS_DENIED;  // HKEY_USERS takes no keys of its own
    (*hive)[below + L"|" + valueName] = valueText;
    return ERROR_SUCCESS;
}

// A folder named as one, or holding anything.
bool FolderIsThere(const std::wstring& path) {
    const auto found = current.files.lower_bound(path);
    if (found != current.files.end() && found->first == path) return (found->second & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const auto inside = current.files.lower_bound(path + L"\\");
    return inside != current.files.end() && inside->first.rfind(path + L"\\", 0) == 0;
}

GuardedDeletion DeleteFileBelow(const std::wstring& folder, const std::vector<std::wstring>& below,
                                const std::wstring& name, std::wstring& stoppedAt, std::uint32_t& errorCode) {
    // A junction above the folder (a profiles folder moved) is gone through;
    // one at the folder or below it is refused.
    std::wstring path = folder;
    for (std::size_t level = 0; level <= below.size(); ++level) {
        if (level) path += L"\\" + below[level - 1];
        current.calls.push_back(L"OpenFolder " + path);
        stoppedAt = path;
        const auto error = current.openErrors.find(path);
        if (error != current.openErrors.end()) {
            errorCode = error->second;
            return GuardedDeletion::NotOpened;
        }
        if (current.leadsTo.count(path)) return GuardedDeletion::LinkOnTheWay;
        if (!FolderIsThere(Resolved(path))) {
            errorCode = ERROR_PATH_NOT_FOUND;
            return GuardedDeletion::NotThere;
        }
    }
    stoppedAt.clear();
    std::size_t ownHives = 0;
    for (const auto& [hive, values] : current.loadedHives) ownHives += hive.rfind(L"Desktop Remediation ", 0) == 0;
    current.hivesLoadedDuringFileWork = std::max(current.hivesLoadedDuringFileWork, ownHives);
    path += L"\\" + name;
    current.calls.push_back(L"DeleteFileBelow " + path);
    const auto oplock = current.oplocked.find(path);
    if (oplock != current.oplocked.end() && fake::thisThreadsWork) {
        fake::BoundedWork& work = *fake::thisThreadsWork;
        std::unique_lock<std::mutex> lock(fake::gate);
        work.waits = true;
        work.cancellable = oplock->second;
        fake::changed.notify_all();
        fake::changed.wait(lock, [&] { return (work.cancelAsked && work.cancellable) || fake::letGo; });
        work.waits = work.cancelAsked = false;
        fake::changed.notify_all();
        errorCode = 995;  // ERROR_OPERATION_ABORTED
        return GuardedDeletion::NotOpened;
    }
    const auto hold = current.held.find(path);
    const auto error = current.openErrors.find(path);
    if (hold != current.held.end() && Before(current.tickCount, hold->second.releasedAt)) {
        errorCode = hold->second.error;
        return GuardedDeletion::NotOpened;
    }
    if (error != current.openErrors.end()) {
        errorCode = error->second;
        return GuardedDeletion::NotOpened;
    }
    if (current.deletePending.count(path)) return GuardedDeletion::PendingDeletion;
    const auto file = current.files.find(Resolved(path));
    if (file == current.files.end()) return GuardedDeletion::NotThere;
    if (file->second & FILE_ATTRIBUTE_DIRECTORY) return GuardedDeletion::NotAFile;
    if (file->second & 0x1) {
        errorCode = ERROR_ACCESS_DENIED;  // read-only
        return GuardedDeletion::NotDeleted;
    }
    current.deleted.push_back(file->first);
    current.files.erase(file);
    return GuardedDeletion::Deleted;
}

bool IsVolumeMountPoint(const std::wstring& folder) { return current.mountPoints.count(folder) != 0; }

// The work's thread, waited for until it ends or waits on a lock; then, as
// on Windows, the time given passes, and the wait is cancelled where that ends it.
BoundedRun RunWithin(std::uint32_t milliseconds, std::function<void()> work) {
    const auto state = std::make_shared<fake::BoundedWork>();
    std::thread thread([work, state] {
        fake::thisThreadsWork = state;
        work();
        const std::lock_guard<std::mutex> lock(fake::gate);
        state->ended = true;
        fake::changed.notify_all();
    });
    BoundedRun outcome = BoundedRun::Ended;
    {
        std::unique_lock<std::mutex> lock(fake::gate);
        fake::changed.wait(lock, [&] { return state->ended || state->waits; });
        if (!state->ended) {
            current.tickCount += milliseconds;
            outcome = BoundedRun::LeftRunning;
            if (state->cancellable) {
                state->cancelAsked = true;
                fake::changed.notify_all();
                fake::changed.wait(lock, [&] { return state->ended || (state->waits && !state->cancelAsked); });
                if (state->ended) outcome = BoundedRun::Cancelled;
            }
        }
    }
    if (outcome == BoundedRun::LeftRunning)
        fake::leftRunning.threads.push_back(std::move(thread));
    else
        thread.join();
    current.boundedRuns.push_back(outcome);
    return outcome;
}

void ReportUnhandledFailure(const RunTimeFailure& failure) noexcept {
    current.calls.push_back(L"ReportUnhandledFailure " + std::wstring(failure.operation));
    if (!current.noBoxes) current.reports.push_back(failure);
}

}  // namespace platform
