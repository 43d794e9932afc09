#include "coordination/coordinator.h"

#include <gtest/gtest.h>

#include "support/captured_pipe.h"
#include "support/helper_error_matchers.h"
#include "support/scripted_engine.h"
#include "support/wire.h"

namespace veskar {
namespace {

using testing::CapturedPipe;
using testing::EngineScript;
using testing::ScriptedEngine;

constexpr const char* kReady = R"({"type":"stream.ready","locale":"en_US"})";
constexpr const char* kFinished = R"({"type":"stream.finished"})";
constexpr const char* kStatus =
    R"({"type":"stream.status","locale":"en_US","code":"model_downloading","message":"Installing the on-device speech model"})";

class CoordinatorTest : public ::testing::Test {
 protected:
  CoordinatorTest() : sink_(pipe_.writeFd(), OutputSink::OnClosed::discard) {}

  Coordinator& coordinator() {
    if (!coordinator_) coordinator_ = std::make_unique<Coordinator>(engine_, sink_);
    return *coordinator_;
  }
  std::vector<std::string> lines() {
    coordinator_.reset();
    return testing::splitLines(pipe_.finish());
  }
  static InputEvent audio(std::optional<SourceId> source, std::optional<std::string> base64) {
    return InputEvent{"audio", source, std::nullopt, std::nullopt, std::move(base64)};
  }
  static InputEvent finish() { return InputEvent{"finish", 7, 1, 2, "!!"}; }

  ScriptedEngine engine_;
  CapturedPipe pipe_;
  OutputSink sink_;
  std::unique_ptr<Coordinator> coordinator_;
};

TEST_F(CoordinatorTest, InstalledModelSendsReadyOnlyAndResolvesTheLocale) {
  engine_.script().equivalentLocale = [](const Locale&) { return Locale{"en_US"}; };
  EXPECT_EQ(coordinator().start(Locale{"en-us"}, {0, 1}).identifier, "en_US");
  EXPECT_EQ(engine_.analyzers().size(), 2u);
  EXPECT_FALSE(coordinator().consume(finish()));
  EXPECT_EQ(lines(), (std::vector<std::string>{kReady, kFinished}));
  const auto calls = engine_.calls();
  EXPECT_EQ(calls[0], "isAvailable");
  EXPECT_EQ(calls[1], "supportedLocale en-us");
  EXPECT_EQ(calls[2], "makeTranscriber en_US");
  for (const auto& locale : engine_.transcriberLocales()) EXPECT_EQ(locale, "en_US") << "never the requested one";
  EXPECT_NE(std::find(calls.begin(), calls.end(), "reserve en_US"), calls.end());
  EXPECT_EQ(std::find(calls.begin(), calls.end(), "assetInstallationRequest"), calls.end());
}

TEST_F(CoordinatorTest, MissingModelIsAnnouncedOnceThenInstalled) {
  const AssetStatus statuses[] = {AssetStatus::supported, AssetStatus::downloading};
  for (const AssetStatus status : statuses) {
    ScriptedEngine engine;
    engine.script().status = status;
    CapturedPipe pipe;
    {
      OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
      Coordinator coordinator(engine, sink);
      coordinator.start(Locale{"en_US"}, {0});
      EXPECT_FALSE(coordinator.consume(finish()));
    }
    EXPECT_EQ(testing::splitLines(pipe.finish()), (std::vector<std::string>{kStatus, kReady, kFinished}));
  }
}

TEST_F(CoordinatorTest, StartFailures) {
  {
    SCOPED_TRACE("unavailable");
    ScriptedEngine engine;
    engine.script().available = false;
    Coordinator coordinator(engine);
    EXPECT_HELPER_ERROR(coordinator.start(Locale{"en_US"}, {0}), transcriberUnavailable);
    EXPECT_EQ(engine.calls(), std::vector<std::string>{"isAvailable"});
  }
  {
    SCOPED_TRACE("no equivalent locale: the requested identifier");
    ScriptedEngine engine;
    engine.script().equivalentLocale = [](const Locale&) { return std::nullopt; };
    Coordinator coordinator(engine);
    try {
      coordinator.start(Locale{"xx_YY"}, {0});
      ADD_FAILURE();
    } catch (const HelperError& e) {
      EXPECT_EQ(e.errorCase(), HelperError::Case::unsupportedLocale);
      EXPECT_EQ(e.localeIdentifier(), "xx_YY");
    }
  }
  {
    SCOPED_TRACE("status unsupported: the resolved identifier, nothing sent");
    ScriptedEngine engine;
    engine.script().equivalentLocale = [](const Locale&) { return Locale{"en_US"}; };
    engine.script().status = AssetStatus::unsupported;
    CapturedPipe pipe;
    {
      OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
      Coordinator coordinator(engine, sink);
      try {
        coordinator.start(Locale{"en"}, {0});
        ADD_FAILURE();
      } catch (const HelperError& e) {
        EXPECT_EQ(std::string(e.what()), "On-device transcription does not support locale en_US");
      }
    }
    EXPECT_EQ(pipe.finish(), "");
  }
}

TEST_F(CoordinatorTest, InstallationFailuresComeAfterTheStatusEvent) {
  const struct {
    EngineScript::Installation installation;
    const char* message;
  } cases[] = {
      {EngineScript::Installation::noRequest, "The speech model could not be installed"},
      {EngineScript::Installation::requestThrows, "scripted installation request failure"},
      {EngineScript::Installation::downloadThrows, "scripted download failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ScriptedEngine engine;
    engine.script().status = AssetStatus::supported;
    engine.script().installation = c.installation;
    CapturedPipe pipe;
    {
      OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
      Coordinator coordinator(engine, sink);
      try {
        coordinator.start(Locale{"en_US"}, {0});
        ADD_FAILURE() << "started";
      } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
    EXPECT_EQ(testing::splitLines(pipe.finish()), std::vector<std::string>{kStatus});
    EXPECT_TRUE(engine.analyzers().empty());
  }
}

TEST_F(CoordinatorTest, ReservationFailuresAreIgnored) {
  for (const auto reservation : {EngineScript::Reservation::returnsFalse, EngineScript::Reservation::throws}) {
    ScriptedEngine engine;
    engine.script().reservation = reservation;
    CapturedPipe pipe;
    {
      OutputSink sink(pipe.writeFd(), OutputSink::OnClosed::discard);
      Coordinator coordinator(engine, sink);
      EXPECT_NO_THROW(coordinator.start(Locale{"en_US"}, {0}));
      EXPECT_FALSE(coordinator.consume(finish()));
    }
    EXPECT_EQ(testing::splitLines(pipe.finish()), (std::vector<std::string>{kReady, kFinished}));
  }
}

TEST_F(CoordinatorTest, AnAnalyzerThatCannotBeMadeFailsStartWithoutReady) {
  engine_.script().prepareThrows = true;
  try {
    coordinator().start(Locale{"en_US"}, {0, 1});
    ADD_FAILURE();
  } catch (const SpeechEngineError& e) {
    EXPECT_STREQ(e.what(), "scripted prepare failure");
  }
  EXPECT_EQ(engine_.analyzers().size(), 1u) << "the second source is never tried";
  EXPECT_EQ(lines(), std::vector<std::string>{});
}

TEST_F(CoordinatorTest, EmptySourcesStillReadyAndFinishAtOnce) {
  coordinator().start(Locale{"en_US"}, {});
  EXPECT_FALSE(coordinator().consume(finish()));
  EXPECT_TRUE(engine_.analyzers().empty());
  EXPECT_EQ(lines(), (std::vector<std::string>{kReady, kFinished}));
}

TEST_F(CoordinatorTest, RejectedEventsChangeNothingAndTheNextOneIsTaken) {
  coordinator().start(Locale{"en_US"}, {0});
  const std::string chunk = testing::encodeBase64(testing::tone(320));
  const struct {
    const char* name;
    InputEvent event;
  } cases[] = {
      {"unknown type", InputEvent{"flush", 0, {}, {}, chunk}},
      {"type in other case", InputEvent{"Audio", 0, {}, {}, chunk}},
      {"FINISH", InputEvent{"FINISH", {}, {}, {}, {}}},
      {"no source_id", audio(std::nullopt, chunk)},
      {"no pcm_base64", audio(0, std::nullopt)},
      {"line break in Base64", audio(0, "AAAA\nAAAA")},
      {"not Base64", audio(0, "####")},
      {"unknown source", audio(1, chunk)},
      {"negative source", audio(-1, chunk)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_HELPER_ERROR(coordinator().consume(c.event), invalidEvent);
  }
  EXPECT_HELPER_ERROR(coordinator().consume(audio(0, "")), invalidPCM);
  EXPECT_TRUE(coordinator().consume(audio(0, chunk)));
  EXPECT_FALSE(coordinator().consume(finish()));
  const auto inputs = engine_.analyzers().at(0)->inputs();
  ASSERT_EQ(inputs.size(), 1u) << "only the good chunk reached the engine";
  EXPECT_EQ(inputs[0].start, MediaTime::make(0, 16000));
}

TEST_F(CoordinatorTest, FinishDrainsEverySourceOneAfterTheOtherBeforeFinished) {
  // Each source yields a result per input and a final at the end.
  engine_.script().resultsForInput = [](const AnalyzerInput& input, int index) {
    return std::vector<TranscriptionResult>{
        {"partial " + std::to_string(index),
         MediaTimeRange{input.bufferStartTime, MediaTime::make(input.buffer->frameLength(), 16000)}, false}};
  };
  engine_.script().resultsAtEnd = [](const std::vector<testing::RecordedInput>& inputs) {
    const auto count = inputs.size();
    return std::vector<TranscriptionResult>{
        {"final " + std::to_string(count), MediaTimeRange{MediaTime::make(0, 16000), MediaTime::make(1, 1)}, true}};
  };
  coordinator().start(Locale{"en_US"}, {0, 1});
  const std::string chunk = testing::encodeBase64(testing::tone(1600));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(coordinator().consume(audio(0, chunk)));
    EXPECT_TRUE(coordinator().consume(audio(1, chunk)));
  }
  EXPECT_FALSE(coordinator().consume(finish()));
  const auto out = lines();
  ASSERT_EQ(out.size(), 1u + 2 * 4 + 1);
  EXPECT_EQ(out.front(), kReady);
  EXPECT_EQ(out.back(), kFinished);
  // Both finals come before "stream.finished"; one source is drained before
  // the other's finish begins, so its final precedes the other's.
  std::vector<std::size_t> finals;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i].find("\"is_final\":true") != std::string::npos) finals.push_back(i);
  }
  ASSERT_EQ(finals.size(), 2u);
  EXPECT_NE(out[finals[0]].find("\"source_id\":0,"), std::string::npos) << out[finals[0]];
  EXPECT_NE(out[finals[1]].find("\"source_id\":1,"), std::string::npos) << out[finals[1]];
  EXPECT_NE(out[finals[1]].find("\"text\":\"final 3\""), std::string::npos);
  for (const auto& analyzer : engine_.analyzers()) EXPECT_TRUE(analyzer->finalized());
}

}  // namespace
}  // namespace veskar
