// libFuzzer target for mix recipes: any bytes read as a recipe never crash the reader and give
// either a recipe or a reason, and a recipe that reads is written and read back as the same
// recipe, in the same text the second time.
//
// Input: the recipe's text, read as in the folder /recipes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mix/recipe.h"

namespace {

const std::string kFolder = "/recipes";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  const std::string text(reinterpret_cast<const char*>(data), size);
  CMixRecipe recipe;
  std::string error;
  if (!ReadRecipe(text, kFolder, recipe, error)) {
    if (error.empty()) __builtin_trap();  // refused without a reason
    return 0;
  }
  const std::string written = WriteRecipe(recipe, kFolder);
  CMixRecipe back;
  if (!ReadRecipe(written, kFolder, back, error)) __builtin_trap();
  if (!(back == recipe)) __builtin_trap();
  if (WriteRecipe(back, kFolder) != written) __builtin_trap();
  return 0;
}
