// The Application event log's entries that this process and the programs it starts write,
// as Wine keeps them: its ReportEventW writes each entry to its debug channels
// (WINEDEBUG=fixme+advapi,+eventlog) on standard error, which tests/wine/run-wine collects
// in the file it names in QMHOOK_WINE_STDERR.
#ifndef QMHOOK_STANDINS_EVENT_LOG_H
#define QMHOOK_STANDINS_EVENT_LOG_H

#include <windows.h>

#include <string>
#include <vector>

struct EventEntry {
    std::string source; // the name the writer registered
    WORD type = 0;      // EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE, ...
    DWORD id = 0;
    std::string text;   // UTF-8; Wine cuts a long one short, ending it with "..."
};

class EventLogWatch {
public:
    // Sees the entries written from now on.
    EventLogWatch();
    // False where nothing collects Wine's debug output: no entry can be seen.
    bool available() const { return !path.empty(); }
    // The entries written since the last call (or since the watch began).
    std::vector<EventEntry> entries();

private:
    std::wstring path;
    long long seen = 0;
    std::string source;
};

// How an entry prints: "warning 2 (Quillmarsh2 Setup): <text>".
std::string describe(const EventEntry& entry);

#endif
