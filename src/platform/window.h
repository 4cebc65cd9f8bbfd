// Windows, messages, timers and keys of the portable layer.
//
// Each thread that creates a window has an in-process message queue.
// GetMessageA blocks until a posted message, a needed repaint, a due timer
// (WM_TIMER) or the quit message. Keys arrive as virtual-key codes: letters
// upper-case, main-row digits as '0'..'9', Escape 27, auto-repeat as
// repeated WM_KEYDOWN. Closing the window goes to DefWindowProcA, which
// destroys it and so sends WM_DESTROY.
#pragma once

#include "platform/types.h"

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG *LPMSG;

#define CS_DBLCLKS 0x0008
#define CS_OWNDC 0x0020
#define COLOR_WINDOW 5
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define WS_EX_OVERLAPPEDWINDOW 0x00000300L
#define SW_SHOW 5
#define SW_SHOWNORMAL 1
#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)((WORD)(i)))
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define LOWORD(l) ((WORD)(((uintptr_t)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((uintptr_t)(l)) >> 16) & 0xffff))

#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SIZE 0x0005
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_TIMER 0x0113

#define VK_ESCAPE 0x1B

typedef WORD ATOM;

ATOM RegisterClassExA(const WNDCLASSEXA *window_class);
// Creates the window; its client area is the outer size less a standard
// frame (7 pixels wide, 27 high). Sends WM_CREATE, then WM_SIZE.
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR caption, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL ShowWindow(HWND hwnd, int show_command);
BOOL DestroyWindow(HWND hwnd);
HDC GetDC(HWND hwnd);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT milliseconds, TIMERPROC callback);
void PostQuitMessage(int exit_code);
