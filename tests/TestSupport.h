#pragma once
// Helpers shared by the test programs: a throw-away machine folder, host files, external tools.
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A machine folder for one test, named by MAILBALE_MACHINE while the object lives, with drive C:
// (its drive_c folder) and removed with everything in it at the end. Faults are cleared both ways.
// On Windows the machine is the real one: C: is the system's, and what a test adds to its root
// (and to the registry) is removed at the end.
class TestMachine {
public:
    TestMachine();
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    // The host path of a file or folder below the machine folder.
    std::string Host(const std::string& relative) const;
    // The host path of a Windows path on drive C:.
    std::string OnC(const std::string& windowsPath) const;
    void WriteRegistry(const std::string& text) const;
    // Makes drives/<letter> a folder of its own (optionally marked removable) and returns its host path.
    std::string AddDrive(char letter, bool removable = false) const;
    const std::string& Root() const { return root_; }

private:
    void RemoveNewRootEntries() const;

    std::string root_;
    std::vector<std::string> rootEntries_;
    std::string previous_;
    bool hadPrevious_ = false;
};

void WriteHostFile(const std::string& hostPath, const std::string& content);
std::string ReadHostFile(const std::string& hostPath);
bool HostExists(const std::string& hostPath);
std::int64_t HostFileSize(const std::string& hostPath);
void MakeHostDirs(const std::string& hostPath);
// Bytes that deflate cannot shrink.
std::string RandomBytes(std::size_t count, std::uint32_t seed);
// True on the Windows build, where the tests of the Linux backend's emulation do not apply.
#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
#define SKIP_ON_WINDOWS(why) \
    if (::testing_support::kWindows) GTEST_SKIP() << why

// Whether a program is on the PATH.
bool HaveTool(const std::string& name);
// Runs a shell command; returns its exit status and fills output with what it printed.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Sets or clears an environment variable.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);
std::vector<std::string> HostFolderNames(const std::string& hostPath);

#if !defined(_WIN32)
// Takes from the calling thread (and the threads it starts) root's right to read and search any
// folder, for as long as it lives: a folder of mode 0 is then closed to the test as to a user.
class WithoutRootsReadRight {
public:
    WithoutRootsReadRight() { Set(false); }
    ~WithoutRootsReadRight() { Set(true); }
    WithoutRootsReadRight(const WithoutRootsReadRight&) = delete;
    WithoutRootsReadRight& operator=(const WithoutRootsReadRight&) = delete;

private:
    static void Set(bool on);
};
#endif

}  // namespace testing_support
