/* winprobe: looks at the windows of a running Wine session from inside it.
 *
 * The end-to-end harness runs this console program in the same prefix (and so
 * under the same wineserver) as the program under test, because X11 only
 * knows the top-level windows and their captions: the text of a message box,
 * the items of a dialog and the process behind a window are visible only to
 * a Win32 program.
 *
 *   winprobe windows
 *       One line per visible top-level window:
 *         W <hwnd> <pid> <X window> <class> <caption> <image of its process>
 *       followed by one line per child window:
 *         C <hwnd> <id> <1 if visible, else 0> <class> <text>
 *       The X window is the number that xdotool knows the window by (0 when
 *       Wine has given it none). Fields are separated by a tab; tab, CR, LF, backslash and bytes
 *       outside printable ASCII are written as \t \r \n \\ and \xHH, so the
 *       reader gets the ANSI text back byte for byte.
 *
 *   winprobe preview <program> <milliseconds>
 *       Makes a 152 x 112 window at (40, 40) of the screen, starts
 *       "<program> /p <hwnd>", waits for a child window to appear in it,
 *       lets it draw for the given time, destroys the host window and waits
 *       for the program to end. Prints
 *         child <class> <width>x<height>     (as soon as it appears)
 *         exit <exit code>
 *       and exits 0 when both happened, 1 otherwise. The child belongs to
 *       another process, whose drawing this process cannot read back: the
 *       harness takes a screenshot while the preview runs.
 *
 *   winprobe command <hwnd> <id>
 *       Posts the window (a message box) the command of its button id, as a
 *       click on it would: a key goes only to the window that has the
 *       focus, and with the windows of several programs up it may not.
 *
 *   winprobe dialog <hwnd>
 *       Measures a dialog of another process from inside that process, as
 *       it sees itself: a control's font is a handle of its own process,
 *       and its DPI awareness decides the pixels it gets. winprobe-hook.dll
 *       (this file built with WINPROBE_HOOK) is hooked into the dialog's
 *       thread, which writes:
 *         version <major>.<minor>    (GetVersion, as the process is told)
 *         screen <width> <height> <dpi>
 *         window <left> <top> <width> <height>
 *       and one line per static control:
 *         S <id> <width> <height> <text width> <text height> <text>
 *       The size is the control's client area; the text is measured on one
 *       line in the control's own font (WM_GETFONT). This prints what it
 *       wrote and exits 0, or 1 when the hook could not run.
 *
 *   winprobe hold <file> <seconds>
 *       Opens the file for reading, sharing reading and writing but not
 *       deletion, as a program that uses it does; prints "held" once it is
 *       open and keeps it open for the given time. Exits 1 when the file
 *       cannot be opened.
 *
 *   winprobe load <file> <seconds>
 *       Maps the file as an executable image (LoadLibraryExA), as a running
 *       program's file is: it can then be renamed but not deleted. Prints
 *       "held" once it is mapped and keeps it for the given time. Exits 1
 *       when the file cannot be mapped.
 */
#define _WIN32_WINNT 0x0600
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

/* Sent to the dialog, with the probe's process id as wParam: the hook
 * measures it into winprobe-<id>.out beside the hook's DLL. */
#define MEASURE_MESSAGE "WinProbeMeasureDialog"
#define HOOK_DLL "winprobe-hook.dll"

static void WriteEscaped(FILE* out, const char* text)
{
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        switch (*p) {
        case '\t': fputs("\\t", out); break;
        case '\r': fputs("\\r", out); break;
        case '\n': fputs("\\n", out); break;
        case '\\': fputs("\\\\", out); break;
        default:
            if (*p < 0x20 || *p > 0x7e) fprintf(out, "\\x%02x", *p);
            else fputc(*p, out);
        }
    }
}

/* The file beside this module (the probe or its hook) called name. */
static void BesideModule(HMODULE module, const char* name, char* path, DWORD size)
{
    DWORD length = GetModuleFileNameA(module, path, size);
    char* slash = strrchr(path, '\\');
    if (length == 0 || length >= size || !slash || strlen(name) >= size - (DWORD)(slash + 1 - path)) {
        path[0] = 0;
        return;
    }
    strcpy(slash + 1, name);
}

#ifdef WINPROBE_HOOK

static HINSTANCE hookModule;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) hookModule = instance;
    return TRUE;
}

static void MeasureStatic(FILE* out, HWND control)
{
    char text[2048];
    RECT r;
    SIZE extent = {0, 0};
    GetWindowTextA(control, text, sizeof text);
    GetClientRect(control, &r);
    HDC dc = GetDC(control);
    HFONT font = (HFONT)SendMessageA(control, WM_GETFONT, 0, 0);
    /* No font of its own: the control draws in the system font. */
    HGDIOBJ old = SelectObject(dc, font ? (HGDIOBJ)font : GetStockObject(SYSTEM_FONT));
    GetTextExtentPoint32A(dc, text, (int)strlen(text), &extent);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    fprintf(out, "S\t%ld\t%ld\t%ld\t%ld\t%ld\t", (long)GetDlgCtrlID(control), (long)r.right, (long)r.bottom,
            (long)extent.cx, (long)extent.cy);
    WriteEscaped(out, text);
    fputc('\n', out);
}

static void MeasureDialog(FILE* out, HWND dialog)
{
    RECT r;
    HDC dc = GetDC(dialog);
    GetWindowRect(dialog, &r);
    DWORD version = GetVersion();
    fprintf(out, "version\t%lu.%lu\n", (unsigned long)(version & 0xFF), (unsigned long)(version >> 8 & 0xFF));
    fprintf(out, "screen\t%d\t%d\t%d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
            GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(dialog, dc);
    fprintf(out, "window\t%ld\t%ld\t%ld\t%ld\n", (long)r.left, (long)r.top, (long)(r.right - r.left),
            (long)(r.bottom - r.top));
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64];
        GetClassNameA(child, cls, sizeof cls);
        if (_stricmp(cls, "static") == 0) MeasureStatic(out, child);
    }
}

/* Runs in the thread of the dialog's process that is hooked. */
__declspec(dllexport) LRESULT CALLBACK MeasureHook(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT* call = (const CWPSTRUCT*)lParam;
    if (code == HC_ACTION && call->message == RegisterWindowMessageA(MEASURE_MESSAGE)) {
        char name[64], path[MAX_PATH], partial[MAX_PATH + 8];
        snprintf(name, sizeof name, "winprobe-%lu.out", (unsigned long)call->wParam);
        BesideModule(hookModule, name, path, sizeof path);
        snprintf(partial, sizeof partial, "%s.part", path);
        FILE* out = path[0] ? fopen(partial, "w") : NULL;
        if (out) {
            MeasureDialog(out, call->hwnd);
            fclose(out);
            MoveFileExA(partial, path, MOVEFILE_REPLACE_EXISTING);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

#else

static void PutEscaped(const char* text)
{
    WriteEscaped(stdout, text);
}

static void ImagePathOf(DWORD pid, char* out, DWORD size)
{
    out[0] = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return;
    if (!QueryFullProcessImageNameA(process, 0, out, &size)) out[0] = 0;
    CloseHandle(process);
}

static BOOL CALLBACK ListChild(HWND child, LPARAM unused)
{
    (void)unused;
    char cls[256], text[2048];
    GetClassNameA(child, cls, sizeof cls);
    /* For a window of another process this reads the text the system keeps
     * for it, without sending a message: a busy program cannot block it. */
    GetWindowTextA(child, text, sizeof text);
    printf("C\t%lx\t%ld\t%d\t", (unsigned long)(ULONG_PTR)child, (long)GetDlgCtrlID(child),
           IsWindowVisible(child) ? 1 : 0);
    PutEscaped(cls);
    putchar('\t');
    PutEscaped(text);
    putchar('\n');
    return TRUE;
}

static BOOL CALLBACK ListTopLevel(HWND window, LPARAM unused)
{
    (void)unused;
    if (!IsWindowVisible(window)) return TRUE;
    char cls[256], caption[2048], image[MAX_PATH];
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, caption, sizeof caption);
    ImagePathOf(pid, image, sizeof image);
    /* Wine's X11 driver keeps the window's X id in this property. */
    unsigned long xid = (unsigned long)(ULONG_PTR)GetPropA(window, "__wine_x11_whole_window");
    printf("W\t%lx\t%lu\t%lu\t", (unsigned long)(ULONG_PTR)window, (unsigned long)pid, xid);
    PutEscaped(cls);
    putchar('\t');
    PutEscaped(caption);
    putchar('\t');
    PutEscaped(image);
    putchar('\n');
    EnumChildWindows(window, ListChild, 0);
    return TRUE;
}

static LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

/* Runs the messages of this thread for about ms milliseconds. */
static void PumpFor(DWORD ms)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(20);
    }
}

static int Preview(const char* program, DWORD showMs)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hbrBackground = (HBRUSH)GetStockObject(LTGRAY_BRUSH);
    wc.lpszClassName = "WinProbePreviewHost";
    RegisterClassA(&wc);
    HWND host = CreateWindowExA(0, wc.lpszClassName, "Preview host",
                                WS_POPUP | WS_VISIBLE, 40, 40, 152, 112,
                                NULL, NULL, wc.hInstance, NULL);
    if (!host) { puts("no host window"); return 1; }

    char command[MAX_PATH + 64];
    snprintf(command, sizeof command, "\"%s\" /p %lu", program, (unsigned long)(ULONG_PTR)host);
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        printf("cannot start %s\n", command);
        return 1;
    }

    HWND child = NULL;
    for (int i = 0; i < 500 && !child; ++i) {
        PumpFor(20);
        child = GetWindow(host, GW_CHILD);
    }
    int ok = child != NULL;
    if (child) {
        char cls[256];
        RECT r;
        GetClassNameA(child, cls, sizeof cls);
        GetClientRect(child, &r);
        printf("child\t");
        PutEscaped(cls);
        printf("\t%ldx%ld\n", (long)r.right, (long)r.bottom);
        fflush(stdout);
        PumpFor(showMs);
    } else {
        puts("child\tnone");
    }

    DestroyWindow(host);
    DWORD code = STILL_ACTIVE;
    for (int i = 0; i < 500; ++i) {
        PumpFor(20);
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
    }
    GetExitCodeProcess(pi.hProcess, &code);
    if (code == STILL_ACTIVE) {
        puts("exit\tstill running");
        TerminateProcess(pi.hProcess, 99);
        ok = 0;
    } else {
        printf("exit\t%lu\n", (unsigned long)code);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    fflush(stdout);
    return ok ? 0 : 1;
}

static int MeasureDialog(HWND dialog)
{
    char dll[MAX_PATH], name[64], path[MAX_PATH];
    DWORD thread = GetWindowThreadProcessId(dialog, NULL);
    BesideModule(NULL, HOOK_DLL, dll, sizeof dll);
    HMODULE module = dll[0] ? LoadLibraryA(dll) : NULL;
    HOOKPROC hook = module ? (HOOKPROC)(void*)GetProcAddress(module, "MeasureHook@12") : NULL;
    if (!hook) {
        printf("no hook in %s\n", dll);
        return 1;
    }
    snprintf(name, sizeof name, "winprobe-%lu.out", (unsigned long)GetCurrentProcessId());
    BesideModule(module, name, path, sizeof path);
    DeleteFileA(path);
    HHOOK installed = thread ? SetWindowsHookExA(WH_CALLWNDPROC, hook, module, thread) : NULL;
    if (!installed) {
        printf("cannot hook thread %lu: error %lu\n", (unsigned long)thread, (unsigned long)GetLastError());
        return 1;
    }
    DWORD_PTR ignored;
    SendMessageTimeoutA(dialog, RegisterWindowMessageA(MEASURE_MESSAGE), GetCurrentProcessId(), 0, SMTO_NORMAL,
                        30000, &ignored);
    UnhookWindowsHookEx(installed);
    FILE* in = fopen(path, "r");
    if (!in) {
        printf("the hook wrote nothing to %s\n", path);
        return 1;
    }
    char line[4096];
    while (fgets(line, sizeof line, in)) fputs(line, stdout);
    fclose(in);
    DeleteFileA(path);
    fflush(stdout);
    return 0;
}

/* winprobe hold, or with asImage winprobe load. */
static int Hold(const char* path, DWORD seconds, BOOL asImage)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    HMODULE image = NULL;
    if (asImage)
        image = LoadLibraryExA(path, NULL, 0);
    else
        file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (asImage ? !image : file == INVALID_HANDLE_VALUE) {
        printf("cannot %s %s: error %lu\n", asImage ? "map" : "open", path, (unsigned long)GetLastError());
        return 1;
    }
    puts("held");
    fflush(stdout);
    Sleep(seconds * 1000);
    if (asImage)
        FreeLibrary(image);
    else
        CloseHandle(file);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "windows") == 0) {
        EnumWindows(ListTopLevel, 0);
        fflush(stdout);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "preview") == 0) return Preview(argv[2], (DWORD)strtoul(argv[3], NULL, 10));
    if (argc == 4 && strcmp(argv[1], "command") == 0) {
        HWND window = (HWND)(ULONG_PTR)strtoul(argv[2], NULL, 16);
        return PostMessageA(window, WM_COMMAND, MAKEWPARAM(atoi(argv[3]), BN_CLICKED), 0) ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "dialog") == 0)
        return MeasureDialog((HWND)(ULONG_PTR)strtoul(argv[2], NULL, 16));
    if (argc == 4 && (strcmp(argv[1], "hold") == 0 || strcmp(argv[1], "load") == 0))
        return Hold(argv[2], (DWORD)strtoul(argv[3], NULL, 10), argv[1][0] == 'l');
    fputs("usage: winprobe windows | preview PROGRAM MILLISECONDS | command HWND ID | dialog HWND\n"
          "       winprobe hold FILE SECONDS | load FILE SECONDS\n",
          stderr);
    return 2;
}

#endif
