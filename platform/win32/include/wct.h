// Wait Chain Traversal's types, declared for systems without a Windows SDK. The functions live
// in advapi32.dll and are looked up at run time, as are the security calls of the token that
// the chains need (OpenProcessToken, LookupPrivilegeValueA, AdjustTokenPrivileges) and COM's
// two state calls in ole32.dll.
#ifndef HUNGSCAN_WIN32_SUBSET_WCT_H
#define HUNGSCAN_WIN32_SUBSET_WCT_H

#include <windows.h>

typedef LPVOID HWCT;

#define WCT_MAX_NODE_COUNT 16
#define WCT_OBJNAME_LENGTH 128
#define WCT_ASYNC_OPEN_FLAG 0x1
#define WCT_OUT_OF_PROC_FLAG 0x1
#define WCT_OUT_OF_PROC_COM_FLAG 0x2
#define WCT_OUT_OF_PROC_CS_FLAG 0x4

typedef enum _WCT_OBJECT_TYPE
{
    WctCriticalSectionType = 1,
    WctSendMessageType,
    WctMutexType,
    WctAlpcType,
    WctComType,
    WctThreadWaitType,
    WctProcessWaitType,
    WctThreadType,
    WctComActivationType,
    WctUnknownType,
    WctSocketIoType,
    WctSmbIoType,
    WctMaxType
} WCT_OBJECT_TYPE;

typedef enum _WCT_OBJECT_STATUS
{
    WctStatusNoAccess = 1,
    WctStatusRunning,
    WctStatusBlocked,
    WctStatusPidOnly,
    WctStatusPidOnlyRpcss,
    WctStatusOwned,
    WctStatusNotOwned,
    WctStatusAbandoned,
    WctStatusUnknown,
    WctStatusError,
    WctStatusMax
} WCT_OBJECT_STATUS;

struct WCT_LOCK_OBJECT
{
    WCHAR ObjectName[WCT_OBJNAME_LENGTH];
    std::int64_t Timeout;
    BOOL Alertable;
};

struct WCT_THREAD_OBJECT
{
    DWORD ProcessId;
    DWORD ThreadId;
    DWORD WaitTime;
    DWORD ContextSwitches;
};

typedef struct _WAITCHAIN_NODE_INFO
{
    WCT_OBJECT_TYPE ObjectType;
    WCT_OBJECT_STATUS ObjectStatus;
    union {
        WCT_LOCK_OBJECT LockObject;
        WCT_THREAD_OBJECT ThreadObject;
    };
} WAITCHAIN_NODE_INFO, *PWAITCHAIN_NODE_INFO;

typedef void(CALLBACK *PWAITCHAINCALLBACK)(HWCT WctHandle, DWORD_PTR Context, DWORD CallbackStatus, LPDWORD NodeCount,
                                          PWAITCHAIN_NODE_INFO NodeInfoArray, LPBOOL IsCycle);

// What RegisterWaitChainCOMCallback takes: the addresses of ole32's CoGetCallState and
// CoGetActivationState, which the program only hands on and never calls (their arguments are
// Wait Chain Traversal's business).
typedef LPVOID(WINAPI *PCOGETCALLSTATE)();
typedef LPVOID(WINAPI *PCOGETACTIVATIONSTATE)();

#endif
