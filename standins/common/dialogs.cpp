#include "dialogs.h"

namespace {

thread_local DialogWatch* current;

// The control ids that user32 gives a message box's text, buttons and icon.
const int textId = 0xFFFF;
const int iconId = 0x0440;
const int buttonIds[] = {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDCLOSE,
                         IDHELP, IDTRYAGAIN, IDCONTINUE};

std::string windowText(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

bool isDialog(HWND window)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    return lstrcmpA(name, "#32770") == 0;
}

bool visibleControl(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    // The dialog itself is not shown yet when it is activated: look at the control's own style.
    return control && (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE);
}

SeenDialog describe(HWND dialog)
{
    SeenDialog seen;
    seen.caption = windowText(dialog);
    if (HWND text = GetDlgItem(dialog, textId))
        seen.text = windowText(text);
    seen.hasOwner = GetWindow(dialog, GW_OWNER) != nullptr;
    for (int id : buttonIds)
        if (visibleControl(dialog, id)) {
            if (id == IDOK)
                seen.okButton = true;
            else
                ++seen.otherButtons;
        }
    seen.icon = visibleControl(dialog, iconId) &&
                SendDlgItemMessageA(dialog, iconId, STM_GETICON, 0, 0) != 0;
    return seen;
}

} // namespace

DialogWatch::DialogWatch(bool dismiss) : dismiss(dismiss)
{
    current = this;
    hook = SetWindowsHookExA(WH_CBT, onCbt, nullptr, GetCurrentThreadId());
}

DialogWatch::~DialogWatch()
{
    if (hook)
        UnhookWindowsHookEx(hook);
    current = nullptr;
}

LRESULT CALLBACK DialogWatch::onCbt(int code, WPARAM wParam, LPARAM lParam)
{
    DialogWatch* watch = current;
    if (code == HCBT_ACTIVATE && watch) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (isDialog(window)) {
            watch->dialogs.push_back(describe(window));
            if (watch->dismiss)
                PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(watch ? watch->hook : nullptr, code, wParam, lParam);
}
