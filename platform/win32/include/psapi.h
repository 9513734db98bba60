// The process status calls hungscan uses, declared for systems without a Windows SDK.
#ifndef HUNGSCAN_WIN32_SUBSET_PSAPI_H
#define HUNGSCAN_WIN32_SUBSET_PSAPI_H

#include <windows.h>

extern "C" {
DWORD WINAPI GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD WINAPI GetModuleFileNameExW(HANDLE hProcess, HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
}

#endif
