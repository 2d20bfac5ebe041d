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
 *   winprobe hold <file> <seconds>
 *       Opens the file for reading, sharing reading and writing but not
 *       deletion, as a program that uses it does; prints "held" once it is
 *       open and keeps it open for the given time. Exits 1 when the file
 *       cannot be opened.
 */
#define _WIN32_WINNT 0x0600
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

static void PutEscaped(const char* text)
{
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        switch (*p) {
        case '\t': fputs("\\t", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        default:
            if (*p < 0x20 || *p > 0x7e) printf("\\x%02x", *p);
            else putchar(*p);
        }
    }
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

static int Hold(const char* path, DWORD seconds)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("cannot open %s: error %lu\n", path, (unsigned long)GetLastError());
        return 1;
    }
    puts("held");
    fflush(stdout);
    Sleep(seconds * 1000);
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
    if (argc == 4 && strcmp(argv[1], "hold") == 0) return Hold(argv[2], (DWORD)strtoul(argv[3], NULL, 10));
    fputs("usage: winprobe windows | preview PROGRAM MILLISECONDS | command HWND ID | hold FILE SECONDS\n", stderr);
    return 2;
}
