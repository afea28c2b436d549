// Recipes in the desktop program: "Save recipe" writes the main video, every layer with its
// settings and the last mix's output and compression, so that corvane-mix --recipe makes the
// same mix; "Open recipe" opens the sources and layers one names, with their settings.
#include <QFileInfo>
#include <QListWidget>
#include <cmath>

#include "app/copychoice.h"
#include "app/fileselect.h"
#include "app/maindialog.h"
#include "app/mixcontrol.h"
#include "app/qthost.h"
#include "media/host.h"
#include "mix/recipe.h"
#include "preview/mixengine.h"

namespace corvane {
namespace {

const QStringList& RecipeFilter() {
  static const QStringList filter{QStringLiteral("Recipes (*.json)"),
                                  QStringLiteral("All files (*.*)")};
  return filter;
}

// The compression choice as the command line's encode options.
void TakeCompression(const AVICOMPRESSOPTIONS& options, CEncodeOptions& encode) {
  const CCompressorInfo* info = FindCompressor(options.fccHandler);
  if (!info) return;
  encode.m_codec = info->m_name;
  // The dialog's quality runs 0..10000, the command line's 0..100.
  if (options.dwQuality != 0xFFFFFFFFu && info->m_honoursQuality)
    encode.m_quality =
        static_cast<int32_t>(std::lround(std::min(options.dwQuality, 10000u) / 100.0));
  if ((options.dwFlags & AVICOMPRESSF_KEYFRAMES) && options.dwKeyFrameEvery > 0 &&
      info->m_honoursKeyFrames)
    encode.m_keyFrameEvery = options.dwKeyFrameEvery;
  if ((options.dwFlags & AVICOMPRESSF_DATARATE) && info->m_honoursDataRate) {
    const uint32_t kbps = static_cast<uint32_t>(uint64_t{options.dwBytesPerSecond} * 8 / 1000);
    if (kbps >= 1) encode.m_dataRateKbps = std::min(kbps, 4000000u);
  }
}

}  // namespace

CMixRecipe CMainDialog::CurrentRecipe() const {
  CMixRecipe recipe;
  recipe.m_main = MixEngine().m_mainPicture.m_path;
  const int count = std::max(LayerCount(), MixEngine().m_topPicture.m_path.empty() ? 0 : 1);
  for (int index = 0; index < count; ++index) {
    CLayerRecipe layer;
    static_cast<CLayerOptions&>(layer) = TidyLayerOptions(LayerOptions(index));
    layer.m_file = index == m_selected ? MixEngine().m_topPicture.m_path : LayerPath(index);
    recipe.m_layers.push_back(std::move(layer));
  }
  recipe.m_output = MixOutputPath();
  // Only a choice other than the container's own is written: a recipe of defaults stays as it
  // was, and corvane-mix makes the same file from either.
  if (!recipe.m_output.empty() &&
      MixCopiesUnchanged() != CopiesByDefault(OutputContainer(recipe.m_output).m_kind))
    recipe.m_smart = MixCopiesUnchanged();
  if (m_host->m_lastCompression) TakeCompression(*m_host->m_lastCompression, recipe);
  return recipe;
}

bool CMainDialog::SaveRecipePath(const std::string& path) {
  std::string error;
  if (!WriteRecipeFile(path, CurrentRecipe(), error)) {
    ShowMessage(error, MB_ICONERROR);
    return false;
  }
  SetStatus("Recipe saved: " + QFileInfo(QString::fromStdString(path)).fileName().toStdString());
  return true;
}

bool CMainDialog::OpenRecipePath(const std::string& path) {
  CMixRecipe recipe;
  std::string error;
  if (!ReadRecipeFile(path, recipe, error)) {
    ShowMessage(error, MB_ICONERROR);
    return false;
  }
  if (!recipe.m_main.empty()) OpenSourcePath(true, recipe.m_main);
  // The recipe's layers take the place of the list's.
  for (size_t index = 0; index < recipe.m_layers.size(); ++index) {
    const CLayerRecipe& layer = recipe.m_layers[index];
    const bool opened = index == 0 ? (OpenSourcePath(false, layer.m_file),
                                      MixEngine().m_topPicture.m_path == layer.m_file)
                                   : AddLayerPath(layer.m_file);
    if (!opened) return false;
    if (index == 0) {
      // Every other row goes; the first is the one just opened.
      m_layers.resize(1);
    }
    ShowLayerOptions(layer);
  }
  ShowLayerRows();
  SelectLayer(0);
  return true;
}

int CMainDialog::OnSaveRecipe() {
  const std::optional<std::string> name =
      SelectFile(this, RecipeFilter(), QStringLiteral("Save recipe"), EFileKind::kSave);
  if (name) SaveRecipePath(*name);
  return 0;
}

int CMainDialog::OnOpenRecipe() {
  if (!OpenAllowed()) return 0;
  const std::optional<std::string> name =
      SelectFile(this, RecipeFilter(), QStringLiteral("Open recipe"), EFileKind::kOpen);
  if (name) OpenRecipePath(*name);
  return 0;
}

}  // namespace corvane
