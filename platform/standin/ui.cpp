// Native stand-in: window classes, the main window's creation, one thread's
// message queue, modal dialog 103 and message boxes.
//
// The sequence is the system's: CreateWindowExA sends WM_NCCREATE and
// WM_CREATE and, when WM_CREATE answers -1, WM_DESTROY (unless told to
// behave as Wine does), then gives no window.
// DialogBoxParamA sends WM_INITDIALOG and runs a modal loop that takes the
// posted messages in order, then WM_QUIT, then WM_PAINT while the dialog
// needs painting, and ends once EndDialog was called. Like the system's
// dialog loop it turns Return and Escape into the OK and Cancel commands.
// PeekMessageA leaves WM_PAINT in place until the dialog has been painted.
// Message boxes take their answers from Setup::answers.
#include "platform/standin/internal.h"

#include <strings.h>

#include <deque>
#include <string>

struct StandinWindow {
    enum Kind { Main, Dialog, Control } kind = Main;
    WNDPROC proc = nullptr;
    DLGPROC dialogProc = nullptr;
    StandinWindow* parent = nullptr;
    int id = 0;
    bool alive = true;
    bool needsPaint = false;
};

namespace standin {
namespace {

struct Ui {
    std::deque<StandinWindow> windows;  // a deque keeps the handles valid
    std::deque<MSG> queue;
    bool quitPending = false;
    StandinWindow* dialog = nullptr;   // the running dialog
    int queueChecks = 0;
    size_t writesSeen = 0;             // _lwrite calls already counted in a gap
};

Ui& U() {
    static Ui ui;
    return ui;
}

StandinWindow* Find(HWND handle) {
    for (StandinWindow& w : U().windows)
        if (&w == handle) return w.alive ? &w : nullptr;
    return nullptr;
}

// Bytes asked of _lwrite since the last look at the queue.
void CountWriteGap() {
    const std::vector<unsigned>& sizes = GetCounters().writeSizes;
    long long gap = 0;
    for (size_t i = U().writesSeen; i < sizes.size(); i++) gap += sizes[i];
    U().writesSeen = sizes.size();
    if (gap > EditLog().dialog.largestWriteGap) EditLog().dialog.largestWriteGap = gap;
}

void Paint(StandinWindow* dialog) {
    DialogLog& d = EditLog().dialog;
    dialog->needsPaint = false;
    if (d.paints++ == 0) d.writesBeforeFirstPaint = static_cast<long long>(GetCounters().writeSizes.size());
    EditLog().events.push_back("paint");
}

INT_PTR DeliverToDialog(StandinWindow* dialog, UINT message, WPARAM wParam, LPARAM lParam);

// What the dialog manager does with a message the procedure left alone.
void DefaultDialogHandling(StandinWindow* dialog, UINT message) {
    if (message == WM_PAINT) Paint(dialog);
    // The class cursor of dialogs, the arrow, as DefWindowProc sets it.
    if (message == WM_SETCURSOR) SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    if (message == WM_CLOSE) {
        HWND cancel = GetDlgItem(dialog, IDCANCEL);
        DeliverToDialog(dialog, WM_COMMAND, IDCANCEL, reinterpret_cast<LPARAM>(cancel));
    }
}

INT_PTR DeliverToDialog(StandinWindow* dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    EditLog().dialog.delivered.push_back(message);
    INT_PTR handled = dialog->dialogProc(dialog, message, wParam, lParam);
    if (!handled) DefaultDialogHandling(dialog, message);
    return handled;
}

LRESULT SendToMain(StandinWindow* window, UINT message) {
    EditLog().mainMessages.push_back(message);
    return window->proc(window, message, 0, 0);
}

// The next message in the system's order; WM_PAINT is never removed here.
bool NextMessage(MSG* message, bool remove) {
    *message = MSG();
    if (!U().queue.empty()) {
        *message = U().queue.front();
        if (remove) U().queue.pop_front();
        return true;
    }
    if (U().quitPending) {
        message->message = WM_QUIT;
        message->wParam = static_cast<WPARAM>(EditLog().quitCode);
        if (remove) U().quitPending = false;
        return true;
    }
    if (U().dialog && U().dialog->needsPaint) {
        message->hwnd = U().dialog;
        message->message = WM_PAINT;
        return true;
    }
    return false;
}

StandinWindow* AddWindow(StandinWindow::Kind kind, StandinWindow* parent, int id) {
    U().windows.emplace_back();
    StandinWindow* w = &U().windows.back();
    w->kind = kind;
    w->parent = parent;
    w->id = id;
    return w;
}

std::string CursorName(HCURSOR cursor) {
    if (cursor == LoadCursorA(nullptr, IDC_WAIT)) return "wait";
    if (cursor == LoadCursorA(nullptr, IDC_ARROW)) return "arrow";
    return "other";
}

}  // namespace

void ResetUi() { U() = Ui(); }

void InvalidateDialog() {
    if (U().dialog) U().dialog->needsPaint = true;
}

void PostToDialog(UINT message, WPARAM wParam, LPARAM lParam) {
    if (U().dialog) U().queue.push_back(MSG{U().dialog, message, wParam, lParam, 0, {0, 0}});
}

LRESULT SendToDialog(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!U().dialog) return 0;
    return DeliverToDialog(U().dialog, message, wParam, lParam);
}

}  // namespace standin

using standin::EditLog;
using standin::GetSetup;
using standin::U;

ATOM RegisterClassA(const WNDCLASSA* windowClass) {
    if (GetSetup().registerClassFails) return 0;
    standin::Log& log = EditLog();
    log.classRegistered = true;
    log.windowClass = *windowClass;
    log.className = windowClass->lpszClassName ? windowClass->lpszClassName : "";
    log.windowClass.lpszClassName = nullptr;  // the text is kept in className
    return 0xC001;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int, int,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    standin::Log& log = EditLog();
    log.createCalls++;
    log.createdClass = className ? className : "";
    log.createdTitle = windowName ? windowName : "";
    log.createdExStyle = exStyle;
    log.createdStyle = style;
    log.createdX = x;
    log.createdHeight = height;
    log.createdWithParentOrMenuOrParam = parent || menu || param;
    log.createdInstance = instance;
    if (!log.classRegistered || strcasecmp(log.className.c_str(), log.createdClass.c_str()) != 0) return nullptr;
    if (GetSetup().createWindowFails) return nullptr;

    StandinWindow* w = standin::AddWindow(StandinWindow::Main, nullptr, 0);
    w->proc = log.windowClass.lpfnWndProc;
    if (!standin::SendToMain(w, WM_NCCREATE) || standin::SendToMain(w, WM_CREATE) == -1) {
        if (GetSetup().refusedWindowGetsDestroy) standin::SendToMain(w, WM_DESTROY);
        w->alive = false;
        return nullptr;
    }
    return w;
}

LRESULT DefWindowProcA(HWND, UINT message, WPARAM, LPARAM) {
    EditLog().defaultHandled.push_back(message);
    return message == WM_NCCREATE ? TRUE : 0;
}

void PostQuitMessage(int exitCode) {
    EditLog().quitPosted = true;
    EditLog().quitCode = exitCode;
    EditLog().events.push_back("quit " + std::to_string(exitCode));
    U().quitPending = true;
}

BOOL GetMessageA(MSG* message, HWND, UINT, UINT) {
    if (!standin::NextMessage(message, true)) {
        // The real call would wait for ever; end the loop so the test can tell.
        EditLog().waitedForever = true;
        message->message = WM_QUIT;
        return FALSE;
    }
    return message->message != WM_QUIT;
}

BOOL PeekMessageA(MSG* message, HWND, UINT, UINT, UINT remove) {
    if (U().dialog) {
        standin::CountWriteGap();
        int check = ++U().queueChecks;
        if (GetSetup().onQueueCheck) GetSetup().onQueueCheck(check);
    }
    return standin::NextMessage(message, (remove & PM_REMOVE) != 0);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageA(const MSG* message) {
    StandinWindow* w = standin::Find(message->hwnd);
    if (!w) return 0;
    if (w->kind == StandinWindow::Dialog)
        return standin::DeliverToDialog(w, message->message, message->wParam, message->lParam);
    if (w->kind == StandinWindow::Main) return w->proc(w, message->message, message->wParam, message->lParam);
    return 0;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    StandinWindow* w = standin::Find(window);
    if (!w) return FALSE;
    MSG posted{window, message, wParam, lParam, 0, {0, 0}};
    U().queue.push_back(posted);
    if (w->kind == StandinWindow::Dialog) EditLog().dialog.posted.push_back(posted);
    return TRUE;
}

// Fake handles that say what was loaded: resources of the program, or the system's.
HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
    uintptr_t id = IS_INTRESOURCE(name) ? reinterpret_cast<uintptr_t>(name) : 0xFFFF;
    return reinterpret_cast<HICON>((instance ? 0x10000 : 0x20000) + id);
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name) {
    uintptr_t id = IS_INTRESOURCE(name) ? reinterpret_cast<uintptr_t>(name) : 0xFFFF;
    return reinterpret_cast<HCURSOR>((instance ? 0x50000 : 0x40000) + id);
}

HCURSOR SetCursor(HCURSOR cursor) {
    EditLog().events.push_back("cursor " + standin::CursorName(cursor));
    return nullptr;
}

HGDIOBJ GetStockObject(int object) { return reinterpret_cast<HGDIOBJ>(uintptr_t(0x30000 + object)); }

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc, LPARAM param) {
    standin::Log& log = EditLog();
    log.dialogCalls++;
    if (!IS_INTRESOURCE(templateName) || reinterpret_cast<uintptr_t>(templateName) != 103 || !dialogProc ||
        GetSetup().dialogFails)
        return -1;

    // Dialog 103: hidden OK and Cancel, two fixed texts, the saver line 1001.
    StandinWindow* dialog = standin::AddWindow(StandinWindow::Dialog, nullptr, 0);
    dialog->dialogProc = dialogProc;
    dialog->needsPaint = true;  // WS_VISIBLE
    StandinWindow* ok = standin::AddWindow(StandinWindow::Control, dialog, IDOK);
    standin::AddWindow(StandinWindow::Control, dialog, IDCANCEL);
    standin::AddWindow(StandinWindow::Control, dialog, -1);
    standin::AddWindow(StandinWindow::Control, dialog, -1);
    standin::AddWindow(StandinWindow::Control, dialog, 1001);

    standin::DialogLog& d = log.dialog;
    d = standin::DialogLog();
    d.created = true;
    d.instance = instance;
    d.initParam = param;
    d.handle = dialog;
    d.okButton = ok;
    d.hasOwner = owner != nullptr;
    d.rect = GetSetup().dialogRect;
    log.events.push_back("dialog");
    U().dialog = dialog;
    U().queueChecks = 0;
    U().writesSeen = standin::GetCounters().writeSizes.size();

    standin::DeliverToDialog(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(ok), param);
    while (!d.ended) {
        MSG message;
        if (!standin::NextMessage(&message, true)) {
            d.waitedForever = true;
            d.result = -1;
            break;
        }
        if (message.message == WM_QUIT) {  // the dialog ends and leaves the quit for the outer loop
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (message.hwnd == dialog && message.message == WM_KEYDOWN &&
            (message.wParam == VK_RETURN || message.wParam == VK_ESCAPE)) {
            int id = message.wParam == VK_RETURN ? IDOK : IDCANCEL;
            standin::DeliverToDialog(dialog, WM_COMMAND, id, reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
            continue;
        }
        DispatchMessageA(&message);
    }
    standin::CountWriteGap();
    for (StandinWindow& w : U().windows)
        if (w.parent == dialog || &w == dialog) w.alive = false;
    U().dialog = nullptr;
    log.events.push_back("dialog ended " + std::to_string(d.result));
    return d.result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    StandinWindow* w = standin::Find(dialog);
    if (!w || w->kind != StandinWindow::Dialog) return FALSE;
    EditLog().dialog.ended = true;
    EditLog().dialog.result = result;
    return TRUE;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    standin::Setup& setup = GetSetup();
    int answer;
    if (!setup.answers.empty()) {
        answer = setup.answers.front();
        setup.answers.erase(setup.answers.begin());
    } else {
        UINT buttons = type & 0xF;
        answer = buttons == MB_YESNO || buttons == 3 ? IDYES : buttons == 2 ? 3 : buttons == 5 ? 4 : IDOK;
    }
    EditLog().boxes.push_back({text ? text : "", caption ? caption : "", type, answer, owner != nullptr});
    EditLog().events.push_back(std::string("box ") + (caption ? caption : ""));
    return answer;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) {
    StandinWindow* w = standin::Find(window);
    if (!w) return FALSE;
    if (w->kind == StandinWindow::Dialog) EditLog().dialog.windowText = text;
    return TRUE;
}

BOOL SetDlgItemTextA(HWND dialog, int item, LPCSTR text) {
    HWND control = GetDlgItem(dialog, item);
    if (!control) return FALSE;
    if (item == 1001) EditLog().dialog.itemText1001 = text;
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int item) {
    StandinWindow* parent = standin::Find(dialog);
    if (!parent) return nullptr;
    for (StandinWindow& w : U().windows)
        if (w.alive && w.parent == parent && w.id == item) return &w;
    return nullptr;
}

BOOL GetWindowRect(HWND window, RECT* rect) {
    StandinWindow* w = standin::Find(window);
    if (!w || w->kind != StandinWindow::Dialog) return FALSE;
    *rect = EditLog().dialog.rect;
    return TRUE;
}

int GetSystemMetrics(int index) {
    if (index == SM_CXSCREEN) return GetSetup().screenWidth;
    if (index == SM_CYSCREEN) return GetSetup().screenHeight;
    return 0;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
    StandinWindow* w = standin::Find(window);
    if (!w || w->kind != StandinWindow::Dialog) return FALSE;
    standin::DialogLog& d = EditLog().dialog;
    d.rect = RECT{x, y, x + width, y + height};
    d.moves++;
    if (repaint) d.moveAskedForRepaint = true;
    return TRUE;
}

LONG GetWindowLongA(HWND window, int index) {
    StandinWindow* w = standin::Find(window);
    if (!w || w->kind != StandinWindow::Dialog || index != GWL_HINSTANCE) return 0;
    return static_cast<LONG>(reinterpret_cast<intptr_t>(EditLog().dialog.instance));
}

BOOL UpdateWindow(HWND window) {
    StandinWindow* w = standin::Find(window);
    if (!w) return FALSE;
    if (w->kind == StandinWindow::Dialog && w->needsPaint) standin::DeliverToDialog(w, WM_PAINT, 0, 0);
    return TRUE;
}
