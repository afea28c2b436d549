// corvane-batch: the batch file, a CSV table of mixes, read and checked whole before anything
// runs, and the report a run leaves beside it.
//
// The header names the columns: `main` and `output`, and either `recipe` or `top` with
// optional `options` (corvane-mix options, split as POSIX shell words), and optional `segments`.
// Fields follow RFC 4180: separated by commas, quoted with double quotes where they hold a
// comma, a quote (doubled) or a line break. Relative paths are relative to the batch file's
// folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::cli {

// One mix of the batch.
struct CBatchRow {
  int32_t m_number = 0;  // from 1, the header not counted
  int32_t m_line = 0;    // where it starts in the file, from 1
  std::string m_text;    // the row as written, which a rerun compares with the report's
  std::string m_folder;  // the batch file's: the mix runs there, so that paths in options hold
  std::string m_main;    // paths resolved against the batch file's folder
  std::string m_output;
  std::string m_recipe;  // empty: TOP and options instead
  std::string m_top;
  std::vector<std::string> m_options;
  int32_t m_segments = 1;
};

// Splits `text` into words as a POSIX shell would, without expanding anything: blanks separate
// words; single quotes keep everything; double quotes keep all but `\"`, `\\`, `\$` and `` \` ``;
// a backslash elsewhere keeps the next character. False, with `error` set, for an unclosed
// quote or a trailing backslash.
bool SplitShellWords(const std::string& text, std::vector<std::string>& words, std::string& error);

// Reads the CSV table in `text`: its rows as fields, each row's first line and its text. False
// with `error` naming the line and column of a malformed field (a quote inside an unquoted field,
// text after a closing quote, an unclosed quote).
struct CCsvRecord {
  int32_t m_line = 0;
  std::string m_text;
  std::vector<std::string> m_fields;
};
bool ParseCsv(const std::string& text, std::vector<CCsvRecord>& records, std::string& error);
// One CSV line of `fields`, quoted where they need it, without the line break.
std::string CsvLine(const std::vector<std::string>& fields);

// Reads and checks the batch file at `path`. False with `error` (one line, naming the file and
// the line or column) for a file that cannot be read, a malformed line, a missing or unknown
// column, `recipe` beside `top`, a row without main, output or its top or recipe, options that
// do not split, a bad segment count, or two rows writing the same output.
bool ReadBatchFile(const std::string& path, std::vector<CBatchRow>& rows, std::string& error);
// The same for the batch's `text`, its messages naming `path` and its paths resolved against
// the folder `base`.
bool ReadBatchText(const std::string& text, const std::string& path, const std::string& base,
                   std::vector<CBatchRow>& rows, std::string& error);

// The report of a run, row by row.
struct CReportRow {
  int32_t m_row = 0;
  std::string m_output;
  std::string m_status;  // done, failed, skipped, stopped
  int64_t m_frames = 0;
  double m_seconds = 0.0;
  std::string m_message;
  std::string m_text;  // the row's text as run
};

// BATCH-NAME.report.csv beside the batch file.
std::string ReportPathFor(const std::string& batchPath);
// The rows of an earlier report; none when there is no readable one.
std::vector<CReportRow> ReadReport(const std::string& path);
// Writes the report under a temporary name and renames it over `path`; false when it cannot.
bool WriteReport(const std::string& path, const std::vector<CReportRow>& rows);

}  // namespace corvane::cli
