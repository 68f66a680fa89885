// Parsers of the Linux machine (this program is built for Linux only) fed valid input that is rarer than the usual: registry values whose
// hex digits come in either case, and UTF-8 sequences of each length right at their limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/posix/Host.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;

namespace {

const char* kKey = "SOFTWARE\\Data Access Corporation\\Visual DataFlex\\7\\Workspaces\\Vandrel";

std::string Bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out += static_cast<char>(b);
    return out;
}

// The type and bytes of a value as the key holds it; "<missing>" when it is not there.
std::string Raw(const std::string& name, std::uint32_t* type = nullptr) {
    platform::RegKey key;
    if (!key.Open(platform::HKEY_LOCAL_MACHINE_ID, kKey, platform::KEY_ALL_ACCESS)) return "<no key>";
    platform::RegValue value;
    if (!key.Query(name, value)) return "<missing>";
    if (type) *type = value.Type;
    return value.Data;
}

// The error text of reading a file, empty when it reads.
std::string ErrorOf(const TestMachine& m, const std::string& text) {
    m.WriteRegistry(text);
    try {
        Raw("x");
        return std::string();
    } catch (const ERegistryException& e) {
        return e.Message();
    }
}

}  // namespace

TEST(RegistryValues, HexDigitsOfEitherCaseInEveryKindOfValue) {
    TestMachine m;
    const struct {
        const char* line;  // the value's data after "="
        std::uint32_t type;
        std::string data;
    } cases[] = {
        {"dword:DeadBeeF", platform::REG_DWORD, Bytes({0xEF, 0xBE, 0xAD, 0xDE})},
        {"dword:0a1B2c3D", platform::REG_DWORD, Bytes({0x3D, 0x2C, 0x1B, 0x0A})},
        {"dword:fEdCbA98", platform::REG_DWORD, Bytes({0x98, 0xBA, 0xDC, 0xFE})},
        {"dword:99999999", platform::REG_DWORD, Bytes({0x99, 0x99, 0x99, 0x99})},
        {"dword:00000000", platform::REG_DWORD, Bytes({0, 0, 0, 0})},
        {"hex:Ff,aB,09,a0,F0,0f,Af,90,fa,e1,D2,c3,B4,a5", platform::REG_BINARY,
         Bytes({0xFF, 0xAB, 0x09, 0xA0, 0xF0, 0x0F, 0xAF, 0x90, 0xFA, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5})},
        {"hex:", platform::REG_BINARY, ""},
        {"hex(A):01,fF", 10, Bytes({0x01, 0xFF})},
        {"hex(b):Fe", 11, Bytes({0xFE})},
        {"hex(0):", platform::REG_NONE, ""},
        {"hex(FFFFFFFF):aa", 0xFFFFFFFF, Bytes({0xAA})},
        {"hex(fffffffe):Bb", 0xFFFFFFFE, Bytes({0xBB})},
        {"hex(3):0a,0B", platform::REG_BINARY, Bytes({0x0A, 0x0B})},
        // Text types of a Unicode file are UTF-16: every unit becomes one ANSI byte, the last one too,
        // with or without its zero end; a unit above 0xFF finds its ANSI byte (the euro sign 0x80).
        {"hex(2):43,00,3A,00,5c,00,56,00", platform::REG_EXPAND_SZ, "C:\\V"},
        {"hex(2):41,00,aC,20,42,00,00,00", platform::REG_EXPAND_SZ, Bytes({'A', 0x80, 'B', 0})},
        {"hex(1):e9,00,C9,00,00,00", platform::REG_SZ, Bytes({0xE9, 0xC9, 0})},
        {"hex(7):61,00,00,00,42,00,00,00,00,00", platform::REG_MULTI_SZ, Bytes({'a', 0, 'B', 0, 0})},
    };
    std::string file = std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\") + kKey + "]\r\n";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        file += "\"v" + std::to_string(i) + "\"=" + cases[i].line + "\r\n";
    }
    m.WriteRegistry(file);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::uint32_t type = 0xDEAD;
        EXPECT_EQ(Raw("v" + std::to_string(i), &type), cases[i].data) << cases[i].line;
        EXPECT_EQ(type, cases[i].type) << cases[i].line;
    }
}

TEST(RegistryValues, TheJobsValueAsAnExpandableStringOfAnOlderFile) {
    TestMachine m;
    // A REGEDIT4 file keeps its text types as ANSI bytes; upper-case digits as regedit writes them.
    m.WriteRegistry(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kKey +
                    "]\n\"Srvr_Path\"=hex(2):46,3A,5C,4B,45,4C,5C,E9,00\n");
    TRegistry reg(platform::KEY_ALL_ACCESS);
    reg.RootKey = platform::HKEY_LOCAL_MACHINE_ID;
    ASSERT_TRUE(reg.OpenKey(std::string("\\") + kKey, false));
    EXPECT_EQ(reg.ReadString("Srvr_Path"), "F:\\KEL\\\xE9");
}

TEST(RegistryValues, DigitCountsAndCommentsAtTheirLimits) {
    TestMachine m;
    const std::string head = std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kKey + "]\n";
    // Malformed: one digit too few or too many, an odd pair, a single digit.
    // And hex data that ends in a comma, before the end of the line or before a comment.
    for (const char* bad : {"dword:1234567", "dword:ABCDEF012", "hex:abc", "hex:a", "hex:0A,B", "hex:0g", "hex:0a,",
                            "hex:0a, ; cut"}) {
        EXPECT_NE(ErrorOf(m, head + "\"x\"=" + bad + "\n").find("line 4"), std::string::npos) << bad;
    }
    EXPECT_EQ(ErrorOf(m, head + "\"x\"=dword:ABCDEF01\n"), "");
    // A type needs one digit at least; leading zeros do not count against its eight.
    EXPECT_NE(ErrorOf(m, head + "\"x\"=hex():00\n").find("line 4"), std::string::npos);
    EXPECT_EQ(ErrorOf(m, head + "\"x\"=hex(00000000A):00\n"), "");
    EXPECT_NE(ErrorOf(m, head + "\"x\"=hex(10000000A):00\n").find("line 4"), std::string::npos);
    // A comment that ends in a backslash does not carry the next line into the value before it.
    m.WriteRegistry(head + "\"a\"=\"x\" ; the old folder was C:\\\n\"b\"=dword:0000000F\n");
    EXPECT_EQ(Raw("a"), std::string("x", 2));
    EXPECT_EQ(Raw("b"), Bytes({0x0F, 0, 0, 0}));
}

// Keys as regedit writes and merges them: the short name of the root, a key listed twice, values
// and keys deleted ("=-", "[-...]"), keys of other roots ignored. A key's name is never taken for
// the start of another's: "Job" is not "Jobs", and deleting "Mail" leaves "MailBox".
TEST(RegistryKeys, ShortRootDeletionsAndNamesThatStartAlike) {
    TestMachine m;
    m.WriteRegistry(
        "REGEDIT4\n\n"
        "[HKLM\\SOFTWARE\\Vandrel\\Jobs]\n\"a\"=\"1\"\n\"gone\"=\"x\"\n\"gone\"=-\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vandrel\\JobsOld]\n\"b\"=\"2\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vandrel\\MailBox]\n\"d\"=\"4\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vandrel\\Mail\\Inner]\n\"c\"=\"3\"\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vandrel\\Mail]\n"
        "[HKEY_LOCAL_MACHINE\\Lone\\Child]\n\"v\"=\"1\"\n"
        "[-HKEY_LOCAL_MACHINE\\Lone\\Child]\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Vandrel\\Jobs]\n\"a\"=\"another root\"\n\"f\"=\"6\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vandrel\\Jobs]\n\"e\"=\"5\"\n");
    const auto value = [](const std::string& path, const std::string& name) -> std::string {
        platform::RegKey key;
        if (!key.Open(platform::HKEY_LOCAL_MACHINE_ID, path, platform::KEY_ALL_ACCESS)) return "<no key>";
        platform::RegValue v;
        if (!key.Query(name, v)) return "<missing>";
        return v.Data;
    };
    const struct {
        const char* path;
        const char* name;
        std::string data;
    } cases[] = {
        {"SOFTWARE\\Vandrel\\Jobs", "a", std::string("1", 2)},
        {"SOFTWARE\\Vandrel\\Jobs", "e", std::string("5", 2)},
        {"SOFTWARE\\Vandrel\\Jobs", "gone", "<missing>"},
        {"SOFTWARE\\Vandrel\\Jobs", "f", "<missing>"},
        {"SOFTWARE\\Vandrel\\JobsOld", "b", std::string("2", 2)},
        {"SOFTWARE\\Vandrel\\Job", "a", "<no key>"},
        {"SOFTWARE\\Vandrel\\MailBox", "d", std::string("4", 2)},
        {"SOFTWARE\\Vandrel\\Mail", "x", "<no key>"},
        {"SOFTWARE\\Vandrel\\Mail\\Inner", "c", "<no key>"},
        {"SOFTWARE\\Vandrel", "x", "<missing>"},
        {"Lone", "x", "<missing>"},  // a deleted key's parent stays
        {"Lone\\Child", "v", "<no key>"},
    };
    for (const auto& c : cases) EXPECT_EQ(value(c.path, c.name), c.data) << c.path << " " << c.name;
}

// A file that holds its byte-order mark and nothing else is an empty registry, whichever the mark.
TEST(RegistryValues, AFileOfNothingButItsByteOrderMarkIsEmpty) {
    TestMachine m;
    for (const std::string& bom : {std::string("\xFF\xFE"), std::string("\xEF\xBB\xBF"), std::string()}) {
        EXPECT_EQ(ErrorOf(m, bom), "") << bom.size();
        EXPECT_EQ(Raw("x"), "<no key>") << bom.size();
    }
}

// Host names are UTF-8; the program sees them in ANSI. Each sequence length at its lowest and highest
// code point decodes to that one code point; one step outside is taken byte by byte as U+FFFD.
TEST(HostNames, Utf8SequencesAtTheLimitsOfEachLength) {
    using platform::host::Utf8ToUnicode;
    const char32_t bad = 0xFFFD;
    const struct {
        std::string utf8;
        std::u32string wide;
    } cases[] = {
        {"\x7F", U"\x7F"},
        {"\xC2\x80", U"\x80"},
        {"\xC2\xA9", U"\xA9"},
        {"\xC3\xA9", U"\xE9"},
        {"\xDF\xBF", U"\x7FF"},
        {"\xE0\xA0\x80", U"\x800"},
        {"\xE2\x82\xAC", U"\x20AC"},
        {"\xED\x9F\xBF", U"\xD7FF"},
        {"\xEE\x80\x80", U"\xE000"},
        {"\xEF\xBF\xBF", U"\xFFFF"},
        {"\xF0\x90\x80\x80", U"\U00010000"},
        {"\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
        {"a\xC3\xA9z", U"a\xE9z"},
        // Overlong forms, surrogates, code points past U+10FFFF, bad lead and continuation bytes.
        {"\xC0\x80", {bad, bad}},
        {"\xC1\xBF", {bad, bad}},
        {"\xE0\x9F\xBF", {bad, bad, bad}},
        {"\xF0\x8F\xBF\xBF", {bad, bad, bad, bad}},
        {"\xED\xA0\x80", {bad, bad, bad}},
        {"\xED\xBF\xBF", {bad, bad, bad}},
        {"\xF4\x90\x80\x80", {bad, bad, bad, bad}},
        {"\xF5\x80\x80\x80", {bad, bad, bad, bad}},
        {"\xC2\xC0", {bad, bad}},
        {"\xC2\x7F", {bad, 0x7F}},
        {"\xE2\x82", {bad, bad}},
        {"\x80", {bad}},
    };
    for (const auto& c : cases) {
        std::string hex;
        for (unsigned char b : c.utf8) hex += " " + std::to_string(b);
        EXPECT_EQ(Utf8ToUnicode(c.utf8), c.wide) << hex;
    }
    // A sequence cut by the end of the text it is given, where the bytes after that end would
    // complete it: only the bytes within the text count.
    const std::string whole = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const struct {
        std::size_t length;
        std::u32string wide;
    } cut[] = {
        {2, {U'a', bad}}, {3, U"a\xE9"}, {4, {U'a', 0xE9, bad}}, {5, {U'a', 0xE9, bad, bad}},
        {6, U"a\xE9\x20AC"}, {9, {U'a', 0xE9, 0x20AC, bad, bad, bad}}, {10, U"a\xE9\x20AC\U0001F600"},
    };
    for (const auto& c : cut) {
        EXPECT_EQ(Utf8ToUnicode(std::string_view(whole).substr(0, c.length)), c.wide) << c.length;
    }
}

TEST(HostNames, EncodingEachLengthAtItsLimitsRoundTrips) {
    using platform::host::UnicodeToUtf8;
    const struct {
        char32_t cp;
        std::string utf8;
    } cases[] = {
        {0x41, "A"},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0x20AC, "\xE2\x82\xAC"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UnicodeToUtf8(std::u32string(1, c.cp)), c.utf8) << std::hex << static_cast<std::uint32_t>(c.cp);
        EXPECT_EQ(platform::host::Utf8ToUnicode(c.utf8), std::u32string(1, c.cp)) << std::hex << static_cast<std::uint32_t>(c.cp);
    }
}

TEST(HostNames, EveryAnsiByteRoundTripsAndOthersBecomeQuestionMarks) {
    using platform::host::AnsiToUtf8;
    using platform::host::Utf8ToAnsi;
    for (int b = 0; b < 256; ++b) {
        const std::string ansi = std::string("x") + static_cast<char>(b) + "y";
        EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(ansi)), ansi) << b;
    }
    EXPECT_EQ(AnsiToUtf8("\x80\x99\xE9"), "\xE2\x82\xAC\xE2\x84\xA2\xC3\xA9");
    EXPECT_EQ(AnsiToUtf8("\x80"), "\xE2\x82\xAC");  // the first byte past ASCII on its own
    EXPECT_EQ(Utf8ToAnsi("\x80"), "?");
    EXPECT_EQ(Utf8ToAnsi("\x7F"), "\x7F");
    EXPECT_EQ(platform::host::UnicodeToAnsi({0, 0x20AC, 0xFF, 0x100, 0xFFFF, 0x10000, 0x10FFFF}),
              std::string("\0\x80\xFF", 3) + "????");
    // A character outside the ANSI code page is one "?" whatever the length of its UTF-8 form.
    EXPECT_EQ(Utf8ToAnsi("\xC4\x80|\xE4\xB8\x80|\xF0\x9F\x98\x80"), "?|?|?");
}


// The temporary files a killed run left are known by their names alone: the prefix, one to four
// upper-case hex digits as they are made, ".tmp". Names at each end of that pattern are cleared;
// names one step outside it, another program's perhaps, stay.
TEST(TemporaryNames, StaleFilesOfThePatternAtItsLimitsAreClearedAndOthersStay) {
    TestMachine m;
    const std::string temp = m.OnC("C:\\tmp");
    testing_support::MakeHostDirs(temp);
    const struct {
        const char* name;
        bool cleared;
    } cases[] = {
        {"FC0.tmp", true},     {"FC9.tmp", true},      {"FCA.tmp", true},       {"FCF.tmp", true},
        {"FC1A.tmp", true},    {"FCFFFF.tmp", true},   {"FC09AF.tmp", true},    {"FC.tmp", false},
        {"FC12345.tmp", false}, {"FCabc.tmp", false},  {"FCa.tmp", false},      {"FCf.tmp", false},
        {"FCG.tmp", false},    {"FC:.tmp", false},     {"FC@.tmp", false},
        {"FC1.TMP", false},    {"FC1.tmpx", false},    {"FX1.tmp", false},      {"fc1.tmp", false},
    };
    for (const auto& c : cases) {
        testing_support::WriteHostFile(temp + "/" + c.name, "left behind");
        std::filesystem::last_write_time(temp + "/" + c.name,
                                         std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
    }
    platform::ClearStaleTempFiles("C:\\tmp", "FC");
    const std::vector<std::string> left = testing_support::HostFolderNames(temp);
    for (const auto& c : cases) {
        EXPECT_EQ(std::find(left.begin(), left.end(), c.name) == left.end(), c.cleared) << c.name;
    }
}
