// hungscan: lists the top-level windows whose threads do not answer, with the caption of each
// and the full path of the executable that owns it.

#include <windows.h>

#include <iostream>

#include "check_window.h"

int main()
{
    std::cout << "Checking for unresponsive windows..." << std::endl;

    // An enumeration that fails would otherwise leave a transcript that reads as "nothing is
    // hung"; say so, and let a calling script see it in the exit status.
    int status = 0;
    if (!EnumWindows(CheckWindowProc, 0))
    {
        std::cout << "\n!! Error (EnumWindows)" << std::endl;
        status = 1;
    }

    std::cout << "\n\nDone.";

    // std::cin is tied to std::cout, so the trailer is flushed before the wait. On a console the
    // read completes when the user presses Enter; at end of input it returns at once.
    std::cin.get();
    return status;
}
