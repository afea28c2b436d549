// Mix recipes: a recipe written and read back is the same mix, every mistake in a document is
// named by where it is, paths are taken from the recipe's folder, a value reads the same as a
// JSON number or as the command line's text, and the schema lists exactly the fields the reader
// takes.
#include "mix/recipe.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/testsupport.h"

namespace corvane {
namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

CLayerRecipe Layer(const std::string& file, const Options& options) {
  CLayerRecipe layer;
  layer.m_file = file;
  for (const auto& [name, value] : options) {
    const std::string error = ApplyLayerOption(layer, name, value);
    EXPECT_EQ(error, "") << name << " " << value;
  }
  return layer;
}

CMixRecipe Read(const std::string& text, const std::string& folder = "/r") {
  CMixRecipe recipe;
  std::string error;
  EXPECT_TRUE(ReadRecipe(text, folder, recipe, error)) << error << "\n" << text;
  return recipe;
}

std::string ReadError(const std::string& text) {
  CMixRecipe recipe;
  std::string error;
  EXPECT_FALSE(ReadRecipe(text, "/r", recipe, error)) << text;
  return error;
}

TEST(RecipeTest, AWrittenRecipeReadsBackAsTheSameMix) {
  struct CCase {
    const char* m_name;
    CMixRecipe m_recipe;
  };
  std::vector<CCase> cases(7);
  cases[0].m_name = "empty";
  cases[1].m_name = "colour key, placed and looped";
  cases[1].m_recipe.m_main = "/r/clip.mp4";
  cases[1].m_recipe.m_output = "/r/out/mix.mkv";
  cases[1].m_recipe.m_layers = {Layer(
      "/r/top.avi", {{"key", "0,255,0"}, {"at", "-100,50"}, {"loop", ""}, {"layer-alpha", ""}})};
  cases[2].m_name = "alpha mix with a fraction";
  cases[2].m_recipe.m_main = "/elsewhere/clip.avi";
  cases[2].m_recipe.m_layers = {Layer("/r/top.avi", {{"mode", "alpha"},
                                                     {"alpha", "127.30000000000001"},
                                                     {"no-transparency", ""},
                                                     {"key", "1,2,3"}})};
  cases[3].m_name = "screen keyer, automatic key, tuned";
  cases[3].m_recipe.m_layers = {
      Layer("/r/gs.mp4", {{"keyer", "screen"}, {"key", "auto"}, {"softness", "60"}}),
      Layer("/r/gs2.mp4",
            {{"keyer", "screen"}, {"key", "0,0,0"}, {"tolerance", "0"}, {"despill", "0"}})};
  cases[4].m_name = "corner, scale and times that do not round";
  cases[4].m_recipe.m_layers = {
      Layer("/r/logo.png", {{"corner", "br"},
                            {"margin", "0"},
                            {"scale", "33.333333333333336%"},
                            {"from", "0:01:05.123456789"},
                            {"to", "100000.1"},
                            {"fade-in", "0.1"},
                            {"fade-out", "1e-7"}}),
      Layer("/r/a.png", {{"corner", "c"}, {"scale", "-1x120"}, {"from", "0"}}),
      Layer("/r/b.png", {{"scale", "15.5%w"}, {"keyer", "none"}, {"to", "2"}})};
  cases[5].m_name = "encode options";
  cases[5].m_recipe.m_output = "/r/out";
  cases[5].m_recipe.m_format = "mkv";
  cases[5].m_recipe.m_codec = "mjpeg";
  cases[5].m_recipe.m_quality = 0;
  cases[5].m_recipe.m_keyFrameEvery = 2147483647;
  cases[5].m_recipe.m_dataRateKbps = 4000000;
  cases[5].m_recipe.m_smart = false;
  cases[6].m_name = "paths the folder's name begins but does not hold";
  cases[6].m_recipe.m_main = "/rr/clip.mp4";
  cases[6].m_recipe.m_output = "/r//out.avi";
  cases[6].m_recipe.m_layers = {Layer("/r/../up.png", {})};
  for (const CCase& test : cases) {
    const std::string text = WriteRecipe(test.m_recipe, "/r");
    CMixRecipe back;
    std::string error;
    ASSERT_TRUE(ReadRecipe(text, "/r", back, error)) << test.m_name << ": " << error << "\n"
                                                     << text;
    EXPECT_TRUE(back == test.m_recipe) << test.m_name << "\n" << text;
    EXPECT_EQ(WriteRecipe(back, "/r"), text) << test.m_name;
  }
}

TEST(RecipeTest, PathsAreWrittenRelativeOnlyBelowTheFolder) {
  CMixRecipe recipe;
  recipe.m_main = "/r/clips/main.mp4";
  recipe.m_output = "/rr/out.mkv";
  recipe.m_layers = {Layer("/r/../logo.png", {})};
  const nlohmann::json written = nlohmann::json::parse(WriteRecipe(recipe, "/r/"));
  EXPECT_EQ(written["main"], "clips/main.mp4");
  EXPECT_EQ(written["output"], "/rr/out.mkv");
  EXPECT_EQ(written["layers"][0]["file"], "../logo.png");
  EXPECT_EQ(written["version"], 1);
}

TEST(RecipeTest, PathsAreTakenFromTheRecipesFolderUnlessAbsolute) {
  const struct {
    const char* m_folder;
    const char* m_path;
    const char* m_read;
  } cases[] = {
      {"/r", "clip.mp4", "/r/clip.mp4"},           {"/r/", "sub/clip.mp4", "/r/sub/clip.mp4"},
      {"/r", "/abs/clip.mp4", "/abs/clip.mp4"},    {"", "clip.mp4", "clip.mp4"},
      {"recipes", "../x.png", "recipes/../x.png"},
  };
  for (const auto& test : cases) {
    const std::string path = nlohmann::json(test.m_path).dump();
    const CMixRecipe recipe = Read(R"({"version": 1, "main": )" + path + R"(, "output": )" + path +
                                       R"(, "layers": [{"file": )" + path + "}]}",
                                   test.m_folder);
    EXPECT_EQ(recipe.m_main, test.m_read) << test.m_folder << " " << test.m_path;
    EXPECT_EQ(recipe.m_output, test.m_read);
    ASSERT_EQ(recipe.m_layers.size(), 1u);
    EXPECT_EQ(recipe.m_layers[0].m_file, test.m_read);
  }
}

// A value reads the same whether written as a JSON number or as the command line's text, and
// a field left out is corvane-mix's default.
TEST(RecipeTest, NumbersAndTheCommandLinesTextsReadAlike) {
  const auto document = [](const std::string& fields, const std::string& layer) {
    return R"({"version": 1, )" + fields + R"("layers": [{"file": "a.png")" + layer + "}]}";
  };
  const struct {
    const char* m_fields;  // each pair: as numbers, as texts
    const char* m_layer;
    const char* m_textFields;
    const char* m_textLayer;
  } cases[] = {
      {"", R"(, "alpha": 64.5)", "", R"(, "alpha": "64.5")"},
      {"", R"(, "margin": 8, "corner": "tl")", "", R"(, "margin": "8", "corner": "tl")"},
      {"", R"(, "from": 90, "to": 95.25)", "", R"(, "from": "1:30", "to": "0:01:35.25")"},
      {"", R"(, "fade-in": 0.5, "fade-out": 2)", "", R"(, "fade-in": "0.5", "fade-out": "2")"},
      {"", R"(, "keyer": "screen", "key": "auto", "tolerance": 10, "softness": 20.0)", "",
       R"(, "keyer": "screen", "key": "auto", "tolerance": "10", "softness": "20")"},
      {"", R"(, "loop": false, "layer-alpha": false, "no-transparency": false)", "", ""},
      {R"("quality": 50, "keyframe-every": 12, "data-rate": 800, )", "",
       R"("quality": "50", "keyframe-every": "12", "data-rate": "800", )", ""},
  };
  for (const auto& test : cases) {
    const CMixRecipe number = Read(document(test.m_fields, test.m_layer));
    const CMixRecipe text = Read(document(test.m_textFields, test.m_textLayer));
    EXPECT_TRUE(number == text) << test.m_fields << test.m_layer;
  }
  EXPECT_EQ(Read(document(cases[6].m_fields, "")).m_keyFrameEvery, 12u);
  const CMixRecipe defaults = Read(document("", ""));
  EXPECT_TRUE(defaults.m_layers[0] == Layer("/r/a.png", {}));
  EXPECT_TRUE(static_cast<const CEncodeOptions&>(defaults) == CEncodeOptions{});
}

TEST(RecipeTest, MistakesAreNamedByWhereTheyAre) {
  const std::string layers = R"({"version": 1, "layers": [{"file": "a.png"}, {"file": "b.png", )";
  const struct {
    std::string m_text;
    std::string m_error;
  } cases[] = {
      // Unknown fields, at the top, in a layer, and with a name the pointer must escape.
      {R"({"version": 1, "mian": "clip.mp4"})", "/mian: unknown field"},
      {layers + R"("colour": "red"}]})", "/layers/1/colour: unknown field"},
      {R"({"version": 1, "a/b~": 1})", "/a~1b~0: unknown field"},
      // Wrong types.
      {layers + R"("loop": "yes"}]})", "/layers/1/loop: must be true or false"},
      {layers + R"("key": 255}]})", "/layers/1/key: must be a string"},
      {layers + R"("alpha": [1]}]})", "/layers/1/alpha: must be a number or a string"},
      {R"({"version": 1, "main": 3})", "/main: must be a string: a file name"},
      {R"({"version": 1, "layers": {"file": "a.png"}})", "/layers: must be an array of layers"},
      {R"({"version": 1, "layers": ["a.png"]})", "/layers/0: must be an object: {\"file\": ...}"},
      {R"({"version": 1, "codec": 7})", "/codec: must be a string"},
      {R"({"version": 1, "smart": "yes"})", "/smart: must be true or false"},
      {"[1, 2]", "a recipe is a JSON object: {\"version\": 1, ...}"},
      // Values out of range or not taken, with the command line's own texts.
      {layers + R"("scale": "0%"}]})",
       "/layers/1/scale: --scale must be above zero: 50% (of the top layer's size), 200x-1 "
       "(pixels, -1 keeps the aspect ratio) or 15%w (of the main picture's width)"},
      {layers + R"("key": "300,0,0"}]})", "/layers/1/key: --key values must be from 0 to 255"},
      {layers + R"("alpha": 255.5}]})", "/layers/1/alpha: --alpha must be a number from 0 to 255"},
      {layers + R"("margin": 2.5, "corner": "c"}]})",
       "/layers/1/margin: --margin must be 0..100000 pixels"},
      {layers + R"("tolerance": 101}]})",
       "/layers/1/tolerance: --tolerance must be from 0 to 100, or auto"},
      {layers + R"("corner": "middle"}]})",
       "/layers/1/corner: --corner must be tl, tr, bl, br or c"},
      {R"({"version": 1, "quality": 101})", "/quality: --quality must be 0..100"},
      {R"({"version": 1, "keyframe-every": 0})",
       "/keyframe-every: --keyframe-every must be a positive number of frames"},
      {R"({"version": 1, "data-rate": 4000001})",
       "/data-rate: --data-rate must be 1..4000000 kbit/s"},
      {R"({"version": 1, "container": "ogg"})",
       "/container: unknown format ogg (avi, mkv, webm, mp4, mov)"},
      {R"({"version": 1, "codec": "nonesuch"})",
       "/codec: unknown codec nonesuch (see --list-codecs)"},
      // Options that do not go together, named by their layer.
      {layers + R"("margin": 4}]})", "/layers/1: --margin goes with --corner"},
      {layers + R"("at": "1,2", "corner": "br"}]})",
       "/layers/1: --corner and --at both place the top layer: give one of them"},
      {layers + R"("from": 2, "to": "0:00:01.5"}]})", "/layers/1: --from must come before --to"},
      {layers + R"("keyer": "screen"}]})",
       "/layers/1: --keyer screen needs the screen colour: --key R,G,B or --key auto"},
      {layers + R"("key": "auto"}]})", "/layers/1: --key auto needs --keyer screen"},
      {layers + R"("despill": 5}]})",
       "/layers/1: --tolerance, --softness and --despill go with --keyer screen"},
      // Missing, given twice, or not the version this reader reads.
      {R"({"layers": []})", "/version: missing: a recipe begins with \"version\": 1"},
      {R"({"version": 2})", "/version: must be 1, the version this program reads"},
      {R"({"version": "1"})", "/version: must be 1, the version this program reads"},
      {layers + R"("loop": true}, {"mode": "alpha"}]})",
       "/layers/2/file: missing: the layer's picture or video"},
      {layers + R"("at": "1,2", "at": "3,4"}]})", "/layers/1/at: given twice"},
      {R"({"version": 1, "main": "a", "main": "a"})", "/main: given twice"},
      {R"({"version": 1, "main": ""})", "/main: must name a file"},
  };
  for (const auto& test : cases) EXPECT_EQ(ReadError(test.m_text), test.m_error) << test.m_text;
}

TEST(RecipeTest, ASyntaxErrorGivesItsLineAndColumn) {
  const struct {
    std::string m_text;
    std::string m_where;
  } cases[] = {
      {"{\n  \"version\": 1,\n  \"main\": tru\n}", "line 3, column 14: "},
      {"{\n  \"version\": 1,\n  \"layers\": [{\"file\": \"a.png\"},]\n}", "line 3, column 32: "},
      {"{\"version\": 1", "line 1, column 14: "},  // past the end
      {"", "line 1, column 1: "},
  };
  for (const auto& test : cases) {
    const std::string error = ReadError(test.m_text);
    EXPECT_EQ(error.substr(0, test.m_where.size()), test.m_where) << error;
    EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
  }
}

// The schema documents the fields the reader takes, no more and no fewer, each described.
TEST(RecipeTest, TheSchemaListsExactlyTheFieldsTheReaderTakes) {
  std::ifstream file(test::CorpusSource("../../docs/recipe.schema.json"));
  ASSERT_TRUE(file) << "docs/recipe.schema.json";
  const nlohmann::json schema = nlohmann::json::parse(file);
  const auto names = [](const nlohmann::json& properties) {
    std::set<std::string> keys;
    for (const auto& [key, value] : properties.items()) {
      keys.insert(key);
      EXPECT_TRUE(value.contains("description")) << key;
    }
    return keys;
  };
  const auto asSet = [](const std::vector<std::string>& list) {
    return std::set<std::string>(list.begin(), list.end());
  };
  EXPECT_EQ(names(schema.at("properties")), asSet(RecipeFieldNames()));
  EXPECT_EQ(names(schema.at("$defs").at("layer").at("properties")), asSet(LayerFieldNames()));
  EXPECT_EQ(schema.at("additionalProperties"), false);
  EXPECT_EQ(schema.at("$defs").at("layer").at("additionalProperties"), false);
}

// The command line's rule for each option is the recipe's: a value is refused with its text and
// leaves the layer as it was.
TEST(RecipeTest, ARefusedOptionLeavesTheLayerAsItWas) {
  const Options refused = {{"key", "1,2"},         {"key", "0,256,0"}, {"at", "1"},
                           {"at", "1,2147483648"}, {"mode", "blend"},  {"keyer", "blur"},
                           {"despill", "auto"},    {"scale", "big"},   {"from", "1:75"},
                           {"fade-in", "-1"},      {"loop", "yes"},    {"colour", "red"}};
  const CLayerRecipe before =
      Layer("a.png", {{"key", "9,8,7"}, {"at", "5,6"}, {"scale", "50%"}, {"from", "1"}});
  for (const auto& [name, value] : refused) {
    CLayerRecipe layer = before;
    EXPECT_NE(ApplyLayerOption(layer, name, value), "") << name << " " << value;
    EXPECT_TRUE(layer == before) << name << " " << value;
    EXPECT_EQ(layer.m_given, before.m_given) << name;
  }
}

TEST(RecipeTest, ARecipeFileKeepsItsPathsRelativeToItsFolder) {
  test::CTempDir dir;
  const std::string path = dir.Path("mix.json");
  CMixRecipe recipe;
  recipe.m_main = dir.Path("clip.mp4");
  recipe.m_output = "/elsewhere/out.mkv";
  recipe.m_layers = {Layer(dir.Path("logo.png"), {{"corner", "br"}})};
  std::string error;
  ASSERT_TRUE(WriteRecipeFile(path, recipe, error)) << error;
  std::ifstream file(path);
  const nlohmann::json written = nlohmann::json::parse(file);
  EXPECT_EQ(written["main"], "clip.mp4");
  EXPECT_EQ(written["layers"][0]["file"], "logo.png");

  CMixRecipe back;
  ASSERT_TRUE(ReadRecipeFile(path, back, error)) << error;
  EXPECT_TRUE(back == recipe);
  EXPECT_FALSE(ReadRecipeFile(dir.Path("none.json"), back, error));
  EXPECT_EQ(error.rfind(dir.Path("none.json") + ": cannot be read", 0), 0u) << error;
}

}  // namespace
}  // namespace corvane
