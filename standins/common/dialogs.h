// Watches the message boxes that code on this thread shows, through a WH_CBT hook, and
// dismisses them with OK when asked to.
#ifndef QMHOOK_STANDINS_DIALOGS_H
#define QMHOOK_STANDINS_DIALOGS_H

#include <windows.h>

#include <string>
#include <vector>

struct SeenDialog {
    std::string caption;
    std::string text;
    bool hasOwner = false;
    bool okButton = false;
    int otherButtons = 0; // visible buttons besides OK (Cancel, Yes, No, ...)
    bool icon = false;    // a visible icon
};

class DialogWatch {
public:
    explicit DialogWatch(bool dismiss = true);
    ~DialogWatch();
    DialogWatch(const DialogWatch&) = delete;
    DialogWatch& operator=(const DialogWatch&) = delete;

    const std::vector<SeenDialog>& seen() const { return dialogs; }
    void clear() { dialogs.clear(); }

private:
    static LRESULT CALLBACK onCbt(int code, WPARAM wParam, LPARAM lParam);
    HHOOK hook;
    bool dismiss;
    std::vector<SeenDialog> dialogs;
};

#endif
