// What the tool shows, written to a recording sink that plays a terminal or
// a pipe.
#include "transcript_view.h"

#include <gtest/gtest.h>

namespace veskar::tools {
namespace {

class RecordingSink final : public ViewSink {
 public:
  RecordingSink(bool outTty, bool errTty, bool same = true, int columns = 80)
      : outTty_(outTty), errTty_(errTty), same_(same), columns_(columns) {}
  void write(Stream stream, std::string_view bytes) override {
    (stream == Stream::out ? out : err).append(bytes);
    both.append(bytes);
  }
  bool isTerminal(Stream stream) const override { return stream == Stream::out ? outTty_ : errTty_; }
  bool sameTerminal() const override { return outTty_ && errTty_ && same_; }
  int columns() const override { return columns_; }

  std::string out, err, both;

 private:
  bool outTty_, errTty_, same_;
  int columns_;
};

HelperEvent upsert(int source, const std::string& id, int64_t revision, const std::string& text, bool isFinal,
                   int64_t startMs = 1230) {
  HelperEvent event;
  event.type = std::string(kTranscriptUpsert);
  event.sourceId = source;
  event.speaker = source == 0 ? "user" : "meeting";
  event.utteranceId = id;
  event.revision = revision;
  event.text = text;
  event.isFinal = isFinal;
  event.startMs = startMs;
  event.endMs = startMs + 1000;
  return event;
}

// The text a terminal would show at the end: carriage returns, clearing,
// moving up and colours played out.
std::vector<std::string> screen(const std::string& bytes) {
  std::vector<std::string> lines{""};
  std::size_t row = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\n') {
      ++row;
      if (row == lines.size()) lines.emplace_back();
    } else if (c == '\r') {
      // the column is always the line's end here: lines are only cleared after \r
    } else if (c == '\x1b') {
      const std::size_t end = bytes.find_first_of("ABCDHJKm", i);
      const char command = bytes[end];
      if (command == 'K') lines[row].clear();
      if (command == 'A' && row > 0) --row;
      i = end;
    } else {
      lines[row].push_back(c);
    }
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

TEST(TranscriptFormat, TimestampsAreMinutesSecondsAndHundredths) {
  EXPECT_EQ(formatTimestamp(1230), "00:01.23");
  EXPECT_EQ(formatTimestamp(1239), "00:01.23");
  EXPECT_EQ(formatTimestamp(0), "00:00.00");
  EXPECT_EQ(formatTimestamp(-5), "00:00.00");
  EXPECT_EQ(formatTimestamp(59 * 60000 + 59990), "59:59.99");
  EXPECT_EQ(formatTimestamp(3723450), "1:02:03.45");
  EXPECT_EQ(formatDuration(215.4), "3:35");
  EXPECT_EQ(formatDuration(3600), "1:00:00");
}

TEST(TranscriptFormat, AFinalLineNamesItsStartAndSpeaker) {
  EXPECT_EQ(finalLine(upsert(0, "native-0-1230", 2, "we meet on monday", true)),
            "[00:01.23] You: we meet on monday");
  EXPECT_EQ(finalLine(upsert(1, "native-1-61000", 2, "fine", true, 61000)), "[01:01.00] Meeting: fine");
}

TEST(TranscriptFormat, LongTextKeepsItsEndInTheColumns) {
  EXPECT_EQ(fitToColumns("short", 10), "short");
  EXPECT_EQ(fitToColumns("abcdefghij", 10), "abcdefghij");
  EXPECT_EQ(fitToColumns("abcdefghijk", 10), "\xE2\x80\xA6" "cdefghijk");
  // Cut on code points, never inside one.
  EXPECT_EQ(fitToColumns("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 3), "\xE2\x80\xA6\xC3\xA9\xC3\xA9");
  // The label of a partial stays; its text is cut from the front.
  const std::string line = partialLine(upsert(0, "u", 1, std::string(200, 'w') + " last", false), 40);
  EXPECT_EQ(line.rfind("[00:01.23] You: \xE2\x80\xA6", 0), 0u) << line;
  EXPECT_EQ(line.substr(line.size() - 5), " last");
}

TEST(TranscriptFormat, TheProgressBarFillsWithTheAudioSent) {
  const std::string half = progressLine(ProgressState{60, 120}, 80);
  EXPECT_NE(half.find(" 50%"), std::string::npos) << half;
  EXPECT_NE(half.find("1:00 / 2:00"), std::string::npos) << half;
  const std::size_t filled = static_cast<std::size_t>(std::count(half.begin(), half.end(), '#'));
  const std::size_t empty = static_cast<std::size_t>(std::count(half.begin(), half.end(), '-'));
  EXPECT_EQ(filled, empty);
  EXPECT_GT(filled, 0u);
  EXPECT_LT(half.size(), 80u);
  EXPECT_NE(progressLine(ProgressState{120, 120}, 80).find("100%"), std::string::npos);
  EXPECT_LT(progressLine(ProgressState{60, 120}, 30).size(), 30u);
}

TEST(TranscriptView, IntoAPipeEveryFinalIsOneLineAndPartialsShowNothing) {
  RecordingSink sink(false, false);
  TranscriptView view(sink, true, true);
  view.upsert(upsert(0, "native-0-1230", 1, "we", false));
  view.setProgress(ProgressState{10, 100});
  view.refresh();
  EXPECT_EQ(sink.out, "");
  view.upsert(upsert(0, "native-0-1230", 2, "we meet", true));
  view.upsert(upsert(0, "native-0-1230", 3, "we meet again", true));  // after its final: nothing more
  view.upsert(upsert(1, "native-1-5000", 2, "later", true, 5000));
  view.upsert(upsert(1, "native-1-5000", 1, "late", false, 5000));  // an older revision
  view.refresh();
  EXPECT_EQ(sink.out, "[00:01.23] You: we meet\n[00:05.00] Meeting: later\n");
  EXPECT_EQ(sink.err, "");
  EXPECT_EQ(view.finalCount(), 2);
  view.notice("helper: something");
  EXPECT_EQ(sink.err, "helper: something\n");
}

TEST(TranscriptView, InATerminalPartialsReviseInPlaceAndFinalsStay) {
  RecordingSink sink(true, true);
  TranscriptView view(sink, true, false);
  view.upsert(upsert(0, "native-0-1230", 1, "we", false));
  view.refresh();
  EXPECT_EQ(screen(sink.both), (std::vector<std::string>{"[00:01.23] You: we"}));
  view.upsert(upsert(0, "native-0-1230", 2, "we meet", false));
  view.upsert(upsert(1, "native-1-2000", 1, "hello", false, 2000));
  view.refresh();
  EXPECT_EQ(screen(sink.both),
            (std::vector<std::string>{"[00:01.23] You: we meet", "[00:02.00] Meeting: hello"}));
  view.upsert(upsert(0, "native-0-1230", 3, "we meet on monday", true));
  EXPECT_EQ(screen(sink.both),
            (std::vector<std::string>{"[00:01.23] You: we meet on monday", "[00:02.00] Meeting: hello"}));
  view.setProgress(ProgressState{30, 60});
  view.refresh();
  const std::vector<std::string> shown = screen(sink.both);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2], progressLine(ProgressState{30, 60}, 80));
  // The bar went to standard error, the transcript to standard output.
  EXPECT_NE(sink.err.find(shown[2]), std::string::npos);
  EXPECT_EQ(sink.out.find(shown[2]), std::string::npos);

  view.notice("helper: a notice");
  view.upsert(upsert(1, "native-1-2000", 2, "hello there", true, 2000));
  view.close();
  EXPECT_EQ(screen(sink.both), (std::vector<std::string>{"[00:01.23] You: we meet on monday", "helper: a notice",
                                                          "[00:02.00] Meeting: hello there"}));
}

TEST(TranscriptView, AFinalWaitsForAnEarlierUtteranceOfTheOtherSpeaker) {
  RecordingSink sink(true, true);
  TranscriptView view(sink, true, false);
  view.upsert(upsert(1, "native-1-1000", 1, "so the plan", false, 1000));
  view.upsert(upsert(0, "native-0-2000", 1, "yes", true, 2000));
  view.refresh();
  // The reply shows at once, below the meeting's words, but stays live.
  EXPECT_EQ(screen(sink.both), (std::vector<std::string>{"[00:01.00] Meeting: so the plan", "[00:02.00] You: yes"}));
  EXPECT_EQ(sink.out.find("You: yes\n"), std::string::npos) << "not yet a line of its own";
  view.upsert(upsert(0, "native-0-3000", 1, "and", false, 3000));
  view.upsert(upsert(1, "native-1-1000", 2, "so the plan is set", true, 1000));
  view.refresh();
  EXPECT_EQ(screen(sink.both), (std::vector<std::string>{"[00:01.00] Meeting: so the plan is set",
                                                          "[00:02.00] You: yes", "[00:03.00] You: and"}));
  view.close();

  // A pipe shows no partials: nothing to wait for there.
  RecordingSink pipe(false, false);
  TranscriptView piped(pipe, false, false);
  piped.upsert(upsert(1, "native-1-1000", 1, "so the plan", false, 1000));
  piped.upsert(upsert(0, "native-0-2000", 1, "yes", true, 2000));
  EXPECT_EQ(pipe.out, "[00:02.00] You: yes\n");
  piped.upsert(upsert(1, "native-1-1000", 2, "so the plan is set", true, 1000));
  EXPECT_EQ(pipe.out, "[00:02.00] You: yes\n[00:01.00] Meeting: so the plan is set\n");
}

TEST(TranscriptView, TheStatusLineTakesTheBarsPlaceFittedToTheTerminal) {
  RecordingSink sink(false, true, true, 20);
  TranscriptView view(sink, true, false);
  view.setStatus("REC 0:05  You [#####-----] -30 dB");
  view.refresh();
  const std::vector<std::string> shown = screen(sink.err);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "REC 0:05  You [###\xE2\x80\xA6");
  RecordingSink quiet(false, true);
  TranscriptView without(quiet, false, false);
  without.setStatus("REC 0:05");
  without.refresh();
  EXPECT_EQ(quiet.err, "") << "no status line when it is not wanted";
}

TEST(TranscriptView, PartialsLeftAtTheEndAreMarkedNotFinal) {
  RecordingSink sink(false, false);
  TranscriptView view(sink, false, false);
  view.upsert(upsert(0, "native-0-1230", 1, "we meet", false));
  view.close();
  EXPECT_EQ(sink.out, "[00:01.23] You: we meet (not final)\n");
  EXPECT_EQ(view.finalCount(), 0);
}

TEST(TranscriptView, WithOnlyStandardErrorATerminalTheBarStaysOnItsOwnLine) {
  RecordingSink sink(false, true);
  TranscriptView view(sink, true, true);
  view.setProgress(ProgressState{10, 100});
  view.refresh();
  view.upsert(upsert(0, "native-0-1230", 1, "we", true));
  view.notice("a notice");
  view.close();
  EXPECT_EQ(sink.out, "[00:01.23] You: we\n");
  EXPECT_EQ(screen(sink.err), (std::vector<std::string>{"a notice"}));
  EXPECT_NE(sink.err.find("10%"), std::string::npos);
}

TEST(TranscriptView, WithoutProgressNothingButTheTranscriptReachesTheTerminal) {
  RecordingSink sink(true, true);
  TranscriptView view(sink, false, false);
  view.setProgress(ProgressState{10, 100});
  view.refresh();
  EXPECT_EQ(sink.both, "");
}

TEST(Summary, SaysWhetherAudioMayHaveBeenDropped) {
  Summary summary;
  summary.audioSeconds = 100;
  summary.wallSeconds = 25;
  summary.utterances = 7;
  summary.peakAheadChunks = 60;
  std::string text = summaryText(summary);
  EXPECT_NE(text.find("100.0 s"), std::string::npos) << text;
  EXPECT_NE(text.find("0.250"), std::string::npos) << text;
  EXPECT_NE(text.find("utterances:   7"), std::string::npos) << text;
  EXPECT_NE(text.find("dropped audio: none"), std::string::npos) << text;
  summary.mayHaveDropped = true;
  summary.peakAheadChunks = 620;
  text = summaryText(summary);
  EXPECT_NE(text.find("dropped audio: possibly"), std::string::npos) << text;
  EXPECT_NE(text.find("620"), std::string::npos) << text;
}

}  // namespace
}  // namespace veskar::tools
