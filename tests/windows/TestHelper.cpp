// A second Windows process for the tests of the Windows program, doing what a user or another
// program would do to it:
//   test_helper console-event c|break|close WAIT_PATH PROGRAM
//       starts PROGRAM (with this process's standard handles and environment), waits until WAIT_PATH
//       exists, then hands PROGRAM the console event Ctrl+C, Ctrl+Break or "console closed" the way
//       Windows delivers one: a thread started in the process at the system's control routine.
//       Exits with PROGRAM's exit status.
//   test_helper hold PATH none|read READY_PATH STOP_PATH
//       opens PATH allowing no sharing, or sharing for reading only, creates READY_PATH, and holds
//       the file until STOP_PATH exists (at most two minutes).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool WaitFor(const char* path, DWORD milliseconds, HANDLE process = nullptr) {
    for (DWORD waited = 0; waited < milliseconds; waited += 10) {
        if (Exists(path)) return true;
        if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return false;
        Sleep(10);
    }
    return false;
}

int ConsoleEvent(const char* which, const char* waitPath, const char* program) {
    DWORD event = CTRL_C_EVENT;
    if (!std::strcmp(which, "break")) event = CTRL_BREAK_EVENT;
    else if (!std::strcmp(which, "close")) event = CTRL_CLOSE_EVENT;
    else if (std::strcmp(which, "c") != 0) return 64;
    std::string command = std::string("\"") + program + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "test_helper: cannot start %s (%lu)\n", program, GetLastError());
        return 65;
    }
    if (!WaitFor(waitPath, 120000, process.hProcess)) {
        std::fprintf(stderr, "test_helper: %s never appeared\n", waitPath);
        TerminateProcess(process.hProcess, 66);
        return 66;
    }
    // Windows delivers a console event by starting a thread in the process at this routine, which
    // calls the process's control handlers; the routine lies at the same address in every process.
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
    HANDLE thread = routine ? CreateRemoteThread(process.hProcess, nullptr, 0, routine,
                                                 reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(event)), 0, nullptr)
                            : nullptr;
    if (!thread) {
        std::fprintf(stderr, "test_helper: cannot deliver the event (%lu)\n", GetLastError());
        TerminateProcess(process.hProcess, 67);
        return 67;
    }
    CloseHandle(thread);
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "test_helper: the program did not end\n");
        TerminateProcess(process.hProcess, 68);
        return 68;
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}

int Hold(const char* path, const char* share, const char* readyPath, const char* stopPath) {
    const DWORD shareMode = std::strcmp(share, "read") == 0 ? FILE_SHARE_READ : 0;
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, shareMode, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "test_helper: cannot open %s (%lu)\n", path, GetLastError());
        return 65;
    }
    HANDLE ready = CreateFileA(readyPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    WaitFor(stopPath, 120000);
    CloseHandle(file);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && !std::strcmp(argv[1], "console-event")) return ConsoleEvent(argv[2], argv[3], argv[4]);
    if (argc == 6 && !std::strcmp(argv[1], "hold")) return Hold(argv[2], argv[3], argv[4], argv[5]);
    std::fprintf(stderr, "usage: test_helper console-event c|break|close WAIT_PATH PROGRAM\n"
                         "       test_helper hold PATH none|read READY_PATH STOP_PATH\n");
    return 64;
}
