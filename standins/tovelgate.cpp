// Stand-in for the installed launcher Tovelgate.exe: appends its whole command line and its
// current directory to the file named by QMTOVELGATE_RECORD (default: tovelgate-record.txt
// in its own directory), one "command line: ..." and one "directory: ..." line, then exits.
#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("QMTOVELGATE_RECORD", path, MAX_PATH);
    std::string record;
    if (length > 0 && length < MAX_PATH) {
        record = path;
    } else {
        length = GetModuleFileNameA(nullptr, path, MAX_PATH);
        record = std::string(path, length);
        record = record.substr(0, record.find_last_of('\\') + 1) + "tovelgate-record.txt";
    }
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    FILE* out = std::fopen(record.c_str(), "a");
    if (!out)
        return 1;
    std::fprintf(out, "command line: %s\ndirectory: %s\n", GetCommandLineA(), directory);
    return std::fclose(out) == 0 ? 0 : 1;
}
