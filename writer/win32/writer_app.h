// writer_app: CTQZLinkFirmUpdateApp, the writer's application: start-up
// (common controls, COM, the paths, the library), the modal dialog, and
// shut-down in reverse. One object, on the program's main thread.
#pragma once

#include <windows.h>

#include "mfg_lib.h"

class CTQZLinkFirmUpdateApp {
public:
    // Runs the whole program; the process's exit code.
    int Run(HINSTANCE instance);

private:
    // Fixes the four paths; false when a folder is missing or cannot be
    // made, a path is too long, or the script is missing.
    bool InitPaths();

    HINSTANCE m_hInstance = nullptr;
    WriterPaths m_paths;
    CMfgLib m_library;
};
