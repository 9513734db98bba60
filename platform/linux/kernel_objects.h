// What a HANDLE stands for on this platform: a process, an event, a thread or a standard stream,
// each an object of its own kind that CloseHandle knows how to release.
#ifndef HUNGSCAN_LINUX_KERNEL_OBJECTS_H
#define HUNGSCAN_LINUX_KERNEL_OBJECTS_H

#include <windows.h>

namespace hungscan_linux {

struct KernelObject
{
    virtual ~KernelObject() = default;
};

// The object behind a handle, if it is of kind T.
template <typename T> T *HandleAs(HANDLE handle)
{
    return handle == NULL || handle == INVALID_HANDLE_VALUE ? nullptr
                                                           : dynamic_cast<T *>(static_cast<KernelObject *>(handle));
}

inline HANDLE ToHandle(KernelObject *object)
{
    return static_cast<HANDLE>(object);
}

// A window system that has gone for good is to this program what a closed console is to a
// Windows one: the handlers set with SetConsoleCtrlHandler hear of it as CTRL_CLOSE_EVENT.
void RaiseConsoleClose();

} // namespace hungscan_linux

#endif
