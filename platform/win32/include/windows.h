// The part of the Win32 API that hungscan uses, declared for systems without a Windows SDK.
// Types, constants and calling conventions follow the Windows headers; the functions are
// supplied at link time by whichever platform the program is linked with.
#ifndef HUNGSCAN_WIN32_SUBSET_WINDOWS_H
#define HUNGSCAN_WIN32_SUBSET_WINDOWS_H

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
typedef std::uintptr_t DWORD_PTR;
typedef DWORD_PTR *PDWORD_PTR;
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;
typedef char *LPSTR;
typedef void *HANDLE;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define WM_NULL 0x0000
#define SMTO_ABORTIFHUNG 0x0002

#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400

typedef BOOL(CALLBACK *WNDENUMPROC)(HWND, LPARAM);

extern "C" {

// Window manager
BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                   UINT fuFlags, UINT uTimeout, PDWORD_PTR lpdwResult);
BOOL WINAPI IsWindow(HWND hWnd);
int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);

// Processes
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI QueryFullProcessImageNameA(HANDLE hProcess, DWORD dwFlags, LPSTR lpExeName, PDWORD lpdwSize);
}

#endif
