// libFuzzer target for batch files: any bytes read as a batch never crash the reader and give
// either rows or a reason; any table that parses is written back as CSV lines that parse to the
// same fields; option texts split as shell words or say why not.
//
// Input: the batch file's text, read as /batches/batch.csv.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/batch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane::cli;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<CBatchRow> rows;
  std::string error;
  if (!ReadBatchText(text, "/batches/batch.csv", "/batches", rows, error) && error.empty())
    __builtin_trap();  // refused without a reason
  std::vector<CCsvRecord> records;
  if (!ParseCsv(text, records, error)) return 0;
  std::string written;
  for (const CCsvRecord& record : records) {
    written += CsvLine(record.m_fields) + "\n";
    for (const std::string& field : record.m_fields) {
      std::vector<std::string> words;
      if (!SplitShellWords(field, words, error) && error.empty()) __builtin_trap();
    }
  }
  std::vector<CCsvRecord> back;
  if (!ParseCsv(written, back, error)) __builtin_trap();
  // Blank lines hold no row, and a lone empty field reads as one: those are not kept apart.
  std::vector<std::vector<std::string>> before;
  std::vector<std::vector<std::string>> after;
  for (const CCsvRecord& record : records) before.push_back(record.m_fields);
  for (const CCsvRecord& record : back) after.push_back(record.m_fields);
  if (before != after) __builtin_trap();
  return 0;
}
