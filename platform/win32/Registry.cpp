// The Windows registry, read through the registry functions of the Windows API.
#include "platform/Registry.h"

#include <vector>

#include "platform/win32/WindowsApi.h"

namespace platform {

struct RegKey::Impl {
    HKEY key = nullptr;
    ~Impl() {
        if (key) RegCloseKey(key);
    }
};

RegKey::RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;
RegKey::~RegKey() = default;

bool RegKey::Open(std::uint32_t root, const std::string& path, std::uint32_t access) {
    Close();
    HKEY rootKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
    HKEY key = nullptr;
    if (RegOpenKeyExA(rootKey, path.c_str(), 0, access, &key) != ERROR_SUCCESS) return false;
    impl_ = std::make_unique<Impl>();
    impl_->key = key;
    return true;
}

bool RegKey::Query(const std::string& name, RegValue& value) const {
    if (!impl_) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(impl_->key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    std::vector<BYTE> data(size + 1);
    if (RegQueryValueExA(impl_->key, name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
    value.Type = type;
    value.Data.assign(reinterpret_cast<const char*>(data.data()), size);
    return true;
}

bool RegKey::IsOpen() const { return impl_ != nullptr; }

void RegKey::Close() { impl_.reset(); }

}  // namespace platform
