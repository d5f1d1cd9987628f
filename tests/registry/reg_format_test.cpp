// Tests of the store's text format: what is accepted, what is rejected and
// that writing and reading back keeps every value.
#include "common/registry/reg_format.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>

namespace mdl {
namespace {

const std::string kHead = "Windows Registry Editor Version 5.00\n\n";

TEST(RegFormat, LiberalInputsLoadTheirStringValues) {
  struct Case {
    const char* what;
    std::string text;
    std::string name;
    std::string data;
    size_t warnings;
  };
  const Case cases[] = {
      {"plain", kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"a\"=\"1\"\n", "a", "1", 0},
      {"CRLF line ends",
       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\X]\r\n"
       "\"a\"=\"1\"\r\n",
       "a", "1", 0},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF" + kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"a\"=\"1\"\n",
       "a", "1", 0},
      {"REGEDIT4 header", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\X]\n\"a\"=\"1\"\n", "a", "1", 0},
      {"comment and blanks", kHead + "; note\n  \n[HKEY_LOCAL_MACHINE\\Software\\X]\n  \"a\" = \"1\"  \n",
       "a", "1", 0},
      {"lower-case hive", kHead + "[hkey_local_machine\\Software\\X]\n\"a\"=\"1\"\n", "a", "1", 0},
      {"default value", kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n@=\"d\"\n", "", "d", 0},
      {"escapes", kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"a\\\"b\"=\"c:\\\\d \\\"q\\\"\"\n", "a\"b",
       "c:\\d \"q\"", 0},
      {"unknown escape kept", kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"a\"=\"C:\\Program\"\n", "a",
       "C:\\Program", 0},
      {"dword beside", kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"n\"=dword:0000001f\n\"a\"=\"1\"\n", "a",
       "1", 0},
      {"hex over lines beside",
       kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"h\"=hex(2):41,00,\\\n  42,00\n\"a\"=\"1\"\n", "a", "1",
       0},
      {"repeated value takes the last data",
       kHead + "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"a\"=\"0\"\n\"a\"=\"1\"\n", "a", "1", 1},
  };
  for (const Case& c : cases) {
    RegParseResult parsed = ParseRegFile(c.text);
    ASSERT_TRUE(parsed.ok) << c.what << ": rejected at line " << parsed.error_line << ": " << parsed.error;
    ASSERT_EQ(parsed.data.keys.size(), 1u) << c.what;
    const RegKey& key = parsed.data.keys[0];
    EXPECT_EQ(key.hive, Hive::kLocalMachine) << c.what;
    EXPECT_EQ(key.sub_key, "Software\\X") << c.what;
    ASSERT_EQ(
        std::count_if(key.values.begin(), key.values.end(), [](const RegValue& v) { return v.is_string(); }),
        1)
        << c.what << ": expected exactly one string value";
    EXPECT_EQ(key.values.back().name, c.name) << c.what;
    EXPECT_EQ(key.values.back().data, c.data) << c.what;
    EXPECT_EQ(parsed.warnings.size(), c.warnings) << c.what << ": repeated values must be warned about";
  }
}

TEST(RegFormat, GarbageIsRejectedWithItsLineAndNothingLoaded) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\X]\n\"ok\"=\"1\"\n";
  struct Case {
    const char* what;
    std::string text;
    size_t line;
  };
  const Case cases[] = {
      {"no header", "[HKEY_LOCAL_MACHINE\\X]\n", 1},
      {"binary",
       std::string("\x7f"
                   "ELF\x02\x01",
                   6),
       1},
      {"UTF-16", "\xFF\xFEW\0i\0", 1},
      {"value before key", kHead + "\"a\"=\"1\"\n", 3},
      {"unterminated data", kHead + key + "\"a\"=\"1\n", 5},
      {"unterminated name", kHead + key + "\"a=\"1\n", 5},
      {"missing =", kHead + key + "\"a\" \"1\"\n", 5},
      {"text after data", kHead + key + "\"a\"=\"1\" x\n", 5},
      {"unknown hive", kHead + "[HKEY_NOWHERE\\X]\n", 3},
      {"key without ]", kHead + "[HKEY_LOCAL_MACHINE\\X\n", 3},
      {"key deletion", kHead + "[-HKEY_LOCAL_MACHINE\\X]\n", 3},
      {"value deletion", kHead + key + "\"a\"=-\n", 5},
      {"bad dword", kHead + key + "\"a\"=dword:xyz\n", 5},
      {"stray text", kHead + key + "hello\n", 5},
      {"NUL in data", kHead + key + std::string("\"a\"=\"1\0\"\n", 9), 5},
      {"carriage return inside a line", kHead + key + "\"a\"=\"1\r2\"\n", 5},
      {"hex running off the end", kHead + key + "\"h\"=hex:41,\\", 5},
  };
  for (const Case& c : cases) {
    RegParseResult parsed = ParseRegFile(c.text);
    EXPECT_FALSE(parsed.ok) << c.what << ": garbage was accepted";
    EXPECT_EQ(parsed.error_line, c.line) << c.what << ": wrong line reported (" << parsed.error << ")";
    EXPECT_FALSE(parsed.error.empty()) << c.what << ": no reason given";
    EXPECT_TRUE(parsed.data.keys.empty()) << c.what << ": a rejected file was half loaded";
  }
}

TEST(RegFormat, EmptyFileIsAnEmptyStore) {
  for (std::string text : {std::string(), std::string("\xEF\xBB\xBF")}) {
    RegParseResult parsed = ParseRegFile(text);
    EXPECT_TRUE(parsed.ok) << "an empty file must load as an empty store";
    EXPECT_TRUE(parsed.data.keys.empty());
  }
}

TEST(RegFormat, RepeatedKeysMergeWithoutRegardToCase) {
  RegParseResult parsed = ParseRegFile(kHead +
                                       "[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\n\n"
                                       "[HKEY_CURRENT_USER\\Software\\A]\n\"x\"=\"u\"\n\n"
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\a]\n\"y\"=\"2\"\n\"x\"=\"3\"\n");
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.data.keys.size(), 2u) << "same path in two hives are two keys";
  const RegKey& key = parsed.data.keys[0];
  EXPECT_EQ(key.sub_key, "Software\\A") << "the first spelling of a key is kept";
  ASSERT_EQ(key.values.size(), 2u);
  EXPECT_EQ(key.values[0], (RegValue{"x", "3"})) << "a repeated value keeps its place";
  EXPECT_EQ(key.values[1], (RegValue{"y", "2"}));
}

TEST(RegFormat, SerialisedTextIsCanonicalAndReadsBackTheSame) {
  RegData data;
  RegKey& server = data.AddKey(Hive::kLocalMachine, "Software\\Meridel Server");
  RegData::SetValue(server, "Settings", "YES:59:Minutes/s:NA:36");
  RegData::SetValue(server, "q\"uote", "back\\slash \"both\"\\");
  RegData::SetValue(server, "", "default");
  data.AddKey(Hive::kUsers, "");
  RegData::SetValue(data.AddKey(Hive::kCurrentUser, "a]b\\[c"), "n", "");

  const std::string text = SerializeRegFile(data);
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Meridel Server]\n"
            "\"Settings\"=\"YES:59:Minutes/s:NA:36\"\n"
            "\"q\\\"uote\"=\"back\\\\slash \\\"both\\\"\\\\\"\n"
            "@=\"default\"\n\n"
            "[HKEY_USERS]\n\n"
            "[HKEY_CURRENT_USER\\a]b\\[c]\n"
            "\"n\"=\"\"\n\n");
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << "own output rejected at line " << parsed.error_line << ": " << parsed.error;
  EXPECT_EQ(parsed.data, data) << "values changed on the way through the file";
}

// An administrator's notes stay where they were written across every save.
TEST(RegFormat, CommentLinesStayBeforeWhatTheyStoodBefore) {
  const std::string text = kHead +
                           "; the server of building 4\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
                           "\"a\"=\"1\"\n"
                           "  ; Daytime on for the old PLCs\n"
                           "; (ticket 1234)\n"
                           "\"b\"=\"2\"\n\n"
                           "; a note about the repeat\n"
                           "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
                           "; the end\n";
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.data.keys.size(), 1u);
  const RegKey& key = parsed.data.keys[0];
  EXPECT_EQ(key.comments, "; the server of building 4\n; a note about the repeat\n");
  ASSERT_EQ(key.values.size(), 2u);
  EXPECT_EQ(key.values[0].comments, "");
  EXPECT_EQ(key.values[1].comments, "; Daytime on for the old PLCs\n; (ticket 1234)\n");
  EXPECT_EQ(parsed.data.trailing_comments, "; the end\n");
  RegData changed = parsed.data;
  RegData::SetValue(changed.keys[0], "b", "3");
  const std::string written = SerializeRegFile(changed);
  EXPECT_EQ(written, kHead +
                         "; the server of building 4\n; a note about the repeat\n"
                         "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
                         "\"a\"=\"1\"\n"
                         "; Daytime on for the old PLCs\n; (ticket 1234)\n"
                         "\"b\"=\"3\"\n\n"
                         "; the end\n");
  RegParseResult again = ParseRegFile(written);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.data, changed) << "comments moved on the way through the file";
}

TEST(RegFormat, HiveNamesMapBothWays) {
  const std::pair<const char*, Hive> table[] = {
      {"HKEY_CLASSES_ROOT", Hive::kClassesRoot},
      {"HKEY_CURRENT_USER", Hive::kCurrentUser},
      {"HKEY_LOCAL_MACHINE", Hive::kLocalMachine},
      {"HKEY_USERS", Hive::kUsers},
      {"HKEY_PERFORMANCE_DATA", Hive::kPerformanceData},
      {"HKEY_CURRENT_CONFIG", Hive::kCurrentConfig},
      {"HKEY_DYN_DATA", Hive::kDynData},
  };
  for (const auto& [name, hive] : table) {
    EXPECT_EQ(HiveFromName(name), hive) << name;
    EXPECT_EQ(HiveName(hive), name) << name;
  }
  EXPECT_EQ(HiveFromName("hkey_local_machine"), Hive::kNone) << "the hive table is exact";
  EXPECT_EQ(HiveName(static_cast<Hive>(0x80000007)), "");
}

TEST(RegFormat, ValuesOfOtherTypesSurviveVerbatimInPlace) {
  const std::string text = kHead +
                           "[HKEY_LOCAL_MACHINE\\Software\\X]\n"
                           "\"a\"=\"1\"\n"
                           "\"n\"=dword:0000001f\n"
                           "\"h\"=hex(2):41,00,\\\n"
                           "  42,00\n"
                           "@=hex:\n"
                           "\"z\"=\"2\"\n\n";
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  RegKey& key = parsed.data.keys[0];
  ASSERT_EQ(key.values.size(), 5u);
  EXPECT_EQ(key.values[1].raw, "dword:0000001f");
  EXPECT_EQ(key.values[2].raw, "hex(2):41,00,\\\n  42,00");
  EXPECT_EQ(SerializeRegFile(parsed.data), text) << "a value of another type was changed or moved";

  // Our own change of a string value leaves the others where they are;
  // writing a string over one of them makes it a string value.
  RegData::SetValue(key, "a", "9");
  RegData::SetValue(key, "n", "text");
  EXPECT_TRUE(key.values[1].is_string());
  const std::string saved = SerializeRegFile(parsed.data);
  EXPECT_NE(saved.find("\"a\"=\"9\"\n\"n\"=\"text\"\n\"h\"=hex(2):41,00,\\\n  42,00\n@=hex:\n"),
            std::string::npos)
      << saved;
}

TEST(RegFormat, RepeatedKeysAndValuesAreWarnedAboutWithTheirLines) {
  const std::string text = kHead +
                           "[HKEY_LOCAL_MACHINE\\Software\\X]\n"  // line 3
                           "\"a\"=\"1\"\n"                        // line 4
                           "[HKEY_LOCAL_MACHINE\\software\\x]\n"  // line 5
                           "\"a\"=dword:00000002\n";              // line 6
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.warnings.size(), 2u);
  EXPECT_EQ(
      parsed.warnings[0],
      "line 5: key [HKEY_LOCAL_MACHINE\\software\\x] repeats the key of line 3; their values are merged");
  EXPECT_EQ(parsed.warnings[1], "line 6: value \"a\" repeats line 4; the last one is kept");
  ASSERT_EQ(parsed.data.keys[0].values.size(), 1u);
  EXPECT_EQ(parsed.data.keys[0].values[0].raw, "dword:00000002");

  // A file of many repeats gives a bounded list of warnings.
  std::string many = kHead + "[HKEY_LOCAL_MACHINE\\X]\n";
  for (int i = 0; i < 1000; ++i) many += "\"a\"=\"1\"\n";
  const RegParseResult flood = ParseRegFile(many);
  ASSERT_TRUE(flood.ok);
  EXPECT_LE(flood.warnings.size(), 21u);
  EXPECT_EQ(flood.warnings.back(), "979 more repeated keys or values");
}

}  // namespace
}  // namespace mdl
