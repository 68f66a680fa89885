#pragma once
// Internals of the Linux backend: the machine folder, the drive mapping and the host encodings.
// A Windows path of the program maps to a host path through the drive's host folder; each
// component is looked up without regard to case when the exact name does not exist.
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "platform/Exception.h"

namespace platform::host {

// The folder that holds the emulated machine's state (MAILBALE_MACHINE, else ~/.mailbale).
std::string MachineFolder();
// The host folder of a drive letter; empty when the machine has no such drive.
std::string DriveFolder(char letter);
// Forgets the drive folders found so far (for a machine folder that gained a drive).
void ForgetDriveFolders();
// Where a Windows path leads on the host.
struct HostFile {
    std::string path;          // the host path; empty when it names nothing a file could be made at
    bool exists = false;       // something is there; st describes it (links followed; a link
                               // that leads nowhere is described as the link itself)
    struct stat st {};
    OsError error = OsError::None;  // why not: FileNotFound (its folder exists), PathNotFound, InvalidName
};
// Resolves a Windows path (made absolute first): the exact name when it exists, else each missing
// component matched without regard to case.
HostFile Lookup(const std::string& windowsPath);
// The host path of a Windows path; empty when no drive, a UNC name or a missing folder.
std::string ToHost(const std::string& windowsPath);
// The Windows path of a host path through the drive whose folder holds it (longest match), else Z:.
std::string FromHost(const std::string& hostPath);

// Parses the text of a registry file as the registry reads it; raises ERegistryException naming
// the file and the line when it is malformed.
void ParseRegistryFile(const std::string& fileName, const std::string& bytes);

std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);
std::u32string Utf8ToUnicode(std::string_view text);
std::string UnicodeToAnsi(const std::u32string& text);
std::string UnicodeToUtf8(const std::u32string& text);

}  // namespace platform::host
