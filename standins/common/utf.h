// Texts between UTF-8, in which the launcher stand-in records and the tests spell names
// outside the ANSI code page, and the platform's UTF-16 or ANSI code page.
#ifndef QMHOOK_STANDINS_UTF_H
#define QMHOOK_STANDINS_UTF_H

#include <windows.h>

#include <string>

inline std::wstring utf16(const std::string& text, UINT codePage = CP_UTF8)
{
    std::wstring out(text.size(), L'\0');
    out.resize(MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                   &out[0], static_cast<int>(out.size())));
    return out;
}

inline std::string utf8(const std::wstring& text)
{
    std::string out(text.size() * 3, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   &out[0], static_cast<int>(out.size()), nullptr, nullptr));
    return out;
}

// Whether the ANSI code page lacks a letter of text: the ANSI calls turn each such letter
// into '?'.
inline bool outsideCodePage(const std::wstring& text)
{
    BOOL lost = FALSE;
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                        nullptr, &lost);
    return lost;
}

#endif
