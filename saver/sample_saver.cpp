/* Sample screen saver: a line of text drifting over a starfield.
 *
 * Command line, as the system's display settings and the installer pass it
 * (letters in either case, '/' or '-', the window number after ':' or a
 * space, decimal):
 *   /s            run full screen until a key, a mouse button or a mouse
 *                 movement of more than a few pixels
 *   /p <hwnd>     draw into the preview window <hwnd> until it is destroyed
 *   /c[:<hwnd>]   show the settings box (owned by <hwnd> when given)
 *   /a[:<hwnd>]   change the password: this saver has none, so it just ends
 *   nothing       the settings box, as for /c
 *
 * Data file. The saver looks for it where an installer of the same name puts
 * it: <Windows directory>\TORVANEK\LUMAVERN\<stem>\<stem>.DAT, <stem> being
 * the saver's own file name without its extension (SAMPLE for SAMPLE.SCR).
 * Without one it draws with its defaults. The file is plain text, read up to
 * its first 4096 bytes, one setting per line:
 *
 *   ; a comment
 *   TEXT=Good night          the drifting text, at most 63 characters
 *   TEXTCOLOR=255,220,120    red, green, blue, each 0 to 255
 *   SKYCOLOR=0,0,24          the background
 *   STARS=200                how many stars, 0 to 1000
 *   SPEED=3                  how fast the stars come closer, 1 to 10
 *
 * Keys are matched without regard to case and may have spaces around them;
 * an unknown key or a value that does not parse is passed over, so a damaged
 * file still gives a saver that runs.
 */
#include <windows.h>
#include <string.h>

namespace {

const char WINDOW_CLASS[] = "SampleSaverWindow";
const char SAVER_NAME[] = "Sample Screen Saver";
const char SETTINGS_CAPTION[] = "Sample Screen Saver Settings";

const int MAX_STARS = 1000;
const int MAX_TEXT = 63;
const int DATA_FILE_LIMIT = 4096;
const int FRAME_MS = 33;
const int MOUSE_SLACK = 4;        // pixels a mouse may move before the saver ends
const int STAR_DEPTH = 1000;      // stars start this far away and come closer
const int BRIGHTNESS_LEVELS = 8;

enum Mode { MODE_SETTINGS, MODE_FULL_SCREEN, MODE_PREVIEW, MODE_PASSWORD };

struct Settings {
    char text[MAX_TEXT + 1];
    COLORREF textColor;
    COLORREF skyColor;
    int stars;
    int speed;
};

struct Star {
    int x, y, z;                  // x and y around the centre, z the depth
};

/* Everything one run of the saver keeps; one window per process. */
struct SaverState {
    Settings settings;
    char dataPath[MAX_PATH];
    int dataFound;
    Mode mode;
    Star stars[MAX_STARS];
    unsigned random;
    int width, height;
    HDC frameDc;
    HBITMAP frameBitmap;
    HBITMAP oldBitmap;
    HFONT font;
    HBRUSH skyBrush;
    HBRUSH starBrushes[BRIGHTNESS_LEVELS];
    int textX, textY, textDx, textDy;
    POINT firstMouse;
    int mouseSeen;
};

SaverState state;

/* ---- command line ---- */

int IsSpace(char c) { return c == ' ' || c == '\t'; }

const char* SkipSpaces(const char* p)
{
    while (IsSpace(*p)) ++p;
    return p;
}

/* Reads the window number that may follow a switch, after ':' or spaces. */
HWND ParseWindow(const char* p)
{
    p = SkipSpaces(p);
    if (*p == ':') p = SkipSpaces(p + 1);
    unsigned long value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 10) {
        value = value * 10 + (unsigned long)(*p - '0');
        ++p;
        ++digits;
    }
    return digits ? (HWND)(ULONG_PTR)value : NULL;
}

/* commandLine is what follows the program's name. */
Mode ParseCommandLine(const char* commandLine, HWND* window)
{
    *window = NULL;
    const char* p = SkipSpaces(commandLine);
    if (*p == '"') p = SkipSpaces(p + 1);
    if (*p != '/' && *p != '-') return MODE_SETTINGS;
    char letter = p[1];
    if (letter >= 'A' && letter <= 'Z') letter = (char)(letter - 'A' + 'a');
    *window = ParseWindow(p + 2);
    switch (letter) {
    case 's': return MODE_FULL_SCREEN;
    case 'p': return *window ? MODE_PREVIEW : MODE_SETTINGS;
    case 'a': return MODE_PASSWORD;
    default: return MODE_SETTINGS;
    }
}

/* ---- data file ---- */

void DefaultSettings(Settings* s)
{
    lstrcpynA(s->text, SAVER_NAME, sizeof s->text);
    s->textColor = RGB(255, 220, 120);
    s->skyColor = RGB(0, 0, 24);
    s->stars = 200;
    s->speed = 3;
}

/* Appends text to a path buffer of MAX_PATH bytes; 0 when it does not fit. */
int AppendPath(char* path, const char* text)
{
    size_t used = strlen(path), more = strlen(text);
    if (used + more >= MAX_PATH) return 0;
    memcpy(path + used, text, more + 1);
    return 1;
}

/* The data file's path for this saver, from its own file name. */
int BuildDataPath(char* path)
{
    char module[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, module, sizeof module);
    if (length == 0 || length >= sizeof module) return 0;
    const char* name = module;
    for (const char* p = module; *p; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    char stem[MAX_PATH];
    lstrcpynA(stem, name, sizeof stem);
    char* dot = strrchr(stem, '.');
    if (dot) *dot = 0;

    UINT dirLength = GetWindowsDirectoryA(path, MAX_PATH);
    if (dirLength == 0 || dirLength >= MAX_PATH) return 0;
    if (path[dirLength - 1] != '\\' && !AppendPath(path, "\\")) return 0;
    return AppendPath(path, "TORVANEK\\LUMAVERN\\") && AppendPath(path, stem)
        && AppendPath(path, "\\") && AppendPath(path, stem) && AppendPath(path, ".DAT");
}

int SameKey(const char* key, size_t length, const char* name)
{
    if (strlen(name) != length) return 0;
    for (size_t i = 0; i < length; ++i) {
        char c = key[i];
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        if (c != name[i]) return 0;
    }
    return 1;
}

/* A decimal number between low and high, alone in the text. */
int ParseNumber(const char* text, size_t length, int low, int high, int* out)
{
    int value = 0;
    size_t i = 0;
    while (i < length && IsSpace(text[i])) ++i;
    size_t start = i;
    while (i < length && text[i] >= '0' && text[i] <= '9' && i - start < 5) value = value * 10 + (text[i++] - '0');
    if (i == start) return 0;
    while (i < length && IsSpace(text[i])) ++i;
    if (i != length || value < low || value > high) return 0;
    *out = value;
    return 1;
}

/* "R,G,B" with each part 0 to 255. */
int ParseColor(const char* text, size_t length, COLORREF* out)
{
    int parts[3];
    size_t start = 0;
    for (int k = 0; k < 3; ++k) {
        size_t end = start;
        while (end < length && text[end] != ',') ++end;
        if ((k < 2) != (end < length)) return 0;
        if (!ParseNumber(text + start, end - start, 0, 255, &parts[k])) return 0;
        start = end + 1;
    }
    *out = RGB(parts[0], parts[1], parts[2]);
    return 1;
}

void ApplySetting(Settings* s, const char* key, size_t keyLength, const char* value, size_t valueLength)
{
    if (SameKey(key, keyLength, "TEXT")) {
        if (valueLength > (size_t)MAX_TEXT) valueLength = MAX_TEXT;
        memcpy(s->text, value, valueLength);
        s->text[valueLength] = 0;
    } else if (SameKey(key, keyLength, "TEXTCOLOR")) {
        ParseColor(value, valueLength, &s->textColor);
    } else if (SameKey(key, keyLength, "SKYCOLOR")) {
        ParseColor(value, valueLength, &s->skyColor);
    } else if (SameKey(key, keyLength, "STARS")) {
        ParseNumber(value, valueLength, 0, MAX_STARS, &s->stars);
    } else if (SameKey(key, keyLength, "SPEED")) {
        ParseNumber(value, valueLength, 1, 10, &s->speed);
    }
}

void ParseSettings(Settings* s, const char* data, size_t size)
{
    size_t line = 0;
    while (line < size) {
        size_t end = line;
        while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
        size_t keyStart = line;
        while (keyStart < end && IsSpace(data[keyStart])) ++keyStart;
        size_t equals = keyStart;
        while (equals < end && data[equals] != '=') ++equals;
        if (keyStart < end && data[keyStart] != ';' && equals < end) {
            size_t keyEnd = equals;
            while (keyEnd > keyStart && IsSpace(data[keyEnd - 1])) --keyEnd;
            size_t valueStart = equals + 1, valueEnd = end;
            while (valueStart < valueEnd && IsSpace(data[valueStart])) ++valueStart;
            while (valueEnd > valueStart && IsSpace(data[valueEnd - 1])) --valueEnd;
            ApplySetting(s, data + keyStart, keyEnd - keyStart, data + valueStart, valueEnd - valueStart);
        }
        line = end + 1;
    }
}

/* Fills the settings from the data file when there is one; 1 if it was read. */
int LoadSettings(Settings* s, char* dataPath)
{
    DefaultSettings(s);
    dataPath[0] = 0;
    if (!BuildDataPath(dataPath)) {
        dataPath[0] = 0;
        return 0;
    }
    HANDLE file = CreateFileA(dataPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 0;
    static char data[DATA_FILE_LIMIT];
    DWORD size = 0;
    BOOL read = ReadFile(file, data, sizeof data, &size, NULL);
    CloseHandle(file);
    if (!read) return 0;
    ParseSettings(s, data, size);
    return 1;
}

/* ---- settings box ---- */

void ShowSettings(HWND owner)
{
    char message[1024];
    const char* found = state.dataFound
        ? "It was read; edit it to change the text, the colours, the number and the speed of the stars."
        : "There is none, so the saver uses its own text and colours.";
    wsprintfA(message,
              "%s\r\n\r\nStars drift past a line of text:\r\n\"%s\"\r\n\r\n"
              "The saver takes its text and colours from its data file:\r\n%s\r\n%s",
              SAVER_NAME, state.settings.text, state.dataPath[0] ? state.dataPath : "(no path)", found);
    MessageBoxA(owner, message, SETTINGS_CAPTION, MB_OK | MB_ICONINFORMATION);
}

/* ---- drawing ---- */

int Random(int range)
{
    state.random = state.random * 1103515245u + 12345u;
    return (int)((state.random >> 8) % (unsigned)range);
}

void PlaceStar(Star* star, int anyDepth)
{
    star->x = Random(2 * STAR_DEPTH) - STAR_DEPTH;
    star->y = Random(2 * STAR_DEPTH) - STAR_DEPTH;
    star->z = anyDepth ? 1 + Random(STAR_DEPTH) : STAR_DEPTH;
}

void ReleaseFrame()
{
    if (state.frameDc) {
        SelectObject(state.frameDc, state.oldBitmap);
        DeleteObject(state.frameBitmap);
        DeleteDC(state.frameDc);
        state.frameDc = NULL;
    }
    if (state.font) {
        DeleteObject(state.font);
        state.font = NULL;
    }
}

HFONT MakeFont(int height)
{
    return CreateFontA(-height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, "Arial");
}

/* The size of the text in the current font, on the frame. */
SIZE TextExtent()
{
    HFONT old = (HFONT)SelectObject(state.frameDc, state.font);
    SIZE extent = { 0, 0 };
    GetTextExtentPoint32A(state.frameDc, state.settings.text, lstrlenA(state.settings.text), &extent);
    SelectObject(state.frameDc, old);
    return extent;
}

/* Makes the off-screen frame and the font for a window of this size. */
void PrepareFrame(HWND window, int width, int height)
{
    ReleaseFrame();
    state.width = width > 0 ? width : 1;
    state.height = height > 0 ? height : 1;
    HDC screen = GetDC(window);
    state.frameDc = CreateCompatibleDC(screen);
    state.frameBitmap = CreateCompatibleBitmap(screen, state.width, state.height);
    state.oldBitmap = (HBITMAP)SelectObject(state.frameDc, state.frameBitmap);
    ReleaseDC(window, screen);

    /* A tenth of the height, made smaller when the text would fill more
     * than nine tenths of the width, so that it has room to drift. */
    int fontHeight = state.height / 10 + 6;
    state.font = MakeFont(fontHeight);
    SIZE extent = TextExtent();
    if (extent.cx > state.width * 9 / 10) {
        DeleteObject(state.font);
        fontHeight = (int)((long long)fontHeight * (state.width * 9 / 10) / extent.cx);
        state.font = MakeFont(fontHeight > 6 ? fontHeight : 6);
    }
    state.textX = state.width / 8;
    state.textY = state.height / 3;
    int step = state.width / 300 + 1;
    state.textDx = step;
    state.textDy = step;
}

void DrawStars()
{
    int cx = state.width / 2, cy = state.height / 2;
    int scale = state.width > state.height ? state.width : state.height;
    for (int i = 0; i < state.settings.stars; ++i) {
        Star* star = &state.stars[i];
        star->z -= state.settings.speed * 4;
        if (star->z <= 0) PlaceStar(star, 0);
        int sx = cx + (int)((long long)star->x * scale / 2 / star->z);
        int sy = cy + (int)((long long)star->y * scale / 2 / star->z);
        if (sx < 0 || sy < 0 || sx >= state.width || sy >= state.height) {
            PlaceStar(star, 0);
            continue;
        }
        int nearness = STAR_DEPTH - star->z;          // 0 far away .. STAR_DEPTH close
        int level = nearness * BRIGHTNESS_LEVELS / (STAR_DEPTH + 1);
        int size = 1 + nearness * 5 / (STAR_DEPTH + 1);
        if (state.width < 320 && size > 1) size = 1 + size / 3;
        RECT dot = { sx, sy, sx + size, sy + size };
        FillRect(state.frameDc, &dot, state.starBrushes[level]);
    }
}

void DrawTitle()
{
    SIZE extent = TextExtent();

    state.textX += state.textDx;
    state.textY += state.textDy;
    if (extent.cx >= state.width) {
        state.textX = (state.width - extent.cx) / 2;     // too wide to drift: centred
    } else if (state.textX < 0 || state.textX + extent.cx > state.width) {
        state.textDx = -state.textDx;
        state.textX = state.textX < 0 ? 0 : state.width - extent.cx;
    }
    if (extent.cy >= state.height) {
        state.textY = (state.height - extent.cy) / 2;
    } else if (state.textY < 0 || state.textY + extent.cy > state.height) {
        state.textDy = -state.textDy;
        state.textY = state.textY < 0 ? 0 : state.height - extent.cy;
    }

    HFONT old = (HFONT)SelectObject(state.frameDc, state.font);
    SetBkMode(state.frameDc, TRANSPARENT);
    SetTextColor(state.frameDc, state.settings.textColor);
    TextOutA(state.frameDc, state.textX, state.textY, state.settings.text, lstrlenA(state.settings.text));
    SelectObject(state.frameDc, old);
}

void DrawFrame()
{
    RECT all = { 0, 0, state.width, state.height };
    FillRect(state.frameDc, &all, state.skyBrush);
    DrawStars();
    DrawTitle();
}

void CreateBrushes()
{
    state.skyBrush = CreateSolidBrush(state.settings.skyColor);
    for (int i = 0; i < BRIGHTNESS_LEVELS; ++i) {
        int v = 128 + i * (255 - 128) / (BRIGHTNESS_LEVELS - 1);
        state.starBrushes[i] = CreateSolidBrush(RGB(v, v, 255 - (255 - v) / 2));
    }
}

void DeleteBrushes()
{
    DeleteObject(state.skyBrush);
    for (int i = 0; i < BRIGHTNESS_LEVELS; ++i) DeleteObject(state.starBrushes[i]);
}

/* ---- window ---- */

LRESULT CALLBACK SaverWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        RECT client;
        GetClientRect(window, &client);
        PrepareFrame(window, client.right, client.bottom);
        SetTimer(window, 1, FRAME_MS, NULL);
        return 0;
    }
    case WM_SIZE:
        PrepareFrame(window, LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        DrawFrame();
        InvalidateRect(window, NULL, FALSE);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        BitBlt(dc, 0, 0, state.width, state.height, state.frameDc, 0, 0, SRCCOPY);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_SETCURSOR:
        if (state.mode == MODE_FULL_SCREEN) {
            SetCursor(NULL);
            return TRUE;
        }
        break;
    case WM_MOUSEMOVE:
        if (state.mode == MODE_FULL_SCREEN) {
            POINT at = { (short)LOWORD(lParam), (short)HIWORD(lParam) };
            if (!state.mouseSeen) {
                state.firstMouse = at;
                state.mouseSeen = 1;
            } else if (abs(at.x - state.firstMouse.x) > MOUSE_SLACK
                       || abs(at.y - state.firstMouse.y) > MOUSE_SLACK) {
                DestroyWindow(window);
            }
        }
        return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_RBUTTONDOWN:
        if (state.mode == MODE_FULL_SCREEN) {
            DestroyWindow(window);
            return 0;
        }
        break;
    case WM_DESTROY:
        KillTimer(window, 1);
        ReleaseFrame();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int RunSaver(HINSTANCE instance, HWND previewParent)
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = SaverWndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassA(&wc)) return 1;

    CreateBrushes();
    for (int i = 0; i < MAX_STARS; ++i) PlaceStar(&state.stars[i], 1);

    HWND window;
    if (previewParent) {
        RECT area;
        GetClientRect(previewParent, &area);
        window = CreateWindowExA(0, WINDOW_CLASS, SAVER_NAME, WS_CHILD | WS_VISIBLE,
                                 0, 0, area.right, area.bottom, previewParent, NULL, instance, NULL);
    } else {
        window = CreateWindowExA(WS_EX_TOPMOST, WINDOW_CLASS, SAVER_NAME, WS_POPUP | WS_VISIBLE,
                                 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                 NULL, NULL, instance, NULL);
    }
    if (!window) {
        DeleteBrushes();
        return 1;
    }
    if (!previewParent) SetForegroundWindow(window);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DeleteBrushes();
    return 0;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int);

/* The entry point: the saver links no C runtime (retail Windows 95 has no
 * msvcrt.dll), so it finds its own arguments, after its program name,
 * quoted or not. */
extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup(void)
{
    char* p = GetCommandLineA();
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p) ++p;
    } else {
        while (*p && !IsSpace(*p)) ++p;
    }
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, (LPSTR)SkipSpaces(p), SW_SHOWDEFAULT));
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    HWND window;
    state.mode = ParseCommandLine(commandLine ? commandLine : "", &window);
    state.random = GetTickCount() | 1;
    state.dataFound = LoadSettings(&state.settings, state.dataPath);

    switch (state.mode) {
    case MODE_FULL_SCREEN:
        return RunSaver(instance, NULL);
    case MODE_PREVIEW:
        return IsWindow(window) ? RunSaver(instance, window) : 1;
    case MODE_PASSWORD:
        return 0;
    case MODE_SETTINGS:
        break;
    }
    ShowSettings(window && IsWindow(window) ? window : NULL);
    return 0;
}
