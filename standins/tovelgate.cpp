// Stand-in for the installed launcher Tovelgate.exe: appends what it was started with to the
// file named by QMTOVELGATE_RECORD (default: tovelgate-record.txt in its own directory), then
// exits. One record is
//   command line: <the raw command line>
//   argc: <n>
//   argv[0]: <first argument as the runtime split it>
//   ...
//   directory: <its current directory>
// "directory: " comes last, so a record that has it is complete.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
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
    std::fprintf(out, "command line: %s\nargc: %d\n", GetCommandLineA(), argc);
    for (int i = 0; i < argc; ++i)
        std::fprintf(out, "argv[%d]: %s\n", i, argv[i]);
    std::fprintf(out, "directory: %s\n", directory);
    return std::fclose(out) == 0 ? 0 : 1;
}
