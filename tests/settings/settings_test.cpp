// The settings store: statuses, value forms, the file format, refused texts, failures, and
// writers in many threads and processes (one of them killed mid-write).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UMDBase.h"
#include "settings/UMDSettings.h"

namespace fs = std::filesystem;

namespace {

// A kernel whose only part the store uses is GetApplicationDir.
class TDirKernel final : public IMDKernel {
 public:
  explicit TDirKernel(std::u16string dir) : Dir(std::move(dir)) {}
  std::u16string Dir;

  HRESULT MDCALL QueryInterface(const GUID&, void** obj) override {
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t MDCALL AddRef() override { return 1; }
  uint32_t MDCALL Release() override { return 1; }
  HRESULT MDCALL HandleMessage(const TMDMessage*) override { return S_OK; }
  HRESULT MDCALL GetKernelInfo(TMDKernelInfo*) override { return S_OK; }
  HRESULT MDCALL GetKernelValue(int32_t*) override { return S_OK; }
  HRESULT MDCALL GetApplicationDir(const char16_t** dir) override {
    *dir = Dir.c_str();
    return S_OK;
  }
  HRESULT MDCALL GetApplication(void**) override { return S_OK; }
  HRESULT MDCALL GetInstance(MDHANDLE*) override { return S_OK; }
  HRESULT MDCALL GetMainWindow(MDHANDLE*) override { return S_OK; }
  HRESULT MDCALL SetState(int32_t) override { return S_OK; }
  HRESULT MDCALL RegisterModule(IMDModule*) override { return S_OK; }
  HRESULT MDCALL UnregisterModule(IMDModule*) override { return S_OK; }
  HRESULT MDCALL UnregisterAllModules() override { return S_OK; }
  HRESULT MDCALL Synchronize(TMDMethod) override { return S_OK; }
};

TComPtr<IMDSettings> MakeStore(IMDKernel* kernel) {
  auto writer = std::make_unique<TINIWriter>(kernel);
  auto store = TComPtr<IMDSettings>::Query(writer.get());
  if (store) writer.release();
  return store;
}

std::u16string U16(const std::string& utf8) { return MDToUtf16(utf8); }

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spit(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "midavo-settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
    Kernel = std::make_unique<TDirKernel>(U16(Dir.string()));
    Store = MakeStore(Kernel.get());
    ASSERT_TRUE(Store);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(Ini(), fs::perms::owner_all, ec);
    fs::remove_all(Dir, ec);
  }

  fs::path Ini() const { return Dir / "settings.ini"; }

  // ReadString as a copy, with its status.
  std::pair<HRESULT, std::u16string> Read(IMDSettings* store, const char16_t* section,
                                          const char16_t* key, const char16_t* def = u"") {
    const char16_t* out = nullptr;
    const HRESULT hr = store->ReadString(section, key, def, &out);
    return {hr, out ? std::u16string(out) : std::u16string(u"<nil>")};
  }
  std::pair<HRESULT, std::u16string> Read(const char16_t* section, const char16_t* key,
                                          const char16_t* def = u"") {
    return Read(Store.Get(), section, key, def);
  }

  fs::path Dir;
  std::unique_ptr<TDirKernel> Kernel;
  TComPtr<IMDSettings> Store;
};

// ---------------------------------------------------------------------------------------------
// Statuses and value forms
// ---------------------------------------------------------------------------------------------

TEST_F(SettingsTest, ReadStringAnswersOkOnlyWhenTheStoredTextDiffersFromTheDefault) {
  Spit(Ini(), "[S]\nabc=abc\nupper=ABC\nempty=\n");
  struct Case {
    const char16_t* section;
    const char16_t* key;
    const char16_t* def;
    HRESULT hr;
    std::u16string text;
  } cases[] = {
      {u"S", u"abc", u"abc", S_FALSE, u"abc"},       {u"S", u"abc", u"xyz", S_OK, u"abc"},
      {u"S", u"upper", u"abc", S_OK, u"ABC"},  // texts compare byte for byte
      {u"S", u"empty", u"", S_FALSE, u""},           {u"S", u"empty", u"x", S_OK, u""},
      {u"S", u"missing", u"dflt", S_FALSE, u"dflt"}, {u"Other", u"abc", u"dflt", S_FALSE, u"dflt"},
      {u"S", u"missing", nullptr, S_FALSE, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(MDToUtf8(c.key) + " default " + MDToUtf8(c.def));
    EXPECT_EQ(Read(c.section, c.key, c.def), std::make_pair(c.hr, c.text));
  }
}

TEST_F(SettingsTest, ReadIntegerParsesDecimalAndBothHexForms) {
  struct Case {
    std::string stored;  // "<absent>": no such key
    int32_t expected;
  } cases[] = {
      {"0x1F", 31},
      {"0X1f", 31},
      {"$1F", 31},
      {"-5", -5},
      {"+7", 7},
      {" 42 ", 42},
      {"0", 0},
      {"0010", 10},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"0xFFFFFFFF", -1},
      {"$80000000", INT32_MIN},
      // Not a whole number, or out of range: the default.
      {"12abc", 77},
      {"", 77},
      {"<absent>", 77},
      {"0x", 77},
      {"$", 77},
      {"0x1G", 77},
      {"1 2", 77},
      {"-", 77},
      {"2147483648", 77},
      {"-2147483649", 77},
      {"0x100000000", 77},
      {"99999999999999999999", 77},
      {"1.5", 77},
      {"-0x1F", 77},
  };
  std::string file = "[Int]\n";
  for (size_t i = 0; i < std::size(cases); ++i)
    if (cases[i].stored != "<absent>")
      file += "k" + std::to_string(i) + "=" + cases[i].stored + "\n";
  Spit(Ini(), file);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("stored \"" + cases[i].stored + "\"");
    int32_t value = 0;
    EXPECT_EQ(Store->ReadInteger(u"Int", U16("k" + std::to_string(i)).c_str(), 77, &value),
              S_FALSE);
    EXPECT_EQ(value, cases[i].expected);
  }
}

TEST_F(SettingsTest, BooleansReadAsMinusOneOrZeroAndAreWrittenAsDigits) {
  Spit(Ini(), "[B]\ntwo=2\nzero=0\nword=yes\n");
  struct Case {
    const char16_t* key;
    BOOL32 def;
    BOOL32 expected;
  } cases[] = {
      {u"two", 0, -1},    {u"zero", -1, 0}, {u"missing", -1, -1}, {u"missing", 1, -1},
      {u"missing", 0, 0}, {u"word", 5, -1}, {u"word", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(MDToUtf8(c.key) + " default " + std::to_string(c.def));
    BOOL32 value = 123;
    EXPECT_EQ(Store->ReadBool(u"B", c.key, c.def, &value), S_FALSE);
    EXPECT_EQ(value, c.expected);
  }

  EXPECT_EQ(Store->WriteBool(u"W", u"five", 5), S_OK);
  EXPECT_EQ(Store->WriteBool(u"W", u"true", MD_TRUE), S_OK);
  EXPECT_EQ(Store->WriteBool(u"W", u"false", MD_FALSE), S_OK);
  EXPECT_EQ(Store->WriteInteger(u"W", u"int", -17), S_OK);
  EXPECT_EQ(Store->WriteInteger(u"W", u"min", INT32_MIN), S_OK);
  EXPECT_EQ(
      Slurp(Ini()),
      "[B]\ntwo=2\nzero=0\nword=yes\n\n[W]\nfive=1\ntrue=1\nfalse=0\nint=-17\nmin=-2147483648\n");
  int32_t min = 0;
  EXPECT_EQ(Store->ReadInteger(u"W", u"min", 0, &min), S_FALSE);
  EXPECT_EQ(min, INT32_MIN);
}

TEST_F(SettingsTest, LongValuesAreCutTo2047CharactersWithoutSplittingOne) {
  auto repeat = [](const std::string& s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  struct Case {
    const char* name;
    std::string stored;
    std::string expected;
  } cases[] = {
      {"ascii", repeat("a", 3000), repeat("a", 2047)},
      {"exactly the limit", repeat("b", 2047), repeat("b", 2047)},
      {"two-byte characters", repeat("\xC3\xA9", 3000), repeat("\xC3\xA9", 2047)},
      {"four-byte characters", repeat("\xF0\x9F\x98\x80", 2100), repeat("\xF0\x9F\x98\x80", 2047)},
      {"cut right after a three-byte one", repeat("a", 2046) + repeat("\xE2\x82\xAC", 3),
       repeat("a", 2046) + "\xE2\x82\xAC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Store->WriteString(u"Long", u"value", U16(c.stored).c_str()), S_OK);
    EXPECT_EQ(Read(u"Long", u"value"), std::make_pair(S_OK, U16(c.expected)));
  }
}

TEST_F(SettingsTest, QuotesAndBlanksAroundValuesAndNamesAreNotPartOfThem) {
  Spit(Ini(),
       "[Q]\n"
       "double=\"quoted text\"\n"
       "single='single'\n"
       "mixed=\"mixed'\n"
       "inner=a \"b\" c\n"
       "padded =   \" keep me \"   \n"
       "lone=\"\n"
       "twice=\"\"x\"\"\n"
       "  spaced key  \t=\tvalue\t\n");
  struct Case {
    const char16_t* key;
    std::u16string expected;
  } cases[] = {
      {u"double", u"quoted text"}, {u"single", u"single"},    {u"mixed", u"\"mixed'"},
      {u"inner", u"a \"b\" c"},    {u"padded", u" keep me "}, {u"lone", u"\""},
      {u"twice", u"\"x\""},        {u"spaced key", u"value"}, {u" spaced key ", u"value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(MDToUtf8(c.key));
    EXPECT_EQ(Read(u"Q", c.key).second, c.expected);
  }
}

TEST_F(SettingsTest, EveryTextSurvivesARoundTrip) {
  const std::u16string values[] = {
      u"plain",
      u"",
      u"  leading and trailing blanks  ",
      u"\ttab",
      u"\"quoted\"",
      u"'single'",
      u"\"",
      u"a=b=c ; not a comment [x]",
      u"Gr\u00FC\u00DFe, \u65E5\u672C\u8A9E, \U0001F600, \u0645\u0631\u062D\u0628\u0627",
  };
  for (size_t i = 0; i < std::size(values); ++i) {
    SCOPED_TRACE(MDToUtf8(values[i]));
    const std::u16string key = u"k" + U16(std::to_string(i));
    ASSERT_EQ(Store->WriteString(u"Round", key.c_str(), values[i].c_str()), S_OK);
    EXPECT_EQ(Read(u"Round", key.c_str(), u"<default>").second, values[i]);
  }
  // Non-ASCII section and key names, found again with other ASCII letter case.
  ASSERT_EQ(Store->WriteString(u"Gr\u00F6\u00DFe", u"Schl\u00FCssel", u"wert"), S_OK);
  EXPECT_EQ(Read(u"GR\u00F6\u00DFE", u"SCHL\u00FCSSEL"),
            std::make_pair(S_OK, std::u16string(u"wert")));
}

// ---------------------------------------------------------------------------------------------
// The file format
// ---------------------------------------------------------------------------------------------

TEST_F(SettingsTest, NamesMatchWithoutRegardToCaseAndAWriteUpdatesTheStoredLine) {
  ASSERT_EQ(Store->WriteString(u"Kernel.Init", u"LastStarted", u"10:00:00"), S_OK);
  EXPECT_EQ(Read(u"KERNEL.INIT", u"laststarted"),
            std::make_pair(S_OK, std::u16string(u"10:00:00")));
  ASSERT_EQ(Store->WriteString(u"kernel.init", u"LASTSTARTED", u"11:00:00"), S_OK);
  ASSERT_EQ(Store->WriteString(u" Kernel.Init ", u" LastStarted\t", u"12:00:00"), S_OK);
  EXPECT_EQ(Slurp(Ini()), "[Kernel.Init]\nLastStarted=12:00:00\n");
}

TEST_F(SettingsTest, HandWrittenCrlfFileWithByteOrderMarkIsReadAndEditedInPlace) {
  const std::string bom = "\xEF\xBB\xBF";
  Spit(Ini(), bom +
                  "; Midavo settings\r\n"
                  "[Kernel.Init]\r\n"
                  "LastStarted = 10:00:00 \r\n"
                  "\r\n"
                  "[Input.Keyboard]\r\n"
                  "2561=Ctrl + P\r\n"
                  "2562=\"Ctrl + S\"");
  EXPECT_EQ(Read(u"Kernel.Init", u"LastStarted"),
            std::make_pair(S_OK, std::u16string(u"10:00:00")));
  EXPECT_EQ(Read(u"Input.Keyboard", u"2561"), std::make_pair(S_OK, std::u16string(u"Ctrl + P")));
  EXPECT_EQ(Read(u"Input.Keyboard", u"2562"), std::make_pair(S_OK, std::u16string(u"Ctrl + S")));

  ASSERT_EQ(Store->WriteString(u"Kernel.Init", u"LastStopped", u"11:00:00"), S_OK);
  ASSERT_EQ(Store->WriteString(u"Input.Keyboard", u"2561", u"Ctrl + Q"), S_OK);
  ASSERT_EQ(Store->WriteString(u"Input.Keyboard", u"2563", u""), S_OK);
  EXPECT_EQ(Slurp(Ini()), bom +
                              "; Midavo settings\r\n"
                              "[Kernel.Init]\r\n"
                              "LastStarted = 10:00:00 \r\n"
                              "LastStopped=11:00:00\n"
                              "\r\n"
                              "[Input.Keyboard]\r\n"
                              "2561=Ctrl + Q\r\n"
                              "2562=\"Ctrl + S\"\n"
                              "2563=\n");
}

TEST_F(SettingsTest, WritesKeepCommentsAndUnknownLinesAndPlaceNewKeysInTheirSection) {
  Spit(Ini(),
       "; header comment\n"
       "orphan=before any section\n"
       "[A]\n"
       "x=1\n"
       "not a key line\n"
       "x=second x is shadowed\n"
       "=no name\n"
       "; closing comment of A\n"
       "\n"
       "[B]\n"
       "; B has no keys yet\n"
       "\n"
       "[a]\n"
       "y=in a second section named a\n"
       "[D]\n"
       "[broken\n"
       "z=1");
  EXPECT_EQ(Read(u"A", u"x").second, u"1");
  EXPECT_EQ(Read(u"A", u"y", u"absent").second, u"absent");  // only the first [A] counts
  EXPECT_EQ(Read(u"A", u"orphan", u"absent").second, u"absent");
  EXPECT_EQ(Read(u"d", u"z").second, u"1");  // "[broken" is no header

  ASSERT_EQ(Store->WriteString(u"A", u"x", u"one"), S_OK);
  ASSERT_EQ(Store->WriteString(u"A", u"new", u"n"), S_OK);
  ASSERT_EQ(Store->WriteString(u"B", u"b", u"2"), S_OK);
  ASSERT_EQ(Store->WriteString(u"C", u"c", u"3"), S_OK);
  EXPECT_EQ(Slurp(Ini()),
            "; header comment\n"
            "orphan=before any section\n"
            "[A]\n"
            "x=one\n"
            "not a key line\n"
            "x=second x is shadowed\n"
            "new=n\n"
            "=no name\n"
            "; closing comment of A\n"
            "\n"
            "[B]\n"
            "b=2\n"
            "; B has no keys yet\n"
            "\n"
            "[a]\n"
            "y=in a second section named a\n"
            "[D]\n"
            "[broken\n"
            "z=1\n"
            "\n"
            "[C]\n"
            "c=3\n");
}

TEST_F(SettingsTest, TextsThatCannotBeStoredFaithfullyAreRefusedWithoutWriting) {
  const std::string original = "[S]\nk=v\n";
  const char16_t lone[] = {u'a', 0xD800, u'b', 0};
  struct Case {
    const char* why;
    const char16_t* section;
    const char16_t* key;
    const char16_t* value;  // nil: the fault is in section or key, tried with every write
  } cases[] = {
      {"LF in value", u"S", u"k", u"two\nlines"},
      {"CR in value", u"S", u"k", u"two\rlines"},
      {"unpaired surrogate in value", u"S", u"k", lone},
      {"LF in key", u"S", u"k\nx", nullptr},
      {"CR in section", u"S\r", u"k", nullptr},
      {"= in key", u"S", u"a=b", nullptr},
      {"] in section", u"S]x", u"k", nullptr},
      {"empty key", u"S", u"", nullptr},
      {"blank key", u"S", u" \t ", nullptr},
      {"nil key", u"S", nullptr, nullptr},
      {"blank section", u"  ", u"k", nullptr},
      {"key that reads as a section", u"S", u"[T]", nullptr},
      {"key that reads as a comment", u"S", u";k", nullptr},
      {"unpaired surrogate in key", u"S", lone, nullptr},
  };
  for (bool fileExists : {true, false}) {
    if (fileExists) Spit(Ini(), original);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.why) + (fileExists ? "" : ", no file yet"));
      if (c.value) {
        EXPECT_EQ(Store->WriteString(c.section, c.key, c.value), E_UNEXPECTED);
      } else {
        EXPECT_EQ(Store->WriteString(c.section, c.key, u"v"), E_UNEXPECTED);
        EXPECT_EQ(Store->WriteInteger(c.section, c.key, 1), E_UNEXPECTED);
        EXPECT_EQ(Store->WriteBool(c.section, c.key, 1), E_UNEXPECTED);
      }
      if (fileExists)
        EXPECT_EQ(Slurp(Ini()), original);
      else
        EXPECT_FALSE(fs::exists(Ini()));
    }
    fs::remove(Ini());
  }
}

// ---------------------------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------------------------

TEST_F(SettingsTest, ReadOnlyFileRefusesWritesAndStillReads) {
  const std::string original = "[S]\nk=v\n";
  Spit(Ini(), original);
  fs::permissions(Ini(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Store->WriteString(u"S", u"k", u"changed"), E_UNEXPECTED);
  EXPECT_EQ(Store->WriteString(u"S", u"new", u"x"), E_UNEXPECTED);
  EXPECT_EQ(Store->WriteBool(u"S", u"k", 1), E_UNEXPECTED);
  EXPECT_EQ(Slurp(Ini()), original);
  EXPECT_EQ(fs::status(Ini()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Read(u"S", u"k"), std::make_pair(S_OK, std::u16string(u"v")));
}

TEST_F(SettingsTest, MissingFolderReadsDefaultsAndRefusesWrites) {
  TDirKernel gone(U16((Dir / "no" / "such").string()));
  auto store = MakeStore(&gone);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->WriteString(u"S", u"k", u"v"), E_UNEXPECTED);
  EXPECT_EQ(store->WriteInteger(u"S", u"k", 1), E_UNEXPECTED);
  EXPECT_FALSE(fs::exists(Dir / "no"));
  EXPECT_EQ(Read(store.Get(), u"S", u"k", u"dflt"),
            std::make_pair(S_FALSE, std::u16string(u"dflt")));
  int32_t i = 0;
  EXPECT_EQ(store->ReadInteger(u"S", u"k", 9, &i), S_FALSE);
  EXPECT_EQ(i, 9);
}

TEST_F(SettingsTest, UnreadableFileFailsWithTheDefault) {
  fs::create_directory(Ini());  // a folder where the file should be
  const char16_t* def = u"dflt";
  const char16_t* out = nullptr;
  EXPECT_EQ(Store->ReadString(u"S", u"k", def, &out), E_FAIL);
  EXPECT_EQ(out, def);
  int32_t i = 0;
  EXPECT_EQ(Store->ReadInteger(u"S", u"k", 9, &i), E_FAIL);
  EXPECT_EQ(i, 9);
  BOOL32 b = 0;
  EXPECT_EQ(Store->ReadBool(u"S", u"k", 5, &b), E_FAIL);
  EXPECT_EQ(b, 5);
  EXPECT_EQ(Store->WriteString(u"S", u"k", u"v"), E_UNEXPECTED);
  EXPECT_TRUE(fs::is_directory(Ini()));

  // A store without a kernel has no file at all.
  auto orphan = MakeStore(nullptr);
  ASSERT_TRUE(orphan);
  EXPECT_EQ(orphan->ReadString(u"S", u"k", def, &out), E_FAIL);
  EXPECT_EQ(out, def);
  EXPECT_EQ(orphan->WriteBool(u"S", u"k", 1), E_UNEXPECTED);
}

TEST_F(SettingsTest, RewriteKeepsTheFileModeAndFollowsALink) {
  Spit(Ini(), "[S]\nk=v\n");
  ::chmod(Ini().c_str(), 0640);
  ASSERT_EQ(Store->WriteString(u"S", u"k", u"w"), S_OK);
  struct stat st {};
  ASSERT_EQ(::stat(Ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // settings.ini as a link to a file elsewhere: the target changes, the link stays.
  fs::create_directory(Dir / "real");
  Spit(Dir / "real" / "target.ini", "[S]\nk=old\n");
  ::chmod((Dir / "real" / "target.ini").c_str(), 0604);
  fs::remove(Ini());
  fs::create_symlink(Dir / "real" / "target.ini", Ini());
  ASSERT_EQ(Store->WriteString(u"S", u"k", u"new"), S_OK);
  EXPECT_TRUE(fs::is_symlink(Ini()));
  EXPECT_EQ(Slurp(Dir / "real" / "target.ini"), "[S]\nk=new\n");
  ASSERT_EQ(::stat((Dir / "real" / "target.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

// ---------------------------------------------------------------------------------------------
// The object
// ---------------------------------------------------------------------------------------------

TEST_F(SettingsTest, AnswersSettingsAndIUnknownButNotMessageSink) {
  void* out = this;
  EXPECT_EQ(Store->QueryInterface(IID_IMDMessageSink, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Store->QueryInterface(IID_IMDKernel, &out), E_NOINTERFACE);
  auto unknown = TComPtr<IUnknown>::Query(Store.Get());
  auto again = TComPtr<IMDSettings>::Query(unknown.Get());
  EXPECT_EQ(again.Get(), Store.Get());
  TMDMessage msg{};
  msg.Msg = MDM_SHUTDOWN;
  EXPECT_EQ(Store->HandleMessage(&msg), S_OK);
}

TEST_F(SettingsTest, FilePathIsTakenOnceFromTheApplicationFolder) {
  TDirKernel root(u"/");
  TINIWriter atRoot(&root);
  EXPECT_EQ(atRoot.FileName(), u"/settings.ini");

  // Changing the folder afterwards does not move the file.
  TDirKernel moving(U16(Dir.string()));
  auto store = MakeStore(&moving);
  fs::create_directory(Dir / "elsewhere");
  moving.Dir = U16((Dir / "elsewhere").string());
  ASSERT_EQ(store->WriteString(u"S", u"k", u"v"), S_OK);
  EXPECT_TRUE(fs::exists(Ini()));
  EXPECT_FALSE(fs::exists(Dir / "elsewhere" / "settings.ini"));
}

TEST_F(SettingsTest, ReadTextStaysValidUntilTheSameThreadCallsAgain) {
  Spit(Ini(), "[S]\nmine=first thread's text\nother=another text\n");
  const char16_t* mine = nullptr;
  ASSERT_EQ(Store->ReadString(u"S", u"mine", u"", &mine), S_OK);

  // Reads on another thread and on another store leave this thread's text alone.
  std::thread([&] {
    for (int i = 0; i < 20; ++i) {
      const char16_t* other = nullptr;
      EXPECT_EQ(Store->ReadString(u"S", u"other", u"", &other), S_OK);
      EXPECT_EQ(std::u16string(other), u"another text");
    }
  }).join();
  auto second = MakeStore(Kernel.get());
  EXPECT_EQ(Read(second.Get(), u"S", u"other").second, u"another text");
  EXPECT_EQ(std::u16string(mine), u"first thread's text");
}

// ---------------------------------------------------------------------------------------------
// Many writers
// ---------------------------------------------------------------------------------------------

std::u16string KeyOf(const std::string& prefix, int i) { return U16(prefix + std::to_string(i)); }

TEST_F(SettingsTest, ConcurrentThreadsLoseNoWrite) {
  constexpr int kThreads = 8, kWrites = 200;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      // Half of the threads use their own store object, as separate components do.
      TComPtr<IMDSettings> store = t % 2 ? MakeStore(Kernel.get()) : Store;
      for (int i = 0; i < kWrites; ++i) {
        if (store->WriteInteger(u"Threads", KeyOf("t" + std::to_string(t) + "_", i).c_str(),
                                t * 1000 + i) != S_OK)
          ++failures;
        if (i % 50 == 0) {
          int32_t v = -1;
          store->ReadInteger(u"Threads", KeyOf("t" + std::to_string(t) + "_", i).c_str(), -1, &v);
          if (v != t * 1000 + i) ++failures;
        }
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kWrites; ++i) {
      int32_t v = -1;
      Store->ReadInteger(u"Threads", KeyOf("t" + std::to_string(t) + "_", i).c_str(), -1, &v);
      ASSERT_EQ(v, t * 1000 + i) << "thread " << t << " write " << i;
    }
}

TEST_F(SettingsTest, ConcurrentProcessesLoseNoWrite) {
  constexpr int kProcesses = 3, kWrites = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Each process has its own store, so only the file lock keeps them apart.
      TDirKernel kernel(U16(Dir.string()));
      auto store = MakeStore(&kernel);
      int bad = 0;
      for (int i = 0; i < kWrites; ++i)
        if (store->WriteInteger(u"Processes", KeyOf("p" + std::to_string(p) + "_", i).c_str(), i) !=
            S_OK)
          ++bad;
      store = nullptr;
      ::_exit(bad ? 1 : 0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < kProcesses; ++p)
    for (int i = 0; i < kWrites; ++i) {
      int32_t v = -1;
      Store->ReadInteger(u"Processes", KeyOf("p" + std::to_string(p) + "_", i).c_str(), -1, &v);
      ASSERT_EQ(v, i) << "process " << p << " write " << i;
    }
}

TEST_F(SettingsTest, WriterKilledMidWriteLeavesEveryAcknowledgedWrite) {
  std::random_device seedSource;
  const unsigned seed = seedSource();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const fs::path folder = Dir / ("round" + std::to_string(round));
    fs::create_directory(folder);
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(acks[0]);
      TDirKernel kernel(U16(folder.string()));
      auto store = MakeStore(&kernel);
      for (int32_t i = 0; i < 100000; ++i) {
        const std::u16string value = KeyOf("v", i) + u"-" + std::u16string(i % 40, u'x');
        if (store->WriteString(u"Run", KeyOf("k", i).c_str(), value.c_str()) != S_OK) ::_exit(2);
        if (::write(acks[1], &i, sizeof i) != sizeof i) ::_exit(3);
      }
      ::_exit(0);
    }
    ::close(acks[1]);

    // Let a random number of writes through, then kill the writer at a random moment.
    const int32_t before = std::uniform_int_distribution<int32_t>(5, 60)(random);
    int32_t last = -1, i = 0;
    while (last < before && ::read(acks[0], &i, sizeof i) == sizeof i) last = i;
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";
    for (ssize_t n; (n = ::read(acks[0], &i, sizeof i)) != 0;)
      if (n == sizeof i) last = i;
    ::close(acks[0]);
    ASSERT_GE(last, before);

    // The file holds whole lines only, and every acknowledged write.
    const std::string text = Slurp(folder / "settings.ini");
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "[Run]");
    int keys = 0;
    while (std::getline(lines, line)) {
      const std::string expected = "k" + std::to_string(keys) + "=v" + std::to_string(keys) + "-" +
                                   std::string(keys % 40, 'x');
      EXPECT_EQ(line, expected);
      ++keys;
    }
    EXPECT_GE(keys, last + 1);
    EXPECT_LE(keys, last + 2);  // at most the write in flight got through

    // The dead writer's lock is gone: another writer gets through.
    TDirKernel kernel(U16(folder.string()));
    auto store = MakeStore(&kernel);
    EXPECT_EQ(store->WriteString(u"After", u"k", u"v"), S_OK);
    EXPECT_EQ(Read(store.Get(), u"Run", KeyOf("k", last).c_str()).first, S_OK);
  }
}

}  // namespace
