// What a launch of Tovelgate.exe left behind, judged without the short-name call the DLL
// makes: the launcher stand-in's record, whether a path is in 8.3 form, whether two paths
// name one file, and the end of every process this program started.
#ifndef QMHOOK_TESTS_LAUNCH_ORACLE_H
#define QMHOOK_TESTS_LAUNCH_ORACLE_H

#include "common/utf.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

// One record of the launcher stand-in (standins/tovelgate.cpp), in UTF-8. Complete once
// its last line, the directory, is there.
struct LauncherRecord {
    bool exists = false;
    bool complete = false;
    std::string commandLine, directory;
    std::vector<std::string> argv;
};

inline LauncherRecord readLauncherRecord(const std::string& file)
{
    LauncherRecord record;
    std::ifstream in(file, std::ios::binary);
    record.exists = in.is_open();
    std::string line;
    auto after = [&line](const char* prefix, std::string& into) {
        size_t length = std::strlen(prefix);
        if (line.compare(0, length, prefix) != 0)
            return false;
        into = line.substr(length);
        return true;
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (after("command line: ", record.commandLine))
            continue;
        if (line.compare(0, 5, "argv[") == 0 && line.find("]: ") != std::string::npos) {
            record.argv.push_back(line.substr(line.find("]: ") + 3));
            continue;
        }
        if (after("directory: ", record.directory))
            record.complete = true;
    }
    return record;
}

// The blank-separated words of a text, as the runtime splits an unquoted argument.
inline std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> result;
    size_t start = 0;
    while ((start = text.find_first_not_of(" \t", start)) != std::string::npos) {
        size_t end = text.find_first_of(" \t", start);
        result.push_back(text.substr(start, end - start));
        start = end;
    }
    return result;
}

// True for an absolute path "X:\..." whose every component is an 8.3 name: a base of one to
// eight characters, at most one dot, an extension of at most three, nothing that 8.3 names
// forbid (blanks among them).
inline bool isShortFormPath(const std::string& path)
{
    if (path.size() < 4 || !std::isalpha(static_cast<unsigned char>(path[0])) ||
        path.compare(1, 2, ":\\") != 0)
        return false;
    size_t start = 3;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? end : end - start);
        size_t dot = name.find('.');
        size_t base = dot == std::string::npos ? name.size() : dot;
        size_t extension = dot == std::string::npos ? 0 : name.size() - dot - 1;
        if (base == 0 || base > 8 || extension > 3 ||
            (dot != std::string::npos && name.find('.', dot + 1) != std::string::npos) ||
            name.find_first_of(" \t\"*+,/:;<=>?[]|") != std::string::npos)
            return false;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

// True when both paths (UTF-8) open one and the same file (volume and file index).
inline bool sameFile(const std::string& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const std::string* paths[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        HANDLE file = CreateFileW(utf16(*paths[i]).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        bool read = GetFileInformationByHandle(file, &info[i]) != 0;
        CloseHandle(file);
        if (!read)
            return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// Waits until no process that this program started is left; false when one still runs
// after the timeout. _spawnl has created its process by the time it returns, so once this
// answers true every launcher started before it has written its record and ended: a launch
// shows however late it would have written. A process whose parent id only happens to be
// ours (started before this program) is told apart by its start time.
inline bool waitForChildProcesses(DWORD timeoutMs = 60000)
{
    FILETIME ownStart, unused[3];
    GetProcessTimes(GetCurrentProcess(), &ownStart, &unused[0], &unused[1], &unused[2]);
    DWORD begin = GetTickCount();
    for (;;) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            return false;
        std::vector<DWORD> children;
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more;
             more = Process32Next(snapshot, &entry)) {
            if (entry.th32ParentProcessID == GetCurrentProcessId())
                children.push_back(entry.th32ProcessID);
        }
        CloseHandle(snapshot);
        bool running = false;
        for (DWORD id : children) {
            HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id);
            if (!child)
                continue;
            FILETIME start;
            if (GetProcessTimes(child, &start, &unused[0], &unused[1], &unused[2]) &&
                CompareFileTime(&start, &ownStart) >= 0 &&
                WaitForSingleObject(child, 0) == WAIT_TIMEOUT) {
                running = true;
                DWORD elapsed = GetTickCount() - begin;
                if (elapsed >= timeoutMs ||
                    WaitForSingleObject(child, timeoutMs - elapsed) != WAIT_OBJECT_0) {
                    CloseHandle(child);
                    return false;
                }
            }
            CloseHandle(child);
        }
        if (!running)
            return true;
    }
}

#endif
