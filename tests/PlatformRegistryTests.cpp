// The registry file of the emulated machine.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Registry.h"
#include "tests/TestSupport.h"

using testing_support::TestMachine;

namespace {

const char* kKey = "\\SOFTWARE\\Data Access Corporation\\Visual DataFlex\\7\\Workspaces\\Vandrel";

std::string ReadValue(const std::string& name) {
    TRegistry reg(platform::KEY_ALL_ACCESS);
    reg.RootKey = platform::HKEY_LOCAL_MACHINE_ID;
    if (!reg.OpenKey(kKey, false)) return "<no key>";
    return reg.ReadString(name);
}

std::string Utf16Hex(const std::string& ascii) {
    std::string out;
    char buf[8];
    for (char c : ascii) {
        std::snprintf(buf, sizeof buf, "%02x,00,", static_cast<unsigned char>(c));
        out += buf;
    }
    return out + "00,00";
}

}  // namespace

TEST(RegistryFile, StringsWithEscapesKeysWithoutRegardToCase) {
    SKIP_ON_WINDOWS("the registry file of the Linux machine");
    TestMachine m;
    m.WriteRegistry(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; a comment line\r\n"
        "[HKEY_LOCAL_MACHINE\\software\\DATA ACCESS CORPORATION\\Visual DataFlex\\7\\Workspaces\\Vandrel]\r\n"
        "\"Srvr_Path\"=\"C:\\\\Vandrel\\\\\"   ; trailing comment\r\n"
        "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
        "@=\"default\"\r\n"
        "\"Caf\xC3\xA9\"=\"na\xC3\xAFve\"\r\n");
    EXPECT_EQ(ReadValue("Srvr_Path"), "C:\\Vandrel\\");
    EXPECT_EQ(ReadValue("SRVR_PATH"), "C:\\Vandrel\\");
    EXPECT_EQ(ReadValue("Quoted"), "say \"hi\"");
    EXPECT_EQ(ReadValue(""), "default");
    EXPECT_EQ(ReadValue("Caf\xE9"), "na\xEFve");  // a Unicode file's text arrives in ANSI
    EXPECT_EQ(ReadValue("Missing"), "");
}

TEST(RegistryFile, ExpandableStringsInBothHeaders) {
    SKIP_ON_WINDOWS("the registry file of the Linux machine");
    TestMachine m;
    m.WriteRegistry(std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE") + kKey +
                    "]\n\"Srvr_Path\"=hex(2):" + Utf16Hex("%SYSTEMDRIVE%\\V") + "\n");
    EXPECT_EQ(ReadValue("Srvr_Path"), "%SYSTEMDRIVE%\\V");  // taken as stored, nothing expanded
    m.WriteRegistry(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE") + kKey +
                    "]\n\"Srvr_Path\"=hex(2):44,3a,5c,\\\n  53,72,76,00\n");
    EXPECT_EQ(ReadValue("Srvr_Path"), "D:\\Srv");
}

TEST(RegistryFile, UnicodeFileAsRegeditWritesIt) {
    SKIP_ON_WINDOWS("the registry file of the Linux machine");
    TestMachine m;
    const std::string text = std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE") + kKey +
                             "]\r\n\"Srvr_Path\"=\"E:\\\\Data\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    testing_support::WriteHostFile(m.Host("registry.reg"), utf16);
    EXPECT_EQ(ReadValue("Srvr_Path"), "E:\\Data");
}

TEST(RegistryFile, OtherTypesAreRefusedAsStrings) {
    TestMachine m;
    m.WriteRegistry(std::string("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE") + kKey +
                    "]\n\"Srvr_Path\"=dword:0000002a\n\"Bin\"=hex:01,02\n");
    try {
        ReadValue("Srvr_Path");
        FAIL();
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for 'Srvr_Path'");
        EXPECT_STREQ(e.ClassName(), "ERegistryException");
    }
    platform::RegKey key;
    ASSERT_TRUE(key.Open(platform::HKEY_LOCAL_MACHINE_ID, std::string(kKey).substr(1), platform::KEY_ALL_ACCESS));
    platform::RegValue value;
    ASSERT_TRUE(key.Query("Srvr_Path", value));
    EXPECT_EQ(value.Type, platform::REG_DWORD);
    EXPECT_EQ(value.Data, std::string("\x2a\0\0\0", 4));
    ASSERT_TRUE(key.Query("Bin", value));
    EXPECT_EQ(value.Type, platform::REG_BINARY);
}

TEST(RegistryFile, MissingFileOrKeyIsAnEmptyRegistry) {
    TestMachine m;
    EXPECT_EQ(ReadValue("Srvr_Path"), "<no key>");
    m.WriteRegistry("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"x\"=\"y\"\n");
    EXPECT_EQ(ReadValue("Srvr_Path"), "<no key>");
    // Parents of a listed key exist too.
    TRegistry reg;
    EXPECT_TRUE(reg.OpenKey("\\SOFTWARE", false));
}

TEST(RegistryFile, MalformedFileNamesFileAndLine) {
    SKIP_ON_WINDOWS("the registry file of the Linux machine");
    TestMachine m;
    m.WriteRegistry(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE") + kKey + "]\n\"ok\"=\"1\"\n\"bad\"=dword:12\n");
    try {
        ReadValue("ok");
        FAIL();
    } catch (const ERegistryException& e) {
        EXPECT_NE(e.Message().find(m.Host("registry.reg")), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("line 5"), std::string::npos) << e.Message();
    }
    m.WriteRegistry("not a registry file\n");
    EXPECT_THROW(ReadValue("ok"), ERegistryException);
    m.WriteRegistry("REGEDIT4\n\"value\"=\"before any key\"\n");
    EXPECT_THROW(ReadValue("ok"), ERegistryException);
}

// Files that are cut short or damaged are errors naming the file and the line, never a value taken
// in part: a server path cut short would send the job to another folder.
TEST(RegistryFile, FilesCutShortOrDamagedAreErrorsNamingFileAndLine) {
    SKIP_ON_WINDOWS("the registry file of the Linux machine");
    const std::string head = std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE") + kKey + "]\r\n";
    const auto utf16 = [](const std::string& text) {
        std::string bytes = "\xFF\xFE";
        for (char c : text) bytes += std::string{c, '\0'};
        return bytes;
    };
    const struct { const char* what; std::string bytes; const char* line; const char* why; } cases[] = {
        {"a hex(2) value cut off after its continuation",
         head + "\"Srvr_Path\"=hex(2):43,00,3a,00,\\\r\n", "line 4", "cut off at the end of the file"},
        {"hex data cut off after a comma", head + "\"Srvr_Path\"=hex(2):43,00,3a,00,\r\n", "line 4", "ends in a comma"},
        {"a zero inside a string", head + std::string("\"Srvr_Path\"=\"C:\\\\Vandrel\0\\\\Other\"\r\n", 35),
         "line 4", "zero character"},
        {"a UTF-16 file of odd length", utf16(head + "\"Srvr_Path\"=\"C:\\\\Vandrel\"\r\n") + "\x41", "line 5",
         "UTF-16 file of odd length"},
        {"UTF-16 text data of odd length", head + "\"Srvr_Path\"=hex(2):43,00,3a\r\n", "line 4", "odd length"},
    };
    for (const auto& c : cases) {
        TestMachine m;
        testing_support::WriteHostFile(m.Host("registry.reg"), c.bytes);
        try {
            const std::string value = ReadValue("Srvr_Path");
            ADD_FAILURE() << c.what << ": taken as \"" << value << "\"";
        } catch (const ERegistryException& e) {
            EXPECT_NE(e.Message().find(m.Host("registry.reg")), std::string::npos) << c.what << ": " << e.Message();
            EXPECT_NE(e.Message().find(c.line), std::string::npos) << c.what << ": " << e.Message();
            EXPECT_NE(e.Message().find(c.why), std::string::npos) << c.what << ": " << e.Message();
        }
    }
}

TEST(RegistryFile, HostileFilesGiveTheirErrorInLinearTime) {
    SKIP_ON_WINDOWS("the registry file of the Linux machine");
    TestMachine m;
    const std::string head = std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE") + kKey + "]\n";
    auto errorOf = [&](const std::string& text) -> std::string {
        m.WriteRegistry(text);
        try {
            return ReadValue("Srvr_Path");
        } catch (const ERegistryException& e) {
            return e.Message();
        }
    };
    // Numbers too large for their type are malformed, not a crash.
    EXPECT_NE(errorOf(head + "\"Srvr_Path\"=hex(ffffffffffffffffffff):43,00\n").find("line 4"), std::string::npos);
    EXPECT_NE(errorOf(head + "\"x\"=dword:fffffffff\n").find("line 4"), std::string::npos);
    EXPECT_EQ(errorOf(head + "\"Srvr_Path\"=hex(000000001):43,00\n"), "C");  // leading zeros are no overflow
    // A key 100,000 levels deep, with values continued over 100,000 lines: the parser must stay
    // linear (it once built every parent key: minutes and gigabytes).
    std::string deep = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 100000; ++i) deep += "\\k";
    deep += "]\n\"v\"=hex:00";
    for (int i = 0; i < 100000; ++i) deep += ",\\\n 01";
    m.WriteRegistry(deep + "\n[HKEY_LOCAL_MACHINE" + kKey + "]\n\"Srvr_Path\"=\"C:\\\\V\"\n");
    EXPECT_EQ(ReadValue("Srvr_Path"), "C:\\V");
    TRegistry reg;
    EXPECT_TRUE(reg.OpenKey("\\k\\k\\k", false));  // a parent of the deep key exists
    EXPECT_FALSE(reg.OpenKey("\\k\\x", false));
    // A folder in the file's place is an error that names the file, not an abort.
    std::filesystem::remove(m.Host("registry.reg"));
    std::filesystem::create_directory(m.Host("registry.reg"));
    try {
        ReadValue("Srvr_Path");
        FAIL();
    } catch (const ERegistryException& e) {
        EXPECT_NE(e.Message().find(m.Host("registry.reg")), std::string::npos) << e.Message();
    }
    // So is a link that leads round in a circle: only a file that is not there is an empty registry.
    std::filesystem::remove(m.Host("registry.reg"));
    std::filesystem::create_symlink("registry.reg", m.Host("registry.reg"));
    EXPECT_THROW(ReadValue("Srvr_Path"), ERegistryException);
}
