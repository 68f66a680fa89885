#include "tests/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sstream>
#include <stdexcept>

#include "platform/Faults.h"
#if !defined(_WIN32)
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/Host.h"
#endif

namespace fs = std::filesystem;

namespace testing_support {

#if defined(_WIN32)
namespace {
const char* const kJournal = "C:\\mailbale-tests-before.txt";
}
#endif

TestMachine::TestMachine() {
#if defined(_WIN32)
    // On Windows the tests use the real drive C: and registry, so they run only on a machine made
    // for them (the test script's Wine prefix), never on a workstation with a real C:\Vandrel.
    if (!std::getenv("MAILBALE_DISPOSABLE_MACHINE")) {
        throw std::runtime_error("these tests write to C:\\ and the registry: run them only on a disposable machine "
                                 "(set MAILBALE_DISPOSABLE_MACHINE=1)");
    }
#endif
    std::random_device random;
    for (int attempt = 0; root_.empty(); ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("mailbale-test-" + std::to_string(random()));
        if (fs::create_directory(candidate)) root_ = candidate.string();
        if (attempt > 100) throw std::runtime_error("no temporary folder");
    }
    fs::create_directories(root_ + "/drive_c");
#if defined(_WIN32)
    // What a test adds to C:\ goes again at its end. The journal names what was there before the
    // test: when a test died before its end, the next one finds the journal and removes what the
    // dead one left, so no test works on another's files.
    if (fs::exists(kJournal)) {
        std::ifstream in(kJournal);
        for (std::string name; std::getline(in, name);) rootEntries_.push_back(name);
        RemoveNewRootEntries();
        rootEntries_.clear();
    }
    for (const auto& e : fs::directory_iterator("C:\\")) rootEntries_.push_back(e.path().filename().string());
    rootEntries_.push_back(fs::path(kJournal).filename().string());
    std::ofstream journal(kJournal, std::ios::trunc);
    for (const std::string& name : rootEntries_) journal << name << "\n";
#endif
    if (const char* prev = std::getenv("MAILBALE_MACHINE")) {
        previous_ = prev;
        hadPrevious_ = true;
    }
    SetEnv("MAILBALE_MACHINE", root_);
    platform::faults::Clear();
}

TestMachine::~TestMachine() {
    platform::faults::Clear();
    std::error_code ignored;
    // Read-only files made by a test must not keep their folder alive.
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator(); ++it) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
#if defined(_WIN32)
    RemoveNewRootEntries();
    std::system("reg delete \"HKLM\\SOFTWARE\\Data Access Corporation\" /f >NUL 2>&1");
    fs::remove(kJournal, ignored);
#endif
    if (hadPrevious_) SetEnv("MAILBALE_MACHINE", previous_);
    else UnsetEnv("MAILBALE_MACHINE");
}

#if defined(_WIN32)
void TestMachine::RemoveNewRootEntries() const {
    std::error_code ignored;
    for (const auto& e : fs::directory_iterator("C:\\", ignored)) {
        const std::string name = e.path().filename().string();
        if (std::find(rootEntries_.begin(), rootEntries_.end(), name) == rootEntries_.end()) {
            for (auto it = fs::recursive_directory_iterator(e.path(), ignored); it != fs::recursive_directory_iterator(); ++it) {
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            }
            fs::remove_all(e.path(), ignored);
        }
    }
}
#endif

std::string TestMachine::Host(const std::string& relative) const { return root_ + "/" + relative; }

std::string TestMachine::OnC(const std::string& windowsPath) const {
#if defined(_WIN32)
    return windowsPath;
#endif
    std::string rest = windowsPath.substr(2);
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    return root_ + "/drive_c" + rest;
}

void TestMachine::WriteRegistry(const std::string& text) const {
    WriteHostFile(Host("registry.reg"), text);
#if defined(_WIN32)
    // The real registry takes the same file through the registry editor's import.
    std::system("reg delete \"HKLM\\SOFTWARE\\Data Access Corporation\" /f >NUL 2>&1");
    std::system(("reg import \"" + Host("registry.reg") + "\" >NUL 2>&1").c_str());
#endif
}

std::string TestMachine::AddDrive(char letter, bool removable) const {
    const std::string folder = Host(std::string("drives/") + letter);
    fs::create_directories(folder);
    if (removable) WriteHostFile(folder + ".removable", "");
#if !defined(_WIN32)
    platform::host::ForgetDriveFolders();
#endif
    return folder;
}

void WriteHostFile(const std::string& hostPath, const std::string& content) {
    fs::create_directories(fs::path(hostPath).parent_path());
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + hostPath);
}

std::string ReadHostFile(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool HostExists(const std::string& hostPath) { return fs::exists(hostPath); }

std::int64_t HostFileSize(const std::string& hostPath) {
    std::error_code e;
    const auto size = fs::file_size(hostPath, e);
    return e ? -1 : static_cast<std::int64_t>(size);
}

void MakeHostDirs(const std::string& hostPath) { fs::create_directories(hostPath); }

std::string RandomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string out(count, '\0');
    for (char& c : out) c = static_cast<char>(random() & 0xFF);
    return out;
}

bool HaveTool(const std::string& name) { return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0; }

int RunCommand(const std::string& command, std::string* output) {
#if defined(_WIN32)
    // The tools the tests call (zip readers, Python) are the build machine's, not Windows programs.
    (void)command;
    if (output) output->clear();
    return -1;
#else
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

#if defined(_WIN32)
void SetEnv(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }
void UnsetEnv(const std::string& name) { _putenv_s(name.c_str(), ""); }
#else
void SetEnv(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }
void UnsetEnv(const std::string& name) { unsetenv(name.c_str()); }
#endif

std::vector<std::string> HostFolderNames(const std::string& hostPath) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(hostPath)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

#if !defined(_WIN32)
void WithoutRootsReadRight::Set(bool on) {
    struct {
        std::uint32_t version, pid;
    } header{0x20080522, 0};  // _LINUX_CAPABILITY_VERSION_3
    struct {
        std::uint32_t effective, permitted, inheritable;
    } caps[2]{};
    ::syscall(SYS_capget, &header, caps);
    constexpr std::uint32_t kRead = (1u << 1) | (1u << 2);  // CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH
    caps[0].effective = on ? caps[0].effective | (caps[0].permitted & kRead) : caps[0].effective & ~kRead;
    ::syscall(SYS_capset, &header, caps);
}
#endif

}  // namespace testing_support
