#pragma once
// The Windows registry: keys opened with an access mask, values read with their type.
// `TRegistry` is the accessor the job uses; the backend supplies the raw key operations.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Exception.h"

namespace platform {

inline constexpr std::uint32_t HKEY_LOCAL_MACHINE_ID = 0x80000002;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0xF003F;
inline constexpr std::uint32_t KEY_READ = 0x20019;

enum RegValueType : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
};

struct RegValue {
    std::uint32_t Type = REG_NONE;
    std::string Data;  // the stored bytes; strings in the ANSI code page, with their zero ends
};

// An open registry key; closed when the handle goes.
class RegKey {
public:
    RegKey();
    RegKey(RegKey&&) noexcept;
    RegKey& operator=(RegKey&&) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();

    // Opens path below root with access without creating it. False when the key does not exist
    // or may not be opened so. Raises ERegistryException when the registry itself cannot be read.
    bool Open(std::uint32_t root, const std::string& path, std::uint32_t access);
    // Reads a value; false when it does not exist.
    bool Query(const std::string& name, RegValue& value) const;
    bool IsOpen() const;
    void Close();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform

class ERegistryException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ERegistryException"; }
};

// A registry accessor with a root key and an access mask, reading string values.
class TRegistry {
public:
    explicit TRegistry(std::uint32_t access = platform::KEY_ALL_ACCESS) : access_(access) {}

    std::uint32_t RootKey = platform::HKEY_LOCAL_MACHINE_ID;

    // Opens key (a leading backslash makes it absolute). canCreate is not supported here: the
    // program never creates keys, so asking for it raises. Returns whether the key opened.
    bool OpenKey(const std::string& key, bool canCreate);
    // A string or expandable-string value, up to its first zero byte; empty when the value is
    // missing. A value of any other type raises ERegistryException "Invalid data type for '<name>'".
    std::string ReadString(const std::string& name);
    void CloseKey();

private:
    std::uint32_t access_;
    platform::RegKey key_;
};
