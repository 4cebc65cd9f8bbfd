// Windows, messages, timers and keys of the portable layer.
//
// Each thread that creates a window has an in-process message queue.
// GetMessageA blocks until a posted message, a needed repaint, a due timer
// (WM_TIMER) or the quit message. Keys arrive as WM_KEYDOWN/WM_KEYUP with
// the virtual-key code in wParam: letters upper-case whatever the Shift
// state, main-row digits as '0'..'9', numeric-pad digits as VK_NUMPAD0 + n,
// Escape 27; auto-repeat as repeated WM_KEYDOWN (lParam bit 30 set on a
// repeat, bit 31 on key-up, repeat count 1). Closing the window posts
// WM_CLOSE, which DefWindowProcA answers by destroying the window, and so
// WM_DESTROY. Minimising gives WM_SIZE with a 0 x 0 client area.
//
// Only the calls and behaviours the program relies on are provided; each
// is described at its declaration. How the window is shown is up to the
// presenting backend linked in (SDL2 for the program, headless for tests).
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
#define SW_HIDE 0
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
#define WM_APP 0x8000  // WM_APP and above: the program's own messages

#define VK_ESCAPE 0x1B

#define SIZE_RESTORED 0
#define SIZE_MINIMIZED 1

// Virtual-key codes beyond letters ('A'..'Z') and main-row digits ('0'..'9').
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_PAUSE 0x13
#define VK_CAPITAL 0x14
#define VK_SPACE 0x20
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_INSERT 0x2D
#define VK_DELETE 0x2E
#define VK_NUMPAD0 0x60  // numeric-pad digits are VK_NUMPAD0 + n
#define VK_MULTIPLY 0x6A
#define VK_ADD 0x6B
#define VK_SUBTRACT 0x6D
#define VK_DECIMAL 0x6E
#define VK_DIVIDE 0x6F
#define VK_F1 0x70  // F1..F12 are VK_F1 + n

typedef WORD ATOM;

// A stand-in instance handle for the running program (never null).
HINSTANCE GetModuleHandleA(LPCSTR module);

// Registers a class by name. Fails (0) when cbSize is wrong, the procedure
// or name is missing, or the name is already registered. Only the name and
// the procedure are used; style, icons, cursor and brush are accepted.
ATOM RegisterClassExA(const WNDCLASSEXA *window_class);

// Creates a top-level window of a registered class, owned by the calling
// thread, hidden until ShowWindow. Its client area is the outer size less a
// standard frame (7 pixels wide, 27 high) and starts white. Before it
// returns, the procedure receives WM_CREATE (lParam 0; a result of -1
// cancels creation) and then WM_SIZE with the client size; the window is
// then marked for a repaint. Returns null when the class is unknown or the
// presenting backend cannot show windows (it says why on standard error).
// The position is a wish the backend passes on to the desktop; styles,
// parent, menu and parameter are accepted and ignored.
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR caption, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
// SW_HIDE (0) hides, anything else shows. Returns whether it was visible.
BOOL ShowWindow(HWND hwnd, int show_command);
// On the owner thread: sends WM_DESTROY to the procedure, then removes the
// window and its timers. Messages still queued for it are dropped by
// DispatchMessageA. Its device context stays a valid handle on which
// drawing does nothing. FALSE for a dead window or another thread's window.
BOOL DestroyWindow(HWND hwnd);
// The window's own device context (CS_OWNDC): the same handle every call,
// valid for the rest of the process. Null for a dead window.
HDC GetDC(HWND hwnd);
// Non-null stock handles for IDI_APPLICATION and IDC_ARROW; null otherwise.
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);

// Takes the next message of the calling thread's queue, blocking while
// there is none. Order: posted and input messages (first in, first out),
// then WM_QUIT once PostQuitMessage was called (result 0, wParam the exit
// code), then WM_PAINT for a window marked by InvalidateRect, then WM_TIMER
// (wParam the timer id) for a timer that is due. As on Windows, a repaint
// that the procedure leaves unvalidated is delivered again at once, ahead of
// any timer.
// `hwnd` non-null takes only that window's messages (and WM_QUIT); the
// message-range filters are ignored. Returns nonzero for any message but
// WM_QUIT.
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filter_min, UINT filter_max);
// Produces no character messages; returns FALSE.
BOOL TranslateMessage(const MSG *msg);
// Calls the procedure of the message's live window and returns its result;
// 0 for a null or dead window.
LRESULT DispatchMessageA(const MSG *msg);
// Default handling: WM_CLOSE destroys the window (so WM_DESTROY follows),
// WM_PAINT validates it; everything else returns 0.
LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// From any thread: queues the message for the window's owner thread and
// wakes it. A null hwnd posts to the calling thread's own queue. FALSE for a
// dead window.
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// A periodic timer on the owner thread's queue: WM_TIMER with wParam `id`
// once per period when due (never queued up; missed periods collapse into
// one). Setting an existing id again restarts it. Needs a live window and no
// callback (0 otherwise). Periods below 10 ms count as 10 ms. Returns id.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT milliseconds, TIMERPROC callback);
// Stops the window's timer `id`; FALSE when there is none.
BOOL KillTimer(HWND hwnd, UINT_PTR id);
// Makes the calling thread's GetMessageA return 0 with this code once its
// posted messages are taken.
void PostQuitMessage(int exit_code);
