// The registry of the emulated machine: HKEY_LOCAL_MACHINE read from registry.reg in the machine
// folder, in the text format the Windows registry editor exports.
#include "platform/Registry.h"

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Format.h"
#include "platform/posix/Host.h"

namespace platform {
namespace {

// UTF-16LE bytes from offset start as code points (each unit taken on its own).
std::u32string Utf16Units(const std::string& bytes, std::size_t start) {
    std::u32string wide;
    for (std::size_t i = start; i + 1 < bytes.size(); i += 2) {
        wide += static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return wide;
}

struct Key {
    std::map<std::string, RegValue> values;  // by upper-cased name; "" is the default value
};

struct Hive {
    std::map<std::string, Key> keys;  // by upper-cased full path below the root
};

class Parser {
public:
    Parser(std::string file, std::string text) : file_(std::move(file)), text_(std::move(text)) {}

    Hive Parse() {
        std::vector<std::pair<int, std::string>> lines = LogicalLines();
        bool headerSeen = false;
        std::string currentKey;
        bool inKey = false;
        bool keyIgnored = false;
        std::string root;
        for (auto& [number, line] : lines) {
            line_ = number;
            const std::string trimmed = Trim(line);
            if (trimmed.empty() || trimmed.front() == ';') continue;
            if (!headerSeen) {
                if (trimmed == "Windows Registry Editor Version 5.00") unicode_ = true;
                else if (trimmed == "REGEDIT4") unicode_ = false;
                else Fail("the first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
                headerSeen = true;
                continue;
            }
            if (trimmed.front() == '[') {
                const std::size_t close = trimmed.rfind(']');
                if (close == std::string::npos) Fail("a key name lacks its closing bracket");
                std::string name = Text(trimmed.substr(1, close - 1));
                const bool remove = !name.empty() && name.front() == '-';
                if (remove) name.erase(0, 1);
                const std::size_t slash = name.find('\\');
                root = AnsiUpperCase(name.substr(0, slash));
                std::string path = slash == std::string::npos ? std::string() : AnsiUpperCase(name.substr(slash + 1));
                if (root == "HKLM") root = "HKEY_LOCAL_MACHINE";
                keyIgnored = root != "HKEY_LOCAL_MACHINE";
                currentKey = path;
                inKey = true;
                if (keyIgnored) continue;
                if (remove) {
                    for (auto it = hive_.keys.begin(); it != hive_.keys.end();) {
                        const bool below = it->first == path || it->first.compare(0, path.size() + 1, path + "\\") == 0;
                        it = below ? hive_.keys.erase(it) : std::next(it);
                    }
                    keyIgnored = true;
                    continue;
                }
                // Every parent of a key exists too.
                for (std::size_t p = path.find('\\'); p != std::string::npos; p = path.find('\\', p + 1)) {
                    hive_.keys[path.substr(0, p)];
                }
                hive_.keys[path];
                continue;
            }
            if (!inKey) Fail("a value stands before any key");
            std::size_t pos = 0;
            std::string name;
            if (trimmed.front() == '@') {
                pos = 1;
            } else if (trimmed.front() == '"') {
                name = QuotedString(trimmed, pos);
            } else {
                Fail("a line is neither a key, a value nor a comment");
            }
            SkipSpace(trimmed, pos);
            if (pos >= trimmed.size() || trimmed[pos] != '=') Fail("a value name is not followed by \"=\"");
            ++pos;
            SkipSpace(trimmed, pos);
            const std::string upperName = AnsiUpperCase(name);
            if (pos < trimmed.size() && trimmed[pos] == '-') {
                ++pos;
                EndOfLine(trimmed, pos);
                if (!keyIgnored) hive_.keys[currentKey].values.erase(upperName);
                continue;
            }
            RegValue value = Data(trimmed, pos);
            EndOfLine(trimmed, pos);
            if (!keyIgnored) hive_.keys[currentKey].values[upperName] = value;
        }
        if (!headerSeen && !lines.empty()) Fail("the file has no header line");
        return hive_;
    }

private:
    [[noreturn]] void Fail(const std::string& why) {
        throw ERegistryException(Format("Malformed registry file \"%s\", line %d: %s", file_.c_str(), line_, why.c_str()));
    }

    static std::string Trim(const std::string& s) {
        const std::size_t a = s.find_first_not_of(" \t\r");
        if (a == std::string::npos) return std::string();
        const std::size_t b = s.find_last_not_of(" \t\r");
        return s.substr(a, b - a + 1);
    }

    static void SkipSpace(const std::string& s, std::size_t& pos) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    }

    void EndOfLine(const std::string& s, std::size_t& pos) {
        SkipSpace(s, pos);
        if (pos < s.size() && s[pos] != ';') Fail("unexpected text after a value");
    }

    // Physical lines joined where a line ends in a backslash (long hex values), with their numbers.
    std::vector<std::pair<int, std::string>> LogicalLines() {
        std::vector<std::pair<int, std::string>> out;
        std::istringstream in(text_);
        std::string line;
        int number = 0;
        bool continuing = false;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (continuing) {
                out.back().second += Trim(line);
            } else {
                out.emplace_back(number, line);
            }
            std::string& last = out.back().second;
            continuing = !last.empty() && last.back() == '\\' && last.find('=') != std::string::npos &&
                         last.find('"', last.find('=')) == std::string::npos;
            if (continuing) last.pop_back();
        }
        return out;
    }

    // File text to ANSI: Unicode files arrive as UTF-8 here, REGEDIT4 files are ANSI already.
    std::string Text(const std::string& s) const { return unicode_ ? host::Utf8ToAnsi(s) : s; }

    std::string QuotedString(const std::string& s, std::size_t& pos) {
        std::string out;
        ++pos;  // opening quote
        while (pos < s.size() && s[pos] != '"') {
            if (s[pos] == '\\') {
                if (pos + 1 >= s.size()) Fail("a string ends inside an escape");
                const char next = s[pos + 1];
                if (next != '\\' && next != '"') Fail("unknown escape in a string");
                out += next;
                pos += 2;
                continue;
            }
            out += s[pos++];
        }
        if (pos >= s.size()) Fail("a string lacks its closing quote");
        ++pos;
        return Text(out);
    }

    std::string HexBytes(const std::string& s, std::size_t& pos) {
        std::string bytes;
        while (pos < s.size()) {
            SkipSpace(s, pos);
            if (pos >= s.size() || s[pos] == ';') break;
            std::size_t end = pos;
            while (end < s.size() && std::isxdigit(static_cast<unsigned char>(s[end]))) ++end;
            if (end - pos != 2) Fail("hex data must be pairs of hex digits separated by commas");
            bytes += static_cast<char>(std::stoi(s.substr(pos, 2), nullptr, 16));
            pos = end;
            SkipSpace(s, pos);
            if (pos < s.size() && s[pos] == ',') ++pos;
            else break;
        }
        return bytes;
    }

    // UTF-16LE string data of a Unicode file, turned into ANSI with its zero ends kept.
    std::string Utf16ToAnsi(const std::string& bytes) { return host::UnicodeToAnsi(Utf16Units(bytes, 0)); }

    RegValue Data(const std::string& s, std::size_t& pos) {
        RegValue value;
        if (s[pos] == '"') {
            value.Type = REG_SZ;
            value.Data = QuotedString(s, pos) + std::string(1, '\0');
            return value;
        }
        if (s.compare(pos, 6, "dword:") == 0) {
            pos += 6;
            std::size_t end = pos;
            while (end < s.size() && std::isxdigit(static_cast<unsigned char>(s[end]))) ++end;
            if (end - pos != 8) Fail("a dword value needs eight hex digits");
            const std::uint32_t v = static_cast<std::uint32_t>(std::stoul(s.substr(pos, 8), nullptr, 16));
            pos = end;
            value.Type = REG_DWORD;
            for (int i = 0; i < 4; ++i) value.Data += static_cast<char>((v >> (8 * i)) & 0xFF);
            return value;
        }
        if (s.compare(pos, 4, "hex:") == 0) {
            pos += 4;
            value.Type = REG_BINARY;
            value.Data = HexBytes(s, pos);
            return value;
        }
        if (s.compare(pos, 4, "hex(") == 0) {
            const std::size_t close = s.find("):", pos);
            if (close == std::string::npos) Fail("a hex(type) value lacks \"):\"");
            const std::string type = s.substr(pos + 4, close - pos - 4);
            if (type.empty() || type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                Fail("a hex(type) value has a bad type");
            }
            value.Type = static_cast<std::uint32_t>(std::stoul(type, nullptr, 16));
            pos = close + 2;
            const std::string bytes = HexBytes(s, pos);
            const bool text = value.Type == REG_SZ || value.Type == REG_EXPAND_SZ || value.Type == REG_MULTI_SZ;
            value.Data = text && unicode_ ? Utf16ToAnsi(bytes) : bytes;
            return value;
        }
        Fail("unknown value data");
    }

    std::string file_;
    std::string text_;
    Hive hive_;
    bool unicode_ = true;
    int line_ = 0;
};

// A registry file's bytes as text: a UTF-16LE file (as regedit writes them) becomes UTF-8, and a
// UTF-8 byte-order mark goes.
std::string DecodeRegistryBytes(std::string bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        return host::UnicodeToUtf8(Utf16Units(bytes, 2));
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    return bytes;
}

std::string ReadRegistryText(const std::string& path, bool& found) {
    std::ifstream in(path, std::ios::binary);
    found = static_cast<bool>(in);
    if (!found) return std::string();
    return DecodeRegistryBytes(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
}

}  // namespace

void host::ParseRegistryFile(const std::string& fileName, const std::string& bytes) {
    Parser(fileName, DecodeRegistryBytes(bytes)).Parse();
}

struct RegKey::Impl {
    Key key;
};

RegKey::RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;
RegKey::~RegKey() = default;

bool RegKey::Open(std::uint32_t root, const std::string& path, std::uint32_t) {
    Close();
    if (root != HKEY_LOCAL_MACHINE_ID) return false;
    const std::string file = host::MachineFolder() + "/registry.reg";
    bool found = false;
    const std::string text = ReadRegistryText(file, found);
    if (!found) return false;  // a machine without a registry file has an empty registry
    const Hive hive = Parser(file, text).Parse();
    std::string wanted = AnsiUpperCase(path);
    while (!wanted.empty() && wanted.back() == '\\') wanted.pop_back();
    const auto it = hive.keys.find(wanted);
    if (it == hive.keys.end()) return false;
    impl_ = std::make_unique<Impl>();
    impl_->key = it->second;
    return true;
}

bool RegKey::Query(const std::string& name, RegValue& value) const {
    if (!impl_) return false;
    const auto it = impl_->key.values.find(AnsiUpperCase(name));
    if (it == impl_->key.values.end()) return false;
    value = it->second;
    return true;
}

bool RegKey::IsOpen() const { return impl_ != nullptr; }

void RegKey::Close() { impl_.reset(); }

}  // namespace platform
