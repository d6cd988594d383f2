#include "profile/profile_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <utility>

#include "support/open_counter.h"
#include "support/scratch_dir.h"

namespace telkey {
namespace {

using test::ReadBytes;
using test::RunInChild;
using test::ScopedEnv;
using test::ScratchDir;
using test::WriteBytes;

std::string Read(const std::string& path, const char* section, const char* key,
                 const char* def = "<default>") {
    return ProfileFile(path).ReadString(section, key, def);
}

std::size_t Utf8Chars(const std::string& s) {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ProfileFileTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    std::string file = dir / "test.ini";
};

TEST_F(ProfileFileTest, NamesAndKeysMatchWithoutRegardToCase) {
    WriteBytes(file, "[Qor_Cw]\nSpeed=80\n  DotPort = 378  \n[MOX]\nMoxOn=1\n");
    EXPECT_EQ(Read(file, "qor_cw", "SPEED"), "80");
    EXPECT_EQ(Read(file, "QOR_CW", "dotport"), "378");
    EXPECT_EQ(Read(file, "mox", "moxon"), "1");
    EXPECT_EQ(Read(file, "MOX", "Speed"), "<default>");  // key of another section
}

TEST_F(ProfileFileTest, AbsentGivesDefaultAndPresentEmptyGivesEmpty) {
    EXPECT_EQ(Read(file, "Qor_Cw", "RSTOnClear", "599"), "599");  // no file
    WriteBytes(file, "[Qor_Cw]\nRSTOnClear=\nNameOnClear=   \n");
    EXPECT_EQ(Read(file, "Qor_Cw", "RSTOnClear", "599"), "");
    EXPECT_EQ(Read(file, "Qor_Cw", "NameOnClear", "om"), "");
    EXPECT_EQ(Read(file, "Qor_Cw", "CallOnClear", "x"), "x");
    EXPECT_EQ(Read(file, "Nowhere", "RSTOnClear", "599"), "599");
}

TEST_F(ProfileFileTest, OnePairOfEnclosingQuotesIsRemoved) {
    WriteBytes(file,
               "[Q]\n"
               "a=\"  DL1ABC \"\n"
               "b='single'\n"
               "c=\"\"twice\"\"\n"
               "d=\"unbalanced\n"
               "e=\"\n"
               "f=  unquoted blanks   \n"
               "g=\"mixed'\n"
               "h=\"\"\n");
    EXPECT_EQ(Read(file, "Q", "a"), "  DL1ABC ");
    EXPECT_EQ(Read(file, "Q", "b"), "single");
    EXPECT_EQ(Read(file, "Q", "c"), "\"twice\"");
    EXPECT_EQ(Read(file, "Q", "d"), "\"unbalanced");
    EXPECT_EQ(Read(file, "Q", "e"), "\"");
    EXPECT_EQ(Read(file, "Q", "f"), "unquoted blanks");
    EXPECT_EQ(Read(file, "Q", "g"), "\"mixed'");
    EXPECT_EQ(Read(file, "Q", "h"), "");
}

// Several writes into a file full of things the writer does not know: every line it does not
// change keeps its bytes, line breaks included.
TEST_F(ProfileFileTest, WritesLeaveEveryOtherByteAsItWas) {
    const std::string before =
        "; Telkey settings\r\n"
        "orphan=before any section\r\n"
        "\r\n"
        "[Qor_Cw]\r\n"
        "DotPort=201\r\n"
        "  speed =  60   ; not a comment\r\n"
        "Unknown=keep me\r\n"
        "# hash line\r\n"
        "\r\n"
        "[Odd Section]\r\n"
        "x=\t1\t\r\n"
        "lone line without equals\r\n"
        "[qor_cw]\r\n"
        "Weighting=5\r\n"
        "\r\n"
        "[MOX]\r\n"
        "MoxOn=0";  // no final line break
    WriteBytes(file, before);
    ProfileFile profile(file);
    profile.WriteString("QOR_CW", "Speed", "120");
    profile.WriteString("Qor_Cw", "weighting", "-3");
    profile.WriteString("Qor_Cw", "NewKey", "\"quoted \"");
    profile.WriteString("Screen", "Left", "-1");
    profile.WriteString("Qor_Cw", "Speed", "150");
    const std::string expected =
        "; Telkey settings\r\n"
        "orphan=before any section\r\n"
        "\r\n"
        "[Qor_Cw]\r\n"
        "DotPort=201\r\n"
        "  speed =150\r\n"
        "Unknown=keep me\r\n"
        "NewKey=\"quoted \"\r\n"
        "# hash line\r\n"
        "\r\n"
        "[Odd Section]\r\n"
        "x=\t1\t\r\n"
        "lone line without equals\r\n"
        "[qor_cw]\r\n"
        "Weighting=-3\r\n"
        "\r\n"
        "[MOX]\r\n"
        "MoxOn=0\r\n"
        "\r\n"
        "[Screen]\r\n"
        "Left=-1\r\n";
    EXPECT_EQ(ReadBytes(file), expected);
    EXPECT_EQ(profile.ReadString("Qor_Cw", "NewKey", ""), "quoted ");
    EXPECT_EQ(profile.ReadString("Qor_Cw", "Weighting", ""), "-3");
}

TEST_F(ProfileFileTest, WriteCreatesFileAndSectionsWithLineFeeds) {
    ProfileFile profile(file);
    profile.WriteString("QSO", "Call", "\"\"");
    profile.WriteString("QSO", "Name", "\"Ivan\"");
    profile.WriteString("Other", "Key", "v");
    EXPECT_EQ(ReadBytes(file), "[QSO]\nCall=\"\"\nName=\"Ivan\"\n\n[Other]\nKey=v\n");
    EXPECT_EQ(profile.ReadString("QSO", "Call", " "), "");
}

// Old editors end lines with a lone CR: such a file is lines like any other, and a write keeps
// its breaks, as it keeps those of a file with mixed breaks.
TEST_F(ProfileFileTest, LoneCarriageReturnsEndLines) {
    WriteBytes(file, "; old editor\r[Qor_Cw]\rSpeed=80\rDotPort=378\r[MOX]\rMoxOn=1");
    EXPECT_EQ(Read(file, "Qor_Cw", "Speed"), "80");
    EXPECT_EQ(Read(file, "Qor_Cw", "DotPort"), "378");
    EXPECT_EQ(Read(file, "MOX", "MoxOn"), "1");
    EXPECT_EQ(Read(file, "Qor_Cw", "MoxOn"), "<default>");
    ProfileFile profile(file);
    profile.WriteString("Qor_Cw", "Speed", "90");
    profile.WriteString("Qor_Cw", "Weighting", "2");
    profile.WriteString("MOX", "TxAtPaddle", "1");
    profile.WriteString("Screen", "Left", "5");
    EXPECT_EQ(ReadBytes(file),
              "; old editor\r[Qor_Cw]\rSpeed=90\rDotPort=378\rWeighting=2\r[MOX]\rMoxOn=1\r"
              "TxAtPaddle=1\r\r[Screen]\rLeft=5\r");

    WriteBytes(file, "[A]\ra=1\r\nb=2\nc=3\r\r[B]\nd=4\n");
    for (const auto& [key, value] : {std::pair{"a", "1"}, {"b", "2"}, {"c", "3"}}) {
        EXPECT_EQ(Read(file, "A", key), value);
    }
    EXPECT_EQ(Read(file, "B", "d"), "4");
    profile.WriteString("A", "b", "two");
    profile.WriteString("A", "c", "three");
    EXPECT_EQ(ReadBytes(file), "[A]\ra=1\r\nb=two\nc=three\r\r[B]\nd=4\n");
}

// Keys before the first header are the section with the empty name, for reads and writes.
TEST_F(ProfileFileTest, KeysBeforeAnyHeaderAreTheNamelessSection) {
    WriteBytes(file, "; comment\nTop=1\n  Other = two \n\n[S]\nTop=3\n[]\nLate=4\n");
    EXPECT_EQ(Read(file, "", "top"), "1");
    EXPECT_EQ(Read(file, "  ", "OTHER"), "two");
    EXPECT_EQ(Read(file, "", "Late"), "4");
    EXPECT_EQ(Read(file, "S", "Top"), "3");
    EXPECT_EQ(Read(file, "", "Missing"), "<default>");
    EXPECT_EQ(Read(file, "S", "Other"), "<default>");

    ProfileFile profile(file);
    profile.WriteString("", "Top", "5");
    profile.WriteString("", "New", "x");
    profile.WriteString("", "Late", "6");
    EXPECT_EQ(ReadBytes(file),
              "; comment\nTop=5\n  Other = two \nNew=x\n\n[S]\nTop=3\n[]\nLate=6\n");

    // Without keys of its own the section starts the file; it never gets a "[]" header.
    WriteBytes(file, "\xEF\xBB\xBF[S]\r\nk=1\r\n");
    profile.WriteString("", "k", "2");
    EXPECT_EQ(ReadBytes(file), "\xEF\xBB\xBFk=2\r\n[S]\r\nk=1\r\n");
    std::filesystem::remove(file);
    profile.WriteString("", "a", "1");
    profile.WriteString("", "b", "2");
    EXPECT_EQ(ReadBytes(file), "a=1\nb=2\n");
    EXPECT_EQ(profile.ReadString("", "b", ""), "2");
}

// A batch answers each key as a read of its own would, from one reading of the file.
TEST_F(ProfileFileTest, BatchReadsEveryKeyFromOneReading) {
    // Code page 1251: section "Связь", key "Имя" = "Иван"; the file also has repeated keys.
    WriteBytes(file,
               "top=0\r\n[\xD1\xE2\xFF\xE7\xFC]\r\n\xC8\xEC\xFF=\xC8\xE2\xE0\xED\r\n"
               "[A]\r\nk=1\r\nk=2\r\n[B]\r\nk=3\r\n[a]\r\nj=4\r\n");
    ProfileBatch batch{ProfileFile(file)};
    for (const auto& [section, key] : {std::pair{"A", "k"},
                                       {"A", "j"},
                                       {"B", "k"},
                                       {"Связь", "Имя"},
                                       {"", "top"},
                                       {"B", "none"},
                                       {"A", "k"}}) {
        batch.Ask(section, key);
    }
    EXPECT_EQ(batch.Value("A", "k", "<default>"), "<default>");  // not read yet
    test::OpenCounter opens(file);
    batch.Read();
    EXPECT_EQ(opens.Take(), 1);
    EXPECT_EQ(batch.Value("A", "k", ""), "1");
    EXPECT_EQ(batch.Value("A", "j", ""), "4");
    EXPECT_EQ(batch.Value("B", "k", ""), "3");
    EXPECT_EQ(batch.Value("Связь", "Имя", ""), "Иван");
    EXPECT_EQ(batch.Value("", "top", ""), "0");
    EXPECT_EQ(batch.Value("B", "none", "<default>"), "<default>");
    EXPECT_EQ(batch.Value("B", "j", "<not asked>"), "<not asked>");
    for (const auto& [section, key] : {std::pair{"A", "k"}, {"A", "j"}, {"Связь", "Имя"}}) {
        EXPECT_EQ(batch.Value(section, key, ""), Read(file, section, key));
    }
}

TEST_F(ProfileFileTest, ValuesNeverAddLinesAndBadNamesAreRefused) {
    ProfileFile profile(file);
    profile.WriteString("Cw_Macros", "Macro1", "one\r\n[Evil]\ntwo");
    EXPECT_EQ(ReadBytes(file), "[Cw_Macros]\nMacro1=one  [Evil] two\n");
    profile.WriteString("Cw_Macros", "Macro2", std::string("cut\0here", 8));
    EXPECT_EQ(profile.ReadString("Cw_Macros", "Macro2", ""), "cut");
    for (const char* key : {"a=b", "two\nlines", "", "  ", "[x]"}) {
        EXPECT_THROW(profile.WriteString("S", key, "v"), ProfileWriteError) << key;
    }
    EXPECT_THROW(profile.WriteString("a]b", "k", "v"), ProfileWriteError);
}

TEST_F(ProfileFileTest, LongValuesComeBackCutWithinWholeCharacters) {
    std::string macro;
    for (int i = 0; i < 3000; ++i) macro += (i % 2) ? "я" : "a";  // 2-byte and 1-byte chars
    ProfileFile profile(file);
    profile.WriteString("Cw_Macros", "Macro5", "\"" + macro + "\"");
    EXPECT_NE(ReadBytes(file).find(macro), std::string::npos);  // saved whole
    const std::string back = profile.ReadString("Cw_Macros", "Macro5", "");
    EXPECT_EQ(Utf8Chars(back), kProfileValueMax);
    EXPECT_EQ(back, macro.substr(0, back.size()));
    EXPECT_EQ(back.back(), 'a');  // the 2047th character, whole

    // A cut that falls inside a three-byte character leaves it out rather than splitting it.
    std::string euros(kProfileValueMax + 5, 'x');
    for (std::size_t i = 2040; i < euros.size(); i += 3) euros.replace(i, 1, "€");
    profile.WriteString("S", "k", euros);
    const std::string cut = profile.ReadString("S", "k", "");
    EXPECT_EQ(Utf8Chars(cut), kProfileValueMax);
    EXPECT_TRUE(euros.starts_with(cut));
}

TEST_F(ProfileFileTest, Cp1251FilesAreReadAndWrittenInTheirOwnEncoding) {
    // "Name=Иван" and a comment in code page 1251, as a Windows logger leaves them.
    const std::string before =
        "; \xEA\xEE\xEC\xEC\xE5\xED\xF2\r\n[QSO]\r\nName=\xC8\xE2\xE0\xED\r\n";
    WriteBytes(file, before);
    ProfileFile profile(file);
    EXPECT_EQ(profile.ReadString("QSO", "Name", ""), "Иван");
    profile.WriteString("QSO", "Call", "\"Пётр\"");
    EXPECT_EQ(ReadBytes(file), before + "Call=\"\xCF\xB8\xF2\xF0\"\r\n");
    EXPECT_EQ(profile.ReadString("QSO", "Call", ""), "Пётр");

    // A UTF-8 file stays UTF-8, a new file is UTF-8.
    const std::string utf8File = dir / "utf8.ini";
    ProfileFile fresh(utf8File);
    fresh.WriteString("QSO", "Name", "Пётр");
    EXPECT_EQ(ReadBytes(utf8File), "[QSO]\nName=Пётр\n");
    EXPECT_EQ(fresh.ReadString("QSO", "Name", ""), "Пётр");
}

TEST_F(ProfileFileTest, WritingOneKeyKeepsHowTheOthersRead) {
    // Code page 1251 where the rewritten value holds the only byte that is not UTF-8: "СЁ" is
    // D1 A8, which UTF-8 reads as "Ѩ"; "Ж" is C6.
    struct Case {
        const char* before;
        const char* value;    // written to QSO/Name
        const char* section;  // of the key "Other", read before and after
        const char* other;
    };
    const Case cases[] = {
        {"[QSO]\r\nName=\xC6\r\nOther=\xD1\xA8\r\n", "DL1ABC", "QSO", "СЁ"},
        {"[QSO]\r\nName=\xC6\r\nOther=\xD1\xA8\r\n", "СЁ", "QSO", "СЁ"},
        {"[QSO]\r\nName=\xC6\r\n[\xD1\xA8]\r\nOther=1\r\n", "DL1ABC", "СЁ", "1"},
        {"[QSO]\r\nName=\xC6\r\nOther=plain\r\n", "DL1ABC", "QSO", "plain"},
    };
    for (const Case& c : cases) {
        WriteBytes(file, c.before);
        ProfileFile profile(file);
        ASSERT_EQ(profile.ReadString(c.section, "Other", ""), c.other) << c.before;
        profile.WriteString("QSO", "Name", c.value);
        EXPECT_EQ(profile.ReadString("QSO", "Name", ""), c.value) << c.before;
        EXPECT_EQ(profile.ReadString(c.section, "Other", ""), c.other) << c.before;
    }
    // A file left with nothing but ASCII reads the same either way and gets nothing added.
    EXPECT_EQ(ReadBytes(file), "[QSO]\r\nName=DL1ABC\r\nOther=plain\r\n");
}

TEST_F(ProfileFileTest, ByteOrderMarkIsKeptAndIgnored) {
    WriteBytes(file, "\xEF\xBB\xBF[QSO]\nCall=\"DL1ABC\"\n");
    ProfileFile profile(file);
    EXPECT_EQ(profile.ReadString("qso", "call", ""), "DL1ABC");
    profile.WriteString("QSO", "Name", "\"Hans\"");
    EXPECT_EQ(ReadBytes(file), "\xEF\xBB\xBF[QSO]\nCall=\"DL1ABC\"\nName=\"Hans\"\n");
}

TEST_F(ProfileFileTest, NamesResolveToWorkingCommonOrGivenDirectory) {
    const ScopedEnv common("TELKEY_COMMON_DIR", dir / "common/nested");
    EXPECT_EQ(ResolveProfilePath("loginput.ini"), dir / "common/nested/loginput.ini");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "common/nested"));  // created
    EXPECT_EQ(ResolveProfilePath(".\\Telkey.ini"), "./Telkey.ini");
    EXPECT_EQ(ResolveProfilePath("./Telkey.ini"), "./Telkey.ini");
    EXPECT_EQ(ResolveProfilePath("/etc/x.ini"), "/etc/x.ini");
    EXPECT_EQ(ResolveProfilePath("sub\\dir\\x.ini"), "sub/dir/x.ini");
    EXPECT_EQ(ResolveProfilePath("C:\\Windows\\brixo.ini"), "C:/Windows/brixo.ini");

    {
        const ScopedEnv noCommon("TELKEY_COMMON_DIR", "");
        const ScopedEnv config("XDG_CONFIG_HOME", dir / "config");
        EXPECT_EQ(ResolveProfilePath("brixo.ini"), dir / "config/telkey/brixo.ini");
        const ScopedEnv relative("XDG_CONFIG_HOME", "not/absolute");
        const ScopedEnv home("HOME", dir / "home");
        EXPECT_EQ(ResolveProfilePath("brixo.ini"), dir / "home/.config/telkey/brixo.ini");
    }

    // The working directory, and the common directory that a logger shares.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    ProfileFile(".\\Telkey.ini").WriteString("Qor_Cw", "Speed", "90");
    ProfileFile("loginput.ini").WriteString("QSO", "Call", "\"UA3ABC\"");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(ReadBytes(dir / "Telkey.ini"), "[Qor_Cw]\nSpeed=90\n");
    EXPECT_EQ(Read(dir / "common/nested/loginput.ini", "QSO", "Call"), "UA3ABC");
}

TEST_F(ProfileFileTest, GarbageNeverCrashesOrHangs) {
    std::string garbage;
    for (int i = 0; i < 100000; ++i) garbage += static_cast<char>((i * 7919) % 256);
    garbage += "\n[S]\nk=found\0after\n";
    WriteBytes(file, garbage + std::string("\n[T]\nn=a\0b\n", 11));
    EXPECT_EQ(Read(file, "T", "n"), "a");  // a value ends at a NUL
    EXPECT_EQ(Read(file, "nope", "k"), "<default>");

    // A directory, a FIFO (opening one must not block) and a missing parent give the default;
    // none of them can be written.
    ::mkfifo((dir / "fifo.ini").c_str(), 0600);
    for (const std::string& path : {dir.Path(), dir / "fifo.ini", dir / "no/such/dir.ini"}) {
        EXPECT_EQ(Read(path, "S", "k"), "<default>") << path;
        EXPECT_THROW(ProfileFile(path).WriteString("S", "k", "v"), ProfileWriteError) << path;
    }
}

TEST_F(ProfileFileTest, LargeFileIsReadQuickly) {
    std::string big;
    big.reserve(11 << 20);
    big += "[Filler]\r\n";
    for (int i = 0; big.size() < (10u << 20); ++i) big += "key" + std::to_string(i) + "=value\r\n";
    big += std::string(100000, 'z') + "\r\n[Last]\r\nKey=\"at the end\"\r\n";
    WriteBytes(file, big);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(file, "LAST", "key"), "at the end");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ProfileFile(file).WriteString("Last", "Key", "at the end");
    EXPECT_EQ(ReadBytes(file).size(), big.size() - 2);  // only the quotes went
}

TEST_F(ProfileFileTest, WriteKeepsPermissionsAndFollowsLinks) {
    WriteBytes(file, "[S]\nk=1\n");
    ::chmod(file.c_str(), 0640);
    ProfileFile(file).WriteString("S", "k", "2");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    const std::string link = dir / "link.ini";
    std::filesystem::create_symlink(file, link);
    ProfileFile(link).WriteString("S", "k", "3");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(file), "[S]\nk=3\n");
    EXPECT_EQ(FilesIn(dir.Path()), (std::vector<std::string>{"link.ini", "test.ini"}));
}

// Permissions are checked by a child that runs as an unprivileged user when the tests run as
// root (as they do in CI), so that the checks mean the same everywhere.
class ProfilePermissionTest : public ProfileFileTest {
  protected:
    void SetUp() override {
        ::chmod(dir.Path().c_str(), 0755);
        locked = dir / "locked";
        std::filesystem::create_directory(locked);
        lockedFile = locked + "/loginput.ini";
        WriteBytes(lockedFile, original);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(locked.c_str(), test::kNobodyUid, test::kNobodyUid), 0);
            ASSERT_EQ(::chown(lockedFile.c_str(), test::kNobodyUid, test::kNobodyUid), 0);
        }
    }

    const std::string original = "[QSO]\r\nCall=\"OLD\"\r\n; comment\r\n";
    std::string locked;
    std::string lockedFile;
};

// The file may be writable, but without write permission on its directory no temporary file can
// be made: the write fails with the exact message and the old file stays as it was.
TEST_F(ProfilePermissionTest, DirectoryWithoutWritePermissionFailsCleanly) {
    ::chmod(locked.c_str(), 0555);
    const int status = RunInChild(
        [&] {
            ProfileFile profile(lockedFile);
            if (profile.ReadString("QSO", "Call", "") != "OLD") return 2;
            try {
                profile.WriteString("QSO", "Call", "\"NEW\"");
            } catch (const ProfileWriteError& error) {
                return error.what() == "Unable to write to " + lockedFile ? 0 : 3;
            }
            return 1;
        },
        test::kNobodyUid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadBytes(lockedFile), original);
    EXPECT_EQ(FilesIn(locked), std::vector<std::string>{"loginput.ini"});
}

// A read-only file in a writable directory: the rename could replace it, but must not.
TEST_F(ProfilePermissionTest, ReadOnlyFileIsNotReplaced) {
    ::chmod(lockedFile.c_str(), 0444);
    const int status = RunInChild(
        [&] {
            try {
                ProfileFile(lockedFile).WriteString("QSO", "Call", "\"NEW\"");
            } catch (const ProfileWriteError&) {
                return 0;
            }
            return 1;
        },
        test::kNobodyUid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadBytes(lockedFile), original);
    EXPECT_EQ(FilesIn(locked), std::vector<std::string>{"loginput.ini"});
}

// An unreadable file reads as absent, and cannot be rewritten (its keys would be lost).
TEST_F(ProfilePermissionTest, UnreadableFileGivesDefaultsAndIsNotRewritten) {
    ::chmod(lockedFile.c_str(), 0200);
    const int status = RunInChild(
        [&] {
            ProfileFile profile(lockedFile);
            if (profile.ReadString("QSO", "Call", " ") != " ") return 2;
            try {
                profile.WriteString("QSO", "Name", "\"x\"");
            } catch (const ProfileWriteError&) {
                return 0;
            }
            return 1;
        },
        test::kNobodyUid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadBytes(lockedFile), original);
}

// A full disk in the middle of a save: the keys written before stay written, the failing key
// leaves the file whole, and no temporary file is left behind.
TEST_F(ProfileFileTest, FullDiskLeavesTheOldFileWhole) {
    WriteBytes(file, "[Qor_Cw]\nSpeed=60\n");
    const int status = RunInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{200, 200};  // bytes: room for the first write only
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ProfileFile profile(file);
        profile.WriteString("Qor_Cw", "Speed", "90");
        try {
            profile.WriteString("Cw_Macros", "Macro1", "\"" + std::string(500, 'e') + "\"");
        } catch (const ProfileWriteError& error) {
            return error.what() == "Unable to write to " + file ? 0 : 3;
        }
        return 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadBytes(file), "[Qor_Cw]\nSpeed=90\n");
    EXPECT_EQ(FilesIn(dir.Path()), std::vector<std::string>{"test.ini"});
}

}  // namespace
}  // namespace telkey
