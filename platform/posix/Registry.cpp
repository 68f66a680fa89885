// The registry of the emulated machine: HKEY_LOCAL_MACHINE read from registry.reg in the machine
// folder, in the text format the Windows registry editor exports.
#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// The keys named in the file. A key's parents exist too without being stored: building every
// parent of a deep key would cost time and memory quadratic in its depth.
struct Hive {
    std::map<std::string, Key> keys;  // by upper-cased full path below the root

    // The key at path (upper-cased), stored or a parent of a stored one; null when there is none.
    const Key* Find(const std::string& path) const {
        static const Key kEmpty;
        if (const auto it = keys.find(path); it != keys.end()) return &it->second;
        if (path.empty()) return &kEmpty;  // the root always exists
        const std::string below = path + "\\";
        const auto it = keys.lower_bound(below);
        return it != keys.end() && it->first.compare(0, below.size(), below) == 0 ? &kEmpty : nullptr;
    }

    // Deletes the key at path with everything below it; its parent stays, as in regedit.
    void Remove(const std::string& path) {
        if (!Find(path)) return;
        const std::size_t slash = path.rfind('\\');
        if (!path.empty()) keys.try_emplace(slash == std::string::npos ? std::string() : path.substr(0, slash));
        keys.erase(path);
        const std::string below = path.empty() ? std::string() : path + "\\";
        auto it = keys.lower_bound(below);
        while (it != keys.end() && it->first.compare(0, below.size(), below) == 0) it = keys.erase(it);
    }
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class Parser {
public:
    Parser(std::string file, std::string text) : file_(std::move(file)), text_(std::move(text)) {}

    Hive Parse() {
        std::vector<std::pair<std::int64_t, std::string>> lines = LogicalLines();
        if (cutOff_) {
            // The file ends right after a line that says the value goes on: the value is not all
            // there, and what is there (a path cut short) must not be taken for the whole.
            line_ = lines.back().first;
            Fail("a value is cut off at the end of the file");
        }
        bool headerSeen = false;
        Key* currentKey = nullptr;
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
                currentKey = nullptr;
                inKey = true;
                if (keyIgnored) continue;
                if (remove) {
                    hive_.Remove(path);
                    keyIgnored = true;
                    continue;
                }
                currentKey = &hive_.keys[path];
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
                if (!keyIgnored) currentKey->values.erase(upperName);
                continue;
            }
            RegValue value = Data(trimmed, pos);
            EndOfLine(trimmed, pos);
            if (!keyIgnored) currentKey->values[upperName] = value;
        }
        if (!headerSeen && !lines.empty()) Fail("the file has no header line");
        return hive_;
    }

private:
    [[noreturn]] void Fail(const std::string& why) {
        throw ERegistryException(Format("Malformed registry file \"%s\", line %lld: %s", file_.c_str(),
                                        static_cast<long long>(line_), why.c_str()));
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
    // A value line continues when it has an "=" with no quote after it; each piece is looked at
    // once, so a value of any number of lines costs time linear in its length.
    std::vector<std::pair<std::int64_t, std::string>> LogicalLines() {
        std::vector<std::pair<std::int64_t, std::string>> out;
        std::istringstream in(text_);
        std::string line;
        std::int64_t number = 0;
        bool continuing = false;
        bool hasEquals = false;
        bool quoteAfterEquals = false;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string piece = continuing ? Trim(line) : line;
            if (!continuing) {
                out.emplace_back(number, std::string());
                hasEquals = quoteAfterEquals = false;
            }
            std::size_t from = 0;
            if (!hasEquals) {
                from = piece.find('=');
                hasEquals = from != std::string::npos;
            }
            if (hasEquals && piece.find('"', from == std::string::npos ? 0 : from) != std::string::npos) {
                quoteAfterEquals = true;
            }
            std::string& last = out.back().second;
            last += piece;
            continuing = !last.empty() && last.back() == '\\' && hasEquals && !quoteAfterEquals;
            if (continuing) last.pop_back();
        }
        cutOff_ = continuing;
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
            // Windows ends a string at its first zero: the rest of a string with a zero inside
            // would be lost without a word.
            if (s[pos] == '\0') Fail("a string holds a zero character");
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
            while (end < s.size() && HexDigit(s[end]) >= 0) ++end;
            if (end - pos != 2) Fail("hex data must be pairs of hex digits separated by commas");
            bytes += static_cast<char>(HexDigit(s[pos]) * 16 + HexDigit(s[pos + 1]));
            pos = end;
            SkipSpace(s, pos);
            if (pos < s.size() && s[pos] == ',') {
                ++pos;
                // A comma says another byte follows: data that ends there is cut off.
                SkipSpace(s, pos);
                if (pos >= s.size() || s[pos] == ';') Fail("hex data ends in a comma, cut off");
            } else {
                break;
            }
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
            while (end < s.size() && HexDigit(s[end]) >= 0) ++end;
            if (end - pos != 8) Fail("a dword value needs eight hex digits");
            const std::uint32_t v = HexNumber(s, pos, end);
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
            std::size_t first = pos + 4;
            bool digits = first < close;
            for (std::size_t i = first; i < close; ++i) digits = digits && HexDigit(s[i]) >= 0;
            while (first + 1 < close && s[first] == '0') ++first;  // leading zeros do not count
            if (!digits || close - first > 8) Fail("a hex(type) value has a bad type");
            value.Type = HexNumber(s, first, close);
            pos = close + 2;
            const std::string bytes = HexBytes(s, pos);
            const bool text = value.Type == REG_SZ || value.Type == REG_EXPAND_SZ || value.Type == REG_MULTI_SZ;
            if (text && unicode_ && bytes.size() % 2 != 0) Fail("UTF-16 text data of odd length");
            value.Data = text && unicode_ ? Utf16ToAnsi(bytes) : bytes;
            return value;
        }
        Fail("unknown value data");
    }

    // The value of hex digits s[from, to), at most eight of them.
    static std::uint32_t HexNumber(const std::string& s, std::size_t from, std::size_t to) {
        std::uint32_t v = 0;
        for (std::size_t i = from; i < to; ++i) v = v * 16 + static_cast<std::uint32_t>(HexDigit(s[i]));
        return v;
    }

    std::string file_;
    std::string text_;
    Hive hive_;
    bool unicode_ = true;
    bool cutOff_ = false;
    std::int64_t line_ = 0;
};

// A registry file's bytes as text: a UTF-16LE file (as regedit writes them) becomes UTF-8, and a
// UTF-8 byte-order mark goes.
std::string DecodeRegistryBytes(const std::string& file, std::string bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::string text = host::UnicodeToUtf8(Utf16Units(bytes, 2));
        if (bytes.size() % 2 != 0) {
            // A stray byte after the last whole character: the file is cut short or damaged, and
            // what it lacks cannot be told.
            const auto line = static_cast<long long>(std::count(text.begin(), text.end(), '\n') + 1);
            throw ERegistryException(Format("Malformed registry file \"%s\", line %lld: a UTF-16 file of odd length",
                                            file.c_str(), line));
        }
        return text;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    return bytes;
}

// The registry file's text; found is false when there is no file (an empty registry). A file that
// exists but cannot be read, or is not a plain file, is an error: the registry is there but unusable.
std::string ReadRegistryText(const std::string& path, bool& found) {
    found = false;
    auto fail = [&](const std::string& why) -> std::string {
        throw ERegistryException(Format("Cannot read registry file \"%s\": %s", path.c_str(), why.c_str()));
    };
    // Non-blocking, so that a FIFO in its place cannot hold the program up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::string();
        return fail(std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st{};
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail("it is a folder");
    if (!S_ISREG(st.st_mode)) return fail("it is not a regular file");
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    found = true;
    return DecodeRegistryBytes(path, std::move(bytes));
}

}  // namespace

void host::ParseRegistryFile(const std::string& fileName, const std::string& bytes) {
    Parser(fileName, DecodeRegistryBytes(fileName, bytes)).Parse();
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
    const Key* key = hive.Find(wanted);
    if (!key) return false;
    impl_ = std::make_unique<Impl>();
    impl_->key = *key;
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
