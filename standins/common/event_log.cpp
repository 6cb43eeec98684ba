#include "event_log.h"

#include "utf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long fileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The text of Wine's L"..." form: \\ \" \n \r \t and \XXXX for every other character
// outside printable ASCII; "..." after the closing quote where Wine cut it short.
std::wstring unquote(const std::string& line, size_t from)
{
    std::wstring text;
    size_t i = line.find("L\"", from);
    if (i == std::string::npos)
        return text;
    for (i += 2; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            text += static_cast<unsigned char>(line[i]);
            continue;
        }
        char c = line[++i];
        if (c == 'n')
            text += L'\n';
        else if (c == 'r')
            text += L'\r';
        else if (c == 't')
            text += L'\t';
        else if (std::isxdigit(static_cast<unsigned char>(c)) && i + 3 < line.size()) {
            text += static_cast<wchar_t>(std::strtoul(line.substr(i, 4).c_str(), nullptr, 16));
            i += 3;
        } else
            text += static_cast<unsigned char>(c);
    }
    if (line.compare(i, 4, "\"...") == 0)
        text += L"...";
    return text;
}

} // namespace

EventLogWatch::EventLogWatch()
{
    const char* errors = std::getenv("QMHOOK_WINE_STDERR");
    if (!errors || !*errors)
        return;
    path = L"Z:" + utf16(errors);
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    seen = fileSize(path);
}

std::vector<EventEntry> EventLogWatch::entries()
{
    std::vector<EventEntry> found;
    FILE* in = available() ? _wfopen(path.c_str(), L"rb") : nullptr;
    if (!in)
        return found;
    _fseeki64(in, seen, SEEK_SET);
    std::string line;
    for (int c; (c = std::fgetc(in)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        seen += line.size() + 1;
        size_t at;
        if ((at = line.find(":RegisterEventSourceW (")) != std::string::npos) {
            source = utf8(unquote(line, at));
        } else if ((at = line.find("advapi:ReportEventW (")) != std::string::npos) {
            // (handle,type,category,id,...)
            EventEntry entry;
            entry.source = source;
            unsigned type = 0, category = 0;
            unsigned long id = 0;
            std::sscanf(line.c_str() + line.find(',', at) + 1, "%x,%x,%lx", &type, &category, &id);
            entry.type = static_cast<WORD>(type);
            entry.id = id;
            found.push_back(entry);
        } else if ((at = line.find("eventlog:ReportEventW L\"")) != std::string::npos &&
                   !found.empty()) {
            found.back().text += utf8(unquote(line, at));
        }
        line.clear();
    }
    std::fclose(in);
    return found;
}

std::string describe(const EventEntry& entry)
{
    const char* type = entry.type == EVENTLOG_WARNING_TYPE       ? "warning"
                       : entry.type == EVENTLOG_INFORMATION_TYPE ? "information"
                       : entry.type == EVENTLOG_ERROR_TYPE       ? "error"
                                                                 : "entry";
    return std::string(type) + " " + std::to_string(entry.id) + " (" + entry.source +
           "): " + entry.text;
}
