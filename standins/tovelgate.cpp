// Stand-in for the installed launcher Tovelgate.exe: appends what it was started with to the
// file named by QMTOVELGATE_RECORD (default: tovelgate-record.txt in its own directory), then
// exits. One record, in UTF-8, whatever the ANSI code page lacks:
//   command line: <the raw command line>
//   argc: <n>
//   argv[0]: <first argument as the runtime split it>
//   ...
//   directory: <its current directory>
// "directory: " comes last, so a record that has it is complete.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t* text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"QMTOVELGATE_RECORD", path, MAX_PATH);
    std::wstring record;
    if (length > 0 && length < MAX_PATH) {
        record = path;
    } else {
        length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        record = std::wstring(path, length);
        record = record.substr(0, record.find_last_of(L'\\') + 1) + L"tovelgate-record.txt";
    }
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    FILE* out = _wfopen(record.c_str(), L"ab");
    if (!out)
        return 1;
    std::fprintf(out, "command line: %s\nargc: %d\n", utf8(GetCommandLineW()).c_str(), argc);
    for (int i = 0; i < argc; ++i)
        std::fprintf(out, "argv[%d]: %s\n", i, utf8(argv[i]).c_str());
    std::fprintf(out, "directory: %s\n", utf8(directory).c_str());
    return std::fclose(out) == 0 ? 0 : 1;
}
