// libFuzzer entry for the command-line host's upload-file readers. The first byte picks the
// reader (even: CSV, odd: JSON); the rest is the file's content. Every malformed file must end as
// a UsageError; a table that reads has exactly one cell per column in every row, and every CSV
// record written again reads back to the same fields. Anything else (a crash, a sanitizer
// report, another exception) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/qorvin/Csv.h"
#include "tools/qorvin/UploadFile.h"

using namespace qorvin::cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool json = data[0] % 2 == 1;
  try {
    const Table table = json ? UploadFromJson(text) : UploadFromCsv(text);
    for (const auto& row : table.rows)
      if (row.size() != table.columns.size()) std::abort();
  } catch (const UsageError&) {
    // A malformed file: the expected outcome for most inputs.
  }
  if (!json) {
    try {
      for (const CsvRecord& record : ParseCsv(text)) {
        std::string again;
        AppendCsvRecord(again, record.fields);
        const std::vector<CsvRecord> back = ParseCsv(again);
        if (back.size() != 1 || back[0].fields != record.fields) std::abort();
      }
    } catch (const UsageError&) {
    }
  }
  return 0;
}
