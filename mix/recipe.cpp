#include "mix/recipe.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "media/codec/compress.h"
#include "media/mux/container.h"

namespace corvane {
namespace {

// Ordered, so that a written recipe lists its fields in a reader's order, not the alphabet's.
using Json = nlohmann::ordered_json;

// A recipe file is a few hundred bytes; anything near this is not one.
constexpr std::uintmax_t kLargestRecipeFile = 16u << 20;

struct CField {
  const char* m_json;    // the document's name for it
  const char* m_option;  // the encode option it sets (null: read on its own)
  EOptionValue m_value;  // what an encode option's value may be
};

const CField kDocumentFields[] = {
    {"version", nullptr, EOptionValue::kText},
    {"main", nullptr, EOptionValue::kText},
    {"output", nullptr, EOptionValue::kText},
    {"container", "format", EOptionValue::kText},
    {"codec", "codec", EOptionValue::kText},
    {"quality", "quality", EOptionValue::kNumberOrText},
    {"keyframe-every", "keyframe-every", EOptionValue::kNumberOrText},
    {"data-rate", "data-rate", EOptionValue::kNumberOrText},
    {"smart", "smart", EOptionValue::kFlag},
    {"layers", nullptr, EOptionValue::kText},
};

const CField* FindDocumentField(const std::string& name) {
  for (const CField& field : kDocumentFields) {
    if (name == field.m_json) return &field;
  }
  return nullptr;
}

// One step of a JSON Pointer, "~" and "/" escaped.
std::string Step(const std::string& key) {
  std::string step;
  for (const char c : key) {
    if (c == '~') {
      step += "~0";
    } else if (c == '/') {
      step += "~1";
    } else {
      step += c;
    }
  }
  return "/" + step;
}

// Watches the parser for a key given twice in one object, which the parsed document no longer
// shows (the last value wins there): a recipe that says two things at once is a mistake.
class CTwiceGiven {
 public:
  bool Event(Json::parse_event_t event, const Json& parsed) {
    using E = Json::parse_event_t;
    switch (event) {
      case E::object_start:
      case E::array_start:
        NextElement();
        m_levels.push_back({event == E::array_start, 0, {}, {}});
        break;
      case E::object_end:
      case E::array_end:
        if (!m_levels.empty()) m_levels.pop_back();
        break;
      case E::key:
        if (!m_levels.empty() && parsed.is_string()) {
          CLevel& level = m_levels.back();
          level.m_step = Step(parsed.get_ref<const std::string&>());
          if (!level.m_keys.insert(level.m_step).second && m_first.empty()) m_first = Pointer();
        }
        break;
      case E::value:
        NextElement();
        break;
    }
    return true;
  }
  // The JSON Pointer of the first key given twice; empty when there is none.
  const std::string& First() const { return m_first; }

 private:
  struct CLevel {
    bool m_array;
    size_t m_next;
    std::string m_step;  // the step to the element being read
    std::set<std::string> m_keys;
  };
  void NextElement() {
    if (!m_levels.empty() && m_levels.back().m_array)
      m_levels.back().m_step = "/" + std::to_string(m_levels.back().m_next++);
  }
  std::string Pointer() const {
    std::string pointer;
    for (const CLevel& level : m_levels) pointer += level.m_step;
    return pointer;
  }
  std::vector<CLevel> m_levels;
  std::string m_first;
};

// "line 3, column 14: syntax error ...". The parser's own line and column are those after the
// character it stopped at, a line late when that is a line break: they are counted here from
// its byte position instead (past the end for a document cut short).
std::string SyntaxError(const nlohmann::json::parse_error& error, const std::string& text) {
  const std::string what = error.what();
  const size_t column = what.find("column ");
  const size_t colon = column == std::string::npos ? what.find("] ") : what.find(": ", column);
  const std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
  const size_t offset = std::min<size_t>(error.byte > 0 ? error.byte - 1 : 0, text.size());
  const size_t lineStart = offset == 0 ? 0 : text.rfind('\n', offset - 1) + 1;  // npos + 1 = 0
  const auto line =
      1 + std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(offset), '\n');
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1) +
         ": " + reason;
}

std::string JoinPath(const std::string& folder, const std::string& path) {
  if (folder.empty() || path.empty() || path.front() == '/') return path;
  return folder.back() == '/' ? folder + path : folder + "/" + path;
}

std::string RelativePath(const std::string& folder, const std::string& path) {
  if (folder.empty()) return path;
  const std::string prefix = folder.back() == '/' ? folder : folder + "/";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return path;
  // "folder//x" stays whole: "/x" would read back as another file.
  if (path[prefix.size()] == '/') return path;
  return path.substr(prefix.size());
}

// A JSON value as the option text the command line would give; nullopt for the wrong type.
std::optional<std::string> OptionText(const Json& value, EOptionValue kind) {
  if (kind == EOptionValue::kFlag) {
    if (!value.is_boolean()) return std::nullopt;
    return value.get<bool>() ? "true" : "false";
  }
  if (value.is_string()) return value.get<std::string>();
  if (kind == EOptionValue::kText) return std::nullopt;
  if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
  if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
  if (value.is_number_float()) return NumberText(value.get<double>());
  return std::nullopt;
}

const char* TypeNeeded(EOptionValue kind) {
  switch (kind) {
    case EOptionValue::kFlag:
      return "must be true or false";
    case EOptionValue::kText:
      return "must be a string";
    default:
      return "must be a number or a string";
  }
}

// The option text as JSON: flags true, numbers as numbers where the text is exactly one.
Json OptionJson(const std::string& text, EOptionValue kind) {
  if (kind == EOptionValue::kFlag) return true;
  if (kind == EOptionValue::kNumberOrText) {
    if (const auto whole = ParseOptionInteger(text); whole && std::to_string(*whole) == text)
      return *whole;
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(number) && NumberText(number) == text)
      return number;
  }
  return text;
}

class CReader {
 public:
  CReader(const std::string& folder, CMixRecipe& recipe, std::string& error)
      : m_folder(folder), m_recipe(recipe), m_error(error) {}

  bool Document(const Json& root) {
    if (!root.is_object()) {
      m_error = "a recipe is a JSON object: {\"version\": 1, ...}";
      return false;
    }
    const auto version = root.find("version");
    if (version == root.end())
      return Fail("/version", "missing: a recipe begins with \"version\": 1");
    if (!version->is_number() || version->get<double>() != 1.0)
      return Fail("/version", "must be 1, the version this program reads");
    for (const auto& [key, value] : root.items()) {
      const std::string pointer = Step(key);
      const CField* field = FindDocumentField(key);
      if (!field) return Fail(pointer, "unknown field");
      if (key == "main" || key == "output") {
        if (!Path(value, pointer, key == "main" ? m_recipe.m_main : m_recipe.m_output))
          return false;
      } else if (key == "layers") {
        if (!value.is_array()) return Fail(pointer, "must be an array of layers");
        m_recipe.m_layers.resize(value.size());
        for (size_t i = 0; i < value.size(); ++i) {
          if (!Layer(value[i], pointer + "/" + std::to_string(i), m_recipe.m_layers[i]))
            return false;
        }
      } else if (field->m_option) {
        const auto text = OptionText(value, field->m_value);
        if (!text) return Fail(pointer, TypeNeeded(field->m_value));
        const std::string error = ApplyEncodeOption(m_recipe, field->m_option, *text);
        if (!error.empty()) return Fail(pointer, error);
      }
    }
    return true;
  }

 private:
  bool Fail(const std::string& pointer, const std::string& what) {
    m_error = pointer + ": " + what;
    return false;
  }

  bool Path(const Json& value, const std::string& pointer, std::string& path) {
    if (!value.is_string()) return Fail(pointer, "must be a string: a file name");
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty()) return Fail(pointer, "must name a file");
    path = JoinPath(m_folder, text);
    return true;
  }

  bool Layer(const Json& object, const std::string& pointer, CLayerRecipe& layer) {
    if (!object.is_object()) return Fail(pointer, "must be an object: {\"file\": ...}");
    for (const auto& [key, value] : object.items()) {
      const std::string field = pointer + Step(key);
      if (key == "file") {
        if (!Path(value, field, layer.m_file)) return false;
        continue;
      }
      const COptionInfo* option = FindLayerOption(key);
      if (!option) return Fail(field, "unknown field");
      const auto text = OptionText(value, option->m_value);
      if (!text) return Fail(field, TypeNeeded(option->m_value));
      const std::string error = ApplyLayerOption(layer, key, *text);
      if (!error.empty()) return Fail(field, error);
    }
    if (layer.m_file.empty())
      return Fail(pointer + "/file", "missing: the layer's picture or video");
    const std::string error = LayerOptionsError(layer);
    return error.empty() || Fail(pointer, error);
  }

  const std::string& m_folder;
  CMixRecipe& m_recipe;
  std::string& m_error;
};

}  // namespace

bool IsEncodeOption(std::string_view name) {
  return name == "format" || name == "codec" || name == "quality" || name == "keyframe-every" ||
         name == "data-rate";
}

std::string ApplyEncodeOption(CEncodeOptions& options, const std::string& name,
                              const std::string& value) {
  const auto number = ParseOptionInteger(value);
  if (name == "codec") {
    if (!FindCompressor(value)) return "unknown codec " + value + " (see --list-codecs)";
    options.m_codec = value;
  } else if (name == "format") {
    if (!ContainerNamed(value)) return "unknown format " + value + " (avi, mkv, webm, mp4, mov)";
    options.m_format = value;
  } else if (name == "quality") {
    if (!number || *number < 0 || *number > 100) return "--quality must be 0..100";
    options.m_quality = static_cast<int32_t>(*number);
  } else if (name == "keyframe-every") {
    if (!number || *number < 1 || *number > std::numeric_limits<int32_t>::max())
      return "--keyframe-every must be a positive number of frames";
    options.m_keyFrameEvery = static_cast<uint32_t>(*number);
  } else if (name == "data-rate") {
    // Kept small enough that the rate in bytes per second fits its 32-bit field.
    if (!number || *number < 1 || *number > 4000000) return "--data-rate must be 1..4000000 kbit/s";
    options.m_dataRateKbps = static_cast<uint32_t>(*number);
  } else if (name == "smart") {
    if (value != "true" && value != "false") return "smart must be true or false";
    options.m_smart = value == "true";
  } else {
    return "unknown option --" + name;
  }
  return {};
}

bool ReadRecipe(const std::string& text, const std::string& folder, CMixRecipe& recipe,
                std::string& error) {
  recipe = CMixRecipe{};
  error.clear();
  try {
    CTwiceGiven twice;
    const Json root = Json::parse(text, [&twice](int, Json::parse_event_t event, Json& parsed) {
      return twice.Event(event, parsed);
    });
    if (!twice.First().empty()) {
      error = twice.First() + ": given twice";
      return false;
    }
    return CReader(folder, recipe, error).Document(root);
  } catch (const nlohmann::json::parse_error& e) {
    error = SyntaxError(e, text);
  } catch (const std::exception& e) {
    error = std::string("the recipe cannot be read: ") + e.what();
  }
  return false;
}

std::string WriteRecipe(const CMixRecipe& recipe, const std::string& folder) {
  Json document = Json::object();
  document["version"] = recipe.m_version;
  if (!recipe.m_main.empty()) document["main"] = RelativePath(folder, recipe.m_main);
  if (!recipe.m_output.empty()) document["output"] = RelativePath(folder, recipe.m_output);
  if (!recipe.m_format.empty()) document["container"] = recipe.m_format;
  if (!recipe.m_codec.empty()) document["codec"] = recipe.m_codec;
  if (recipe.m_quality) document["quality"] = *recipe.m_quality;
  if (recipe.m_keyFrameEvery) document["keyframe-every"] = *recipe.m_keyFrameEvery;
  if (recipe.m_dataRateKbps) document["data-rate"] = *recipe.m_dataRateKbps;
  if (recipe.m_smart) document["smart"] = *recipe.m_smart;
  if (!recipe.m_layers.empty()) {
    Json& layers = document["layers"] = Json::array();
    for (const CLayerRecipe& layer : recipe.m_layers) {
      Json written = Json::object();
      written["file"] = RelativePath(folder, layer.m_file);
      for (const auto& [name, text] : LayerOptionTexts(layer))
        written[name] = OptionJson(text, FindLayerOption(name)->m_value);
      layers.push_back(std::move(written));
    }
  }
  try {
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  } catch (const std::exception&) {
    return {};  // only memory running out: there is no text to give
  }
}

std::vector<std::string> RecipeFieldNames() {
  std::vector<std::string> names;
  for (const CField& field : kDocumentFields) names.emplace_back(field.m_json);
  return names;
}

std::vector<std::string> LayerFieldNames() {
  std::vector<std::string> names = {"file"};
  for (const COptionInfo& option : LayerOptionTable()) names.emplace_back(option.m_name);
  return names;
}

bool ReadRecipeFile(const std::string& path, CMixRecipe& recipe, std::string& error) {
  std::error_code code;
  const std::uintmax_t size = std::filesystem::file_size(path, code);
  if (!code && size > kLargestRecipeFile) {
    error = path + ": too large for a recipe";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = path + ": cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (ReadRecipe(text, folder, recipe, error)) return true;
  error = path + ": " + error;
  return false;
}

bool WriteRecipeFile(const std::string& path, const CMixRecipe& recipe, std::string& error) {
  namespace fs = std::filesystem;
  std::error_code code;
  const auto absolute = [&code](const std::string& name) {
    if (name.empty() || name.front() == '/') return name;
    return fs::absolute(name, code).lexically_normal().string();
  };
  CMixRecipe written = recipe;
  written.m_main = absolute(written.m_main);
  written.m_output = absolute(written.m_output);
  for (CLayerRecipe& layer : written.m_layers) layer.m_file = absolute(layer.m_file);
  // A bare file name lies in the current folder.
  const fs::path parent = fs::path(path).parent_path();
  const std::string folder =
      fs::absolute(parent.empty() ? fs::path(".") : parent, code).lexically_normal().string();
  if (code) {
    error = path + ": " + code.message();
    return false;
  }
  const std::string text = WriteRecipe(written, folder);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file << text;
  if (file) file.close();
  if (!file || text.empty()) {
    error = path + ": cannot be written (" + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

}  // namespace corvane
