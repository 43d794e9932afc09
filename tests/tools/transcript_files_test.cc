// The transcript files: time formats, cue text, the four formats, atomic
// replacement, and the set of finals kept in time order.
#include "transcript_files.h"

#include <gtest/gtest.h>
#include <simdjson.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/temp_folder.h"

namespace veskar::tools {
namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TranscriptFiles, TheFormatComesFromTheExtension) {
  const std::vector<std::pair<std::string, std::optional<TranscriptFormat>>> cases = {
      {"notes.txt", TranscriptFormat::text},   {"a/b/c.srt", TranscriptFormat::srt},
      {"meeting.VTT", TranscriptFormat::vtt},  {"x.Json", TranscriptFormat::json},
      {"my.notes.json", TranscriptFormat::json}, {"notes", std::nullopt},
      {"notes.md", std::nullopt},              {".srt", std::nullopt},
      {"dir.srt/notes", std::nullopt},
  };
  for (const auto& [path, format] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(formatOfPath(path), format);
  }
}

TEST(TranscriptFiles, CueTimesCarryHoursMinutesSecondsAndMilliseconds) {
  struct Case {
    int64_t ms;
    std::string srt, vtt;
  };
  const std::vector<Case> cases = {
      {0, "00:00:00,000", "00:00:00.000"},
      {-40, "00:00:00,000", "00:00:00.000"},
      {7, "00:00:00,007", "00:00:00.007"},
      {999, "00:00:00,999", "00:00:00.999"},
      {1000, "00:00:01,000", "00:00:01.000"},
      {59999, "00:00:59,999", "00:00:59.999"},
      {60000, "00:01:00,000", "00:01:00.000"},
      {3599999, "00:59:59,999", "00:59:59.999"},
      {3600000, "01:00:00,000", "01:00:00.000"},
      {3600001, "01:00:00,001", "01:00:00.001"},
      {36000000 - 1, "09:59:59,999", "09:59:59.999"},
      {360000000, "100:00:00,000", "100:00:00.000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ms);
    EXPECT_EQ(srtTime(c.ms), c.srt);
    EXPECT_EQ(vttTime(c.ms), c.vtt);
  }
}

TEST(TranscriptFiles, CueTextCannotEndACueNorOpenMarkup) {
  struct Case {
    std::string text, srt, vtt;
  };
  const std::vector<Case> cases = {
      {"plain words", "plain words", "plain words"},
      {"a --> b", "a \xE2\x86\x92 b", "a --&gt; b"},
      {"a ---> b", "a -\xE2\x86\x92 b", "a ---&gt; b"},
      {"<i>x</i>", "\xE2\x80\xB9i\xE2\x80\xBAx\xE2\x80\xB9/i\xE2\x80\xBA", "&lt;i&gt;x&lt;/i&gt;"},
      {"fish & chips", "fish & chips", "fish &amp; chips"},
      {"&lt;", "&lt;", "&amp;lt;"},
      {"one\ntwo", "one two", "one two"},
      {"one\r\n\r\ntwo", "one two", "one two"},
      {"\ntrailing\n", " trailing ", " trailing "},
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"},
      {"bad \xFF byte", "bad \xEF\xBF\xBD byte", "bad \xEF\xBF\xBD byte"},
      {"cut \xE6\x97", "cut \xEF\xBF\xBD\xEF\xBF\xBD", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(srtCueText(c.text), c.srt);
    EXPECT_EQ(vttCueText(c.text), c.vtt);
  }
}

const std::vector<FinalUtterance> kMeeting = {
    {0, "native-0-520", 520, 1710, "we meet on monday"},
    {1, "native-1-3599500", 3599500, 3601250, "see you --> <then>"},
};

TEST(TranscriptFiles, EachFormatHasOneEntryPerUtteranceWithItsSpeakerAndTimes) {
  const std::vector<std::pair<TranscriptFormat, std::string>> cases = {
      {TranscriptFormat::text, "[00:00:00] You: we meet on monday\n[00:59:59] Meeting: see you --> <then>\n"},
      {TranscriptFormat::srt,
       "1\n00:00:00,520 --> 00:00:01,710\nYou: we meet on monday\n\n"
       "2\n00:59:59,500 --> 01:00:01,250\nMeeting: see you \xE2\x86\x92 \xE2\x80\xB9then\xE2\x80\xBA\n\n"},
      {TranscriptFormat::vtt,
       "WEBVTT\n\n1\n00:00:00.520 --> 00:00:01.710\n<v You>we meet on monday\n\n"
       "2\n00:59:59.500 --> 01:00:01.250\n<v Meeting>see you --&gt; &lt;then&gt;\n\n"},
      {TranscriptFormat::json,
       "[\n"
       "  {\"source\": 0, \"speaker\": \"You\", \"id\": \"native-0-520\", \"start_ms\": 520, \"end_ms\": 1710, "
       "\"text\": \"we meet on monday\"},\n"
       "  {\"source\": 1, \"speaker\": \"Meeting\", \"id\": \"native-1-3599500\", \"start_ms\": 3599500, "
       "\"end_ms\": 3601250, \"text\": \"see you --> <then>\"}\n"
       "]\n"},
  };
  for (const auto& [format, expected] : cases) {
    SCOPED_TRACE(static_cast<int>(format));
    EXPECT_EQ(renderTranscript(format, kMeeting), expected);
  }
}

TEST(TranscriptFiles, NoUtterancesMakeEmptyButValidFiles) {
  EXPECT_EQ(renderTranscript(TranscriptFormat::text, {}), "");
  EXPECT_EQ(renderTranscript(TranscriptFormat::srt, {}), "");
  EXPECT_EQ(renderTranscript(TranscriptFormat::vtt, {}), "WEBVTT\n\n");
  EXPECT_EQ(renderTranscript(TranscriptFormat::json, {}), "[]\n");
}

TEST(TranscriptFiles, ACueNeverEndsBeforeItStarts) {
  const std::string srt = renderTranscript(TranscriptFormat::srt, {{0, "native-0-900", 900, 400, "x"}});
  EXPECT_NE(srt.find("00:00:00,900 --> 00:00:00,900"), std::string::npos) << srt;
}

TEST(TranscriptFiles, JsonStaysValidWhateverTheText) {
  const std::vector<std::string> texts = {
      "quote \" backslash \\ slash /", "tab\tnew\nline\rreturn", std::string("nul \0 bell \x07", 12),
      "bad \xC0\xAF utf-8 \xFF", "caf\xC3\xA9 \xF0\x9F\x98\x80",
  };
  std::vector<FinalUtterance> utterances;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    utterances.push_back({static_cast<int64_t>(i % 2), "native-x-" + std::to_string(i), 0, 10, texts[i]});
  }
  const std::string json = renderTranscript(TranscriptFormat::json, utterances);
  simdjson::dom::parser parser;
  simdjson::dom::array array;
  ASSERT_EQ(parser.parse(json).get(array), simdjson::SUCCESS) << json;
  ASSERT_EQ(array.size(), texts.size());
  std::size_t i = 0;
  for (simdjson::dom::element entry : array) {
    SCOPED_TRACE(i);
    std::string_view text;
    ASSERT_EQ(entry["text"].get(text), simdjson::SUCCESS);
    if (i < 3 || i == 4) {
      EXPECT_EQ(std::string(text), texts[i]);  // valid UTF-8 comes back as it was
    } else {
      EXPECT_EQ(std::string(text), "bad \xEF\xBF\xBD\xEF\xBF\xBD utf-8 \xEF\xBF\xBD");
    }
    ++i;
  }
}

TEST(TranscriptFiles, AWriteReplacesTheWholeFileAndLeavesNothingElse) {
  const testing::TempFolder folder;
  const std::string path = folder.file("notes.txt");
  writeFileAtomically(path, "first version, long enough\n");
  writeFileAtomically(path, "second\n");
  EXPECT_EQ(readAll(path), "second\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1)
      << "no temporary file is left beside it";
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << "the usual permissions, not the temporary file's";
}

TEST(TranscriptFiles, AFailedWriteNamesThePathAndLeavesTheOldFile) {
  const testing::TempFolder folder;
  const std::string missing = folder.file("no-such-folder/notes.txt");
  try {
    writeFileAtomically(missing, "x");
    FAIL() << "no error";
  } catch (const TranscriptFileError& error) {
    EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("No such file or directory"), std::string::npos) << error.what();
  }
  // A folder where the file should be: the rename fails, the folder stays.
  const std::string blocked = folder.file("taken.txt");
  fs::create_directory(blocked);
  fs::create_directory(blocked + "/inside");
  EXPECT_THROW(writeFileAtomically(blocked, "x"), TranscriptFileError);
  EXPECT_TRUE(fs::is_directory(blocked + "/inside"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

TEST(TranscriptFiles, FinalsAreKeptInTimeOrderAndWrittenToEveryFile) {
  const testing::TempFolder folder;
  TranscriptFiles files({folder.file("a.txt"), folder.file("a.json")});
  EXPECT_TRUE(files.changed()) << "the first write makes the files";
  files.writeAll();
  EXPECT_FALSE(files.changed());
  EXPECT_EQ(readAll(folder.file("a.json")), "[]\n");
  files.add({1, "native-1-2000", 2000, 2500, "later"});
  files.add({0, "native-0-2000", 2000, 2600, "same start, source 0 first"});
  files.add({0, "native-0-100", 100, 900, "first"});
  files.add({1, "native-1-2000", 2000, 2700, "later, revised"});
  EXPECT_TRUE(files.changed());
  files.writeAll();
  EXPECT_EQ(readAll(folder.file("a.txt")),
            "[00:00:00] You: first\n[00:00:02] You: same start, source 0 first\n[00:00:02] Meeting: later, revised\n");
  EXPECT_EQ(readAll(folder.file("a.json")), renderTranscript(TranscriptFormat::json, files.utterances()));
}

}  // namespace
}  // namespace veskar::tools
