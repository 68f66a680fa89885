#include "platform/Registry.h"

#include "platform/Format.h"

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    if (canCreate) throw ERegistryException(Format("Failed to create key %s", key.c_str()));
    CloseKey();
    std::string path = key;
    if (!path.empty() && path.front() == '\\') path.erase(0, 1);
    return key_.Open(RootKey, path, access_);
}

std::string TRegistry::ReadString(const std::string& name) {
    platform::RegValue value;
    if (!key_.IsOpen() || !key_.Query(name, value)) return std::string();
    if (value.Type != platform::REG_SZ && value.Type != platform::REG_EXPAND_SZ) {
        throw ERegistryException(Format("Invalid data type for '%s'", name.c_str()));
    }
    const std::size_t zero = value.Data.find('\0');
    return zero == std::string::npos ? value.Data : value.Data.substr(0, zero);
}

void TRegistry::CloseKey() { key_.Close(); }
