#include "platform/CommandLine.h"

namespace vt {
namespace {

bool IsSeparator(char Char) {
  const unsigned char code = static_cast<unsigned char>(Char);
  return code >= 1 && code <= ' ';
}

// One parameter starting at Pos, which then points past it. Leading separators and pairs of
// adjacent quotes are passed over first; an empty result means the line has ended.
std::string NextParam(std::string_view Line, size_t& Pos) {
  for (;;) {
    while (Pos < Line.size() && IsSeparator(Line[Pos]))
      ++Pos;
    if (Pos + 1 < Line.size() && Line[Pos] == '"' && Line[Pos + 1] == '"')
      Pos += 2;
    else
      break;
  }
  std::string param;
  while (Pos < Line.size() && !IsSeparator(Line[Pos])) {
    if (Line[Pos] != '"') {
      param += Line[Pos++];
      continue;
    }
    ++Pos;  // a quoted stretch: separators belong to the parameter, up to the closing quote
    while (Pos < Line.size() && Line[Pos] != '"')
      param += Line[Pos++];
    if (Pos < Line.size())
      ++Pos;
  }
  return param;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view Line) {
  // Only the text up to a NUL is the command line.
  Line = Line.substr(0, Line.find('\0'));
  size_t pos = 0;
  NextParam(Line, pos);  // the program's own name
  std::vector<std::string> params;
  // An empty parameter can only come from the end of the line (a lone quote or trailing
  // separators), since empty quoted pairs are skipped above.
  for (std::string param = NextParam(Line, pos); !param.empty(); param = NextParam(Line, pos))
    params.push_back(std::move(param));
  return params;
}

std::string ParamText(const std::vector<std::string>& Params, TParamText Form) {
  std::string text;
  if (Form == TParamText::AsIs) {
    for (const std::string& param : Params) {
      if (&param != &Params.front())
        text += ' ';
      text += param;
    }
    return text;
  }
  for (const std::string& param : Params)
    text += " \"" + param + "\"";
  const auto outside = [](char Char) { return static_cast<unsigned char>(Char) <= ' '; };
  size_t first = 0;
  while (first < text.size() && outside(text[first]))
    ++first;
  size_t last = text.size();
  while (last > first && outside(text[last - 1]))
    --last;
  return text.substr(first, last - first);
}

}  // namespace vt
