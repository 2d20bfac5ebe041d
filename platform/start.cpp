/* Entry point of the installer executables, which link without the C
 * runtime's start-up code: WinMain's result is the process exit code. The
 * installer reads no arguments, so WinMain is given an empty command line. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup(void) {
    static char noArguments[1];
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, noArguments, SW_SHOWDEFAULT));
}
