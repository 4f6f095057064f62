// Fuzzes the installed record's reader against the general JSON document read by the same
// rules: for text that is valid UTF-8 both must refuse it, or give records that every
// operation reads alike (values, conversion errors, first of equal names).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "format/InstalledRecord.h"
#include "format/Json.h"
#include "format/Utf8.h"
#include "support/RecordText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  // Such bytes fail the run before any parsing.
  if (vt::FindInvalidUtf8(text) != std::string_view::npos)
    return 0;
  const std::optional<vt::TJsonValue> document = vt::ParseJson(text);
  const std::optional<vt::TInstalledRecord> record = vt::TInstalledRecord::Parse(text);
  if (record.has_value() != document.has_value())
    std::abort();
  if (document && vt::test::RecordText(*record) !=
                      vt::test::RecordText(vt::TInstalledRecord::FromDocument(*document))) {
    std::abort();
  }
  return 0;
}
