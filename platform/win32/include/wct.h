// Wait Chain Traversal's types, declared for systems without a Windows SDK. The functions live
// in advapi32.dll and are looked up at run time.
#ifndef HUNGSCAN_WIN32_SUBSET_WCT_H
#define HUNGSCAN_WIN32_SUBSET_WCT_H

#include <windows.h>

typedef LPVOID HWCT;

#define WCT_MAX_NODE_COUNT 16
#define WCT_OBJNAME_LENGTH 128
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

#endif
