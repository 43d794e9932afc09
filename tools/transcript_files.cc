#include "transcript_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace veskar::tools {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t validSequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// `text` with invalid UTF-8 replaced and every run of line breaks (and the
// other control characters but tab) turned into one space.
std::string plainLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool lastWasBreak = false;
  while (!text.empty()) {
    const std::size_t length = validSequence(text);
    if (length == 0) {
      out += kReplacement;
      text.remove_prefix(1);
      lastWasBreak = false;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (length == 1 && (c < 0x20 || c == 0x7F) && c != '\t') {
      if (!lastWasBreak) out += ' ';
      lastWasBreak = true;
    } else {
      out.append(text.substr(0, length));
      lastWasBreak = false;
    }
    text.remove_prefix(length);
  }
  return out;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
}

std::string clockTime(int64_t ms, char separator) {
  if (ms < 0) ms = 0;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld%c%03lld", static_cast<long long>(ms / 3600000),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60), separator,
                static_cast<long long>(ms % 1000));
  return buffer;
}

std::string jsonString(std::string_view text) {
  const std::string clean = [&] {
    // Keep line breaks as escapes here; only invalid UTF-8 is replaced.
    std::string out;
    while (!text.empty()) {
      const std::size_t length = validSequence(text);
      if (length == 0) {
        out += kReplacement;
        text.remove_prefix(1);
      } else {
        out.append(text.substr(0, length));
        text.remove_prefix(length);
      }
    }
    return out;
  }();
  std::string out = "\"";
  for (const char c : clean) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

int64_t cueEnd(const FinalUtterance& utterance) { return std::max(utterance.endMs, utterance.startMs); }

}  // namespace

std::optional<TranscriptFormat> formatOfPath(std::string_view path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".txt") return TranscriptFormat::text;
  if (extension == ".srt") return TranscriptFormat::srt;
  if (extension == ".vtt") return TranscriptFormat::vtt;
  if (extension == ".json") return TranscriptFormat::json;
  return std::nullopt;
}

std::string speakerName(int64_t sourceId) { return sourceId == 0 ? "You" : "Meeting"; }

std::string srtTime(int64_t ms) { return clockTime(ms, ','); }
std::string vttTime(int64_t ms) { return clockTime(ms, '.'); }

std::string srtCueText(std::string_view text) {
  std::string out = plainLine(text);
  replaceAll(out, "-->", "\xE2\x86\x92");  // →
  replaceAll(out, "<", "\xE2\x80\xB9");    // ‹
  replaceAll(out, ">", "\xE2\x80\xBA");    // ›
  return out;
}

std::string vttCueText(std::string_view text) {
  std::string out = plainLine(text);
  replaceAll(out, "&", "&amp;");
  replaceAll(out, "<", "&lt;");
  replaceAll(out, ">", "&gt;");
  return out;
}

std::string renderTranscript(TranscriptFormat format, const std::vector<FinalUtterance>& utterances) {
  std::string out;
  switch (format) {
    case TranscriptFormat::text:
      for (const FinalUtterance& u : utterances) {
        // Whole seconds: the line is for reading; the cue formats keep milliseconds.
        out += "[" + clockTime(u.startMs, '.').substr(0, clockTime(u.startMs, '.').rfind('.')) + "] " +
               speakerName(u.sourceId) + ": " + plainLine(u.text) + "\n";
      }
      break;
    case TranscriptFormat::srt: {
      int number = 0;
      for (const FinalUtterance& u : utterances) {
        out += std::to_string(++number) + "\n" + srtTime(u.startMs) + " --> " + srtTime(cueEnd(u)) + "\n" +
               speakerName(u.sourceId) + ": " + srtCueText(u.text) + "\n\n";
      }
      break;
    }
    case TranscriptFormat::vtt: {
      out = "WEBVTT\n\n";
      int number = 0;
      for (const FinalUtterance& u : utterances) {
        out += std::to_string(++number) + "\n" + vttTime(u.startMs) + " --> " + vttTime(cueEnd(u)) + "\n<v " +
               speakerName(u.sourceId) + ">" + vttCueText(u.text) + "\n\n";
      }
      break;
    }
    case TranscriptFormat::json: {
      if (utterances.empty()) return "[]\n";
      out = "[\n";
      for (std::size_t i = 0; i < utterances.size(); ++i) {
        const FinalUtterance& u = utterances[i];
        out += "  {\"source\": " + std::to_string(u.sourceId) + ", \"speaker\": " + jsonString(speakerName(u.sourceId)) +
               ", \"id\": " + jsonString(u.id) + ", \"start_ms\": " + std::to_string(u.startMs) +
               ", \"end_ms\": " + std::to_string(u.endMs) + ", \"text\": " + jsonString(u.text) + "}" +
               (i + 1 < utterances.size() ? ",\n" : "\n");
      }
      out += "]\n";
      break;
    }
  }
  return out;
}

void writeFileAtomically(const std::string& path, std::string_view contents) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const auto fail = [&](const char* what) -> void {
    throw TranscriptFileError("cannot write " + path + ": " + what + ": " + std::strerror(errno));
  };
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) fail("cannot create a file beside it");
  // mkstemp makes the file private; a transcript gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  std::string_view rest = contents;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      errno = error;
      fail("write");
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail("write");
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail("rename");
  }
}

TranscriptFiles::TranscriptFiles(std::vector<std::string> paths) : paths_(std::move(paths)) {}

void TranscriptFiles::add(FinalUtterance utterance) {
  const auto same = std::find_if(utterances_.begin(), utterances_.end(),
                                 [&](const FinalUtterance& u) { return u.id == utterance.id && u.sourceId == utterance.sourceId; });
  if (same != utterances_.end()) utterances_.erase(same);
  const auto before = [](const FinalUtterance& a, const FinalUtterance& b) {
    return a.startMs != b.startMs ? a.startMs < b.startMs : a.sourceId < b.sourceId;
  };
  utterances_.insert(std::upper_bound(utterances_.begin(), utterances_.end(), utterance, before), std::move(utterance));
  changed_ = true;
}

void TranscriptFiles::writeAll() {
  std::optional<TranscriptFileError> first;
  for (const std::string& path : paths_) {
    try {
      writeFileAtomically(path, renderTranscript(*formatOfPath(path), utterances_));
    } catch (const TranscriptFileError& error) {
      if (!first) first = error;
    }
  }
  if (first) throw *first;
  changed_ = false;
}

}  // namespace veskar::tools
