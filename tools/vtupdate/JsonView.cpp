#include "JsonView.h"

#include <charconv>

#include "format/JsonWriter.h"

namespace vt {

namespace {

// Starts an object with its "event" member.
std::string Event(std::string_view Name) {
  std::string line = "{";
  AppendJsonName(line, "event");
  AppendJsonString(line, Name);
  return line;
}

void AddString(std::string& Line, std::string_view Name, std::string_view Value) {
  Line += ',';
  AppendJsonName(Line, Name);
  AppendJsonString(Line, Value);
}

void AddInt(std::string& Line, std::string_view Name, int64_t Value) {
  Line += ',';
  AppendJsonName(Line, Name);
  AppendJsonInt(Line, Value);
}

void AddRaw(std::string& Line, std::string_view Name, std::string_view Value) {
  Line += ',';
  AppendJsonName(Line, Name);
  Line += Value;
}

}  // namespace

void TJsonView::ShowProgress(const std::string& Text, int64_t Done, int64_t Total) {
  std::string line = Event("progress");
  AddString(line, "text", Text);
  AddInt(line, "done", Done);
  AddInt(line, "total", Total);
  FOut(line + "}\n");
}

void TJsonView::Succeeded(int32_t Build) {
  std::string line = Event("done");
  AddInt(line, "build", Build);
  FOut(line + "}\n");
}

void TJsonView::Checked(int32_t Build, const TCheckResult& Result) {
  std::string line = Event("check");
  AddInt(line, "build", Build);
  AddRaw(line, "installed", Result.Installed >= 0 ? std::to_string(Result.Installed) : "null");
  AddRaw(line, "update", Result.Update ? "true" : "false");
  AddRaw(line, "held_back", Result.HeldBackFrom >= 0 ? "true" : "false");
  if (Result.HeldBackFrom >= 0)
    AddInt(line, "newest", Result.HeldBackFrom);
  if (FVerify) {
    std::string files = "[";
    for (const std::string& path : Result.Differ) {
      if (files.size() > 1)
        files += ',';
      AppendJsonString(files, path);
    }
    AddRaw(line, "differ", files + "]");
  }
  FOut(line + "}\n");
}

void TJsonView::AttemptFailed(const std::string& Error, int Attempt, int Attempts, double Wait) {
  std::string line = Event("retry");
  AddString(line, "error", Error);
  AddInt(line, "attempt", Attempt);
  AddInt(line, "attempts", Attempts);
  char seconds[32];
  const auto end =
      std::to_chars(seconds, seconds + sizeof seconds, Wait, std::chars_format::fixed, 2).ptr;
  AddRaw(line, "wait", std::string_view(seconds, end - seconds));
  FOut(line + "}\n");
}

void TJsonView::Failed(const std::string& Error, const std::string& Cause, bool Check) {
  std::string line = Event("failed");
  AddString(line, "error", Error);
  if (!Cause.empty())
    AddString(line, "cause", Cause);
  FOut(line + "}\n");
}

void TJsonView::SourcesUsed(const std::vector<TSourceReport>& Sources) {
  for (const TSourceReport& source : Sources) {
    std::string line = Event("source");
    AddString(line, "url", source.Base);
    AddInt(line, "files", source.Files);
    AddInt(line, "bytes", source.Bytes);
    AddInt(line, "failures", source.Failures);
    AddRaw(line, "damaged", source.Damaged ? "true" : "false");
    if (!source.LastError.empty())
      AddString(line, "error", source.LastError);
    FOut(line + "}\n");
  }
}

void TJsonView::Stopped() {
  FOut(Event("stopped") + "}\n");
}

}  // namespace vt
