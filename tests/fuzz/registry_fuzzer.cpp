// libFuzzer target for the registry file reader: no input may crash it; a
// refused file gives a reason and leaves nothing half-read; an accepted one
// is written back in a form that reads the same, also after edits.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kavrel/registry.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kavrel::registry::Document;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Document doc;
  doc.AddKey("HKEY_CURRENT_USER\\Before");
  std::string error;
  if (!Document::Parse(text, &doc, &error)) {
    Require(!error.empty() && doc.keys().empty());
    return 0;
  }
  const std::string written = doc.Serialize();
  Document again;
  Require(Document::Parse(written, &again, &error));
  Require(again.Serialize() == written);

  // Edits keep the file readable: set a value with awkward text in the
  // first key, remove the first value of the last key and that key.
  if (!doc.keys().empty()) {
    const std::string first = doc.keys().front().path;
    doc.SetString(first, "Edited \"name\"", "C:\\path \"quoted\"");
    Require(doc.FindString(first, "edited \"NAME\"") != nullptr);
    const kavrel::registry::Key last = doc.keys().back();
    if (!last.values.empty()) Require(doc.RemoveValue(last.path, last.values.front().name));
    doc.RemoveKeyIfEmpty(last.path);
    const std::string edited = doc.Serialize();
    Document reread;
    Require(Document::Parse(edited, &reread, &error));
    Require(reread.Serialize() == edited);
  }
  return 0;
}
