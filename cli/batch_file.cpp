#include "cli/batch_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

std::string At(int32_t line, int32_t column) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// `path` as seen from the batch file's folder.
std::string Resolve(const fs::path& folder, const std::string& path) {
  if (path.empty() || fs::path(path).is_absolute()) return path;
  return (folder / path).lexically_normal().string();
}

bool ReadWhole(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return !in.bad();
}

}  // namespace

bool SplitShellWords(const std::string& text, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'') {
      const size_t end = text.find('\'', i + 1);
      if (end == std::string::npos) {
        error = "an unclosed single quote in \"" + text + "\"";
        return false;
      }
      word.append(text, i + 1, end - i - 1);
      i = end;
    } else if (c == '"') {
      size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '\\' && j + 1 < text.size() &&
            std::string("\"\\$`").find(text[j + 1]) != std::string::npos) {
          ++j;
        }
        word += text[j];
      }
      if (j >= text.size()) {
        error = "an unclosed double quote in \"" + text + "\"";
        return false;
      }
      i = j;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) {
        error = "a backslash at the end of \"" + text + "\"";
        return false;
      }
      word += text[++i];
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(word);
  return true;
}

bool ParseCsv(const std::string& text, std::vector<CCsvRecord>& records, std::string& error) {
  records.clear();
  int32_t line = 1;
  int32_t column = 1;
  size_t i = 0;
  while (i < text.size()) {
    CCsvRecord record;
    record.m_line = line;
    const size_t start = i;
    std::string field;
    bool recordDone = false;
    while (!recordDone) {
      field.clear();
      if (i < text.size() && text[i] == '"') {
        const int32_t openLine = line;
        const int32_t openColumn = column;
        ++i;
        ++column;
        for (;;) {
          if (i >= text.size()) {
            error = At(openLine, openColumn) + ": a quote that is never closed";
            return false;
          }
          const char c = text[i++];
          ++column;
          if (c == '"') {
            if (i < text.size() && text[i] == '"') {
              field += '"';
              ++i;
              ++column;
              continue;
            }
            break;
          }
          if (c == '\n') {
            ++line;
            column = 1;
          }
          field += c;
        }
        if (i < text.size() && text[i] == '\r') ++i;
        if (i < text.size() && text[i] != ',' && text[i] != '\n') {
          error = At(line, column) + ": text after a closing quote";
          return false;
        }
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != '\n') {
          if (text[i] == '"') {
            error = At(line, column) + ": a quote inside a field that does not start with one";
            return false;
          }
          if (text[i] != '\r') field += text[i];
          ++i;
          ++column;
        }
      }
      record.m_fields.push_back(field);
      if (i >= text.size() || text[i] == '\n') {
        recordDone = true;
        record.m_text = text.substr(start, i - start);
        while (!record.m_text.empty() && record.m_text.back() == '\r') record.m_text.pop_back();
        if (i < text.size()) {
          ++i;
          ++line;
          column = 1;
        }
      } else {
        ++i;  // the comma
        ++column;
      }
    }
    // Blank lines hold no row.
    if (!(record.m_fields.size() == 1 && record.m_fields[0].empty()))
      records.push_back(std::move(record));
  }
  return true;
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    const std::string& field = fields[i];
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
      line += field;
      continue;
    }
    line += '"';
    for (const char c : field) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  return line;
}

bool ReadBatchFile(const std::string& path, std::vector<CBatchRow>& rows, std::string& error) {
  rows.clear();
  std::string text;
  if (!ReadWhole(path, text)) {
    error = path + ": cannot be read";
    return false;
  }
  return ReadBatchText(text, path, fs::absolute(fs::path(path)).parent_path().string(), rows,
                       error);
}

bool ReadBatchText(const std::string& text, const std::string& path, const std::string& base,
                   std::vector<CBatchRow>& rows, std::string& error) {
  rows.clear();
  std::vector<CCsvRecord> records;
  if (!ParseCsv(text, records, error)) {
    error = path + ": " + error;
    return false;
  }
  if (records.empty()) {
    error = path + ": no header row";
    return false;
  }
  static const std::set<std::string> kKnown{"main", "output",  "recipe",
                                            "top",  "options", "segments"};
  std::map<std::string, size_t> columns;
  const std::vector<std::string>& header = records.front().m_fields;
  for (size_t i = 0; i < header.size(); ++i) {
    if (!kKnown.count(header[i])) {
      error = path + ": line 1, field " + std::to_string(i + 1) + ": unknown column \"" +
              header[i] + "\" (known: main, output, recipe, top, options, segments)";
      return false;
    }
    if (!columns.emplace(header[i], i).second) {
      error = path + ": line 1: column \"" + header[i] + "\" is named twice";
      return false;
    }
  }
  for (const char* needed : {"main", "output"}) {
    if (!columns.count(needed)) {
      error = path + ": line 1: no \"" + std::string(needed) + "\" column";
      return false;
    }
  }
  const bool byRecipe = columns.count("recipe") != 0;
  if (byRecipe && (columns.count("top") || columns.count("options"))) {
    error = path + ": line 1: a \"recipe\" column beside \"top\" or \"options\"";
    return false;
  }
  if (!byRecipe && !columns.count("top")) {
    error = path + ": line 1: neither a \"recipe\" nor a \"top\" column";
    return false;
  }
  const fs::path folder(base);
  std::map<std::string, int32_t> outputs;  // resolved output: its line
  for (size_t r = 1; r < records.size(); ++r) {
    const CCsvRecord& record = records[r];
    const std::string where = path + ": line " + std::to_string(record.m_line) + ": ";
    if (record.m_fields.size() != header.size()) {
      error = where + std::to_string(record.m_fields.size()) + " fields where the header has " +
              std::to_string(header.size());
      return false;
    }
    const auto field = [&](const char* name) {
      const auto found = columns.find(name);
      return found == columns.end() ? std::string() : record.m_fields[found->second];
    };
    CBatchRow row;
    row.m_number = static_cast<int32_t>(r);
    row.m_line = record.m_line;
    row.m_text = record.m_text;
    row.m_folder = folder.string();
    row.m_main = Resolve(folder, field("main"));
    row.m_output = Resolve(folder, field("output"));
    row.m_recipe = Resolve(folder, field("recipe"));
    row.m_top = Resolve(folder, field("top"));
    for (const char* needed : {"main", "output", byRecipe ? "recipe" : "top"}) {
      if (field(needed).empty()) {
        error = where + "no " + needed;
        return false;
      }
    }
    std::string splitError;
    if (!SplitShellWords(field("options"), row.m_options, splitError)) {
      error = where + "options: " + splitError;
      return false;
    }
    const std::string segments = field("segments");
    if (!segments.empty()) {
      size_t used = 0;
      long value = 0;
      try {
        value = std::stol(segments, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != segments.size() || value < 1 || value > 10000) {
        error = where + "segments must be a whole number from 1 to 10000, not \"" + segments + "\"";
        return false;
      }
      row.m_segments = static_cast<int32_t>(value);
    }
    // Its temporary name and its parts' names keep the extension, which chooses the container.
    if (!fs::path(row.m_output).has_extension()) {
      error = where + "output " + field("output") +
              " names no container: give it an extension (.avi, .mp4, .mkv, .webm or .mov)";
      return false;
    }
    const auto [earlier, fresh] = outputs.emplace(row.m_output, record.m_line);
    if (!fresh) {
      error = where + "output " + field("output") + " is written by line " +
              std::to_string(earlier->second) + " too";
      return false;
    }
    rows.push_back(std::move(row));
  }
  return true;
}

std::string ReportPathFor(const std::string& batchPath) {
  fs::path path(batchPath);
  return (path.parent_path() / (path.stem().string() + ".report.csv")).string();
}

std::vector<CReportRow> ReadReport(const std::string& path) {
  std::string text;
  std::vector<CCsvRecord> records;
  std::string error;
  std::vector<CReportRow> rows;
  if (!ReadWhole(path, text) || !ParseCsv(text, records, error)) return rows;
  for (size_t r = 1; r < records.size(); ++r) {
    const std::vector<std::string>& f = records[r].m_fields;
    if (f.size() != 7) continue;
    CReportRow row;
    try {
      row.m_row = std::stoi(f[0]);
      row.m_frames = std::stoll(f[3]);
      row.m_seconds = std::stod(f[4]);
    } catch (const std::exception&) {
      continue;
    }
    row.m_output = f[1];
    row.m_status = f[2];
    row.m_message = f[5];
    row.m_text = f[6];
    rows.push_back(std::move(row));
  }
  return rows;
}

bool WriteReport(const std::string& path, const std::vector<CReportRow>& rows) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << CsvLine({"row", "output", "status", "frames", "seconds", "message", "row_text"}) << '\n';
    for (const CReportRow& row : rows) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.2f", row.m_seconds);
      out << CsvLine({std::to_string(row.m_row), row.m_output, row.m_status,
                      std::to_string(row.m_frames), seconds, row.m_message, row.m_text})
          << '\n';
    }
    out.flush();
    if (!out) return false;
  }
  std::error_code failed;
  fs::rename(temporary, path, failed);
  return !failed;
}

}  // namespace corvane::cli
