#include "stages.h"

#include "registry/lookup.h"

EventText& EventText::add(const wchar_t* text)
{
    while (*text && used + 1 < capacity)
        chars[used++] = *text++;
    chars[used] = 0;
    return *this;
}

EventText& EventText::addAnsi(const char* text)
{
    while (*text && used + 1 < capacity)
        chars[used++] = static_cast<unsigned char>(*text++); // the texts are ASCII
    chars[used] = 0;
    return *this;
}

EventText& EventText::addNumber(DWORD number)
{
    wchar_t digits[11];
    wchar_t* first = digits + 10;
    *first = 0;
    do
        *--first = static_cast<wchar_t>(L'0' + number % 10);
    while (number /= 10);
    return add(first);
}

// No source is registered in the registry: that would outlive the installer. The viewer
// then has no description for the ID and shows the entry's string, which holds the whole
// text. The 9x family has no event log.
void reportEvent(WORD type, EventReason reason, const wchar_t* text)
{
    typedef HANDLE(WINAPI * RegisterFn)(LPCWSTR, LPCWSTR);
    typedef BOOL(WINAPI * ReportFn)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*,
                                    LPVOID);
    typedef BOOL(WINAPI * DeregisterFn)(HANDLE);
    if (!Tarn::isNtFamily())
        return;
    auto registerSource = Tarn::lookUp<RegisterFn>("advapi32.dll", "RegisterEventSourceW");
    auto report = Tarn::lookUp<ReportFn>("advapi32.dll", "ReportEventW");
    auto deregister = Tarn::lookUp<DeregisterFn>("advapi32.dll", "DeregisterEventSource");
    HANDLE log = registerSource && report && deregister
                     ? registerSource(nullptr, L"Quillmarsh2 Setup")
                     : nullptr;
    if (!log)
        return;
    report(log, type, 0, reason, nullptr, 1, 0, &text, nullptr);
    deregister(log);
}
