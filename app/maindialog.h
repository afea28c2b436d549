// The program's one main window: the mix settings, the two previews with the probe line, the
// status control and the menu. Modeless; the command ids and control ids below are the ones
// every other part of the program uses.
//
// Owns its controls, its menu, the Qt host through which the engine reaches the user and the
// mix worker thread (waited for before the dialog goes); the two pictures it shows belong to
// the engine (MixEngine()).
#pragma once

#include <QHash>
#include <QList>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "mix/composite.h"
#include "mix/layeroptions.h"
#include "mix/placement.h"
#include "mix/screenkey.h"

class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QMenuBar;
class QProgressBar;

namespace corvane {

class CCompositeWindow;
class CMixWorker;
class CPreviewControl;
class CPreviewPicture;
struct CLayerSpec;
struct CLayerStack;
struct CMixRecipe;
class CQtHost;

// Controls.
constexpr int kMainPreviewId = 1001;
constexpr int kTopPreviewId = 1002;
constexpr int kTopLayerLabelId = 1007;
constexpr int kProbeLineId = 1008;
constexpr int kRedId = 1009;
constexpr int kGreenId = 1010;
constexpr int kBlueId = 1011;
constexpr int kTopId = 1012;
constexpr int kLeftId = 1013;
constexpr int kStatusId = 1014;
constexpr int kAlphaId = 1022;
constexpr int kUseTransparencyId = 1023;
constexpr int kLoopTopLayerId = 1024;
constexpr int kUseLayerAlphaId = 1025;
constexpr int kKeyerId = 1026;
// The screen keyer's controls, shown only while it is chosen.
constexpr int kToleranceId = 1027;
constexpr int kToleranceAutoId = 1028;
constexpr int kToleranceValueId = 1029;
constexpr int kSoftnessId = 1030;
constexpr int kSoftnessAutoId = 1031;
constexpr int kSoftnessValueId = 1032;
constexpr int kDespillId = 1033;
constexpr int kDespillValueId = 1034;
constexpr int kAutoColourId = 1035;
// Says which field holds a value the mix cannot take; empty while every field reads.
constexpr int kFieldHintId = 1036;
// The placement in force: the corner preset, the scale and the time range.
constexpr int kPlacementLineId = 1037;
// The layer list beside the top preview, shown once there is more than one top layer.
constexpr int kLayerListId = 1038;
constexpr int kAddLayerId = 1039;
constexpr int kRemoveLayerId = 1040;
constexpr int kLayerUpId = 1041;
constexpr int kLayerDownId = 1042;
constexpr int kLayerModeId = 1043;

// Menu commands.
constexpr int kAboutCommand = 32772;
constexpr int kOpenMainCommand = 32773;
constexpr int kOpenTopCommand = 32774;
constexpr int kMixCommand = 32775;
constexpr int kAlphaMixCommand = 32776;
constexpr int kExitCommand = 32777;
constexpr int kStopCommand = 32778;
constexpr int kPreviewMixCommand = 32779;
constexpr int kPlacementCommand = 32780;
constexpr int kAddLayerCommand = 32781;
constexpr int kOpenRecipeCommand = 32782;
constexpr int kSaveRecipeCommand = 32783;

// One top layer of the list: its file and settings. The selected row's settings live in the
// dialog's fields and its picture in the engine's top picture; the others keep their own here.
struct CLayerRow {
  CLayerRow();
  CLayerRow(CLayerRow&&) noexcept;
  CLayerRow& operator=(CLayerRow&&) noexcept;
  ~CLayerRow();
  std::string m_path;
  CLayerOptions m_options;
  std::unique_ptr<CPreviewPicture> m_picture;  // null while the row is selected
};
// `options` as a layer is mixed and written: values the dialog keeps but the layer does not use
// (an offset under a corner preset, an idle keyer's levels) back at their defaults.
CLayerOptions TidyLayerOptions(CLayerOptions options);

class CMainDialog : public QWidget {
  Q_OBJECT
 public:
  // Builds the dialog and its menu, centred on the screen, not yet shown. Installs its host and
  // becomes the owner of every box and dialog a mix worker shows.
  CMainDialog();
  // Stops a mix still running and waits for its worker first.
  ~CMainDialog() override;

  // A control by id; null when there is none.
  QWidget* Control(int id) const { return m_controls.value(id, nullptr); }
  QString ControlText(int id) const;
  void SetControlText(int id, const QString& text);
  bool IsChecked(int id) const;
  // The area below the menu bar, in which the controls are placed.
  QWidget* Client() const { return m_client; }
  QMenuBar* MenuBar() const { return m_menuBar; }
  // A menu command by id; null when there is none.
  QAction* MenuCommand(int id) const { return m_commands.value(id, nullptr); }
  // Enables or grays a command. From another thread the change is queued to the UI thread;
  // a queued change older than one already applied to that command is dropped.
  void EnableMenuCommand(int id, bool enabled);
  // Shown beside the status text while a mix runs.
  QProgressBar* ProgressBar() const { return m_progress; }
  // True while a mix worker thread exists and has not ended.
  bool MixRunning() const;
  CQtHost& Host() const { return *m_host; }
  // True once the window has been destroyed by Exit or a confirmed close.
  bool IsDestroyed() const { return m_destroyed; }

  // Sizes the previews to the pictures, moves the status control, the "Top Layer" label and
  // the top preview below the main preview, resizes the dialog to fit and repaints the
  // previews. -1 when a preview control is missing, else 0.
  int LayoutPreviews();
  // Reads the key colour, offsets, switches, alpha level and keyer into MixSettings().
  void ReadMixSettings();
  // What keeps the fields from being mixed as they read, for the hint and the mix commands: a
  // key channel over 255, an offset beyond 2147483647 either way and (with `alpha`) an alpha
  // level outside 0-255. Empty when there is nothing.
  QString FieldProblem(bool alpha) const;
  // The text of the left or top field as the user set it. Under a corner preset the fields show
  // the offset the preset gives, and the user's own values wait here for Custom.
  QString OffsetText(int id) const;
  // The placement line's whole text (the line itself may be cut short to fit).
  QString PlacementSummary() const;
  // The rule a mix would apply with the current settings, in the colour-key or the alpha mode.
  CMixRule PreviewRule(bool alpha) const;
  // "Use layer alpha" is checked and enabled (the top layer has an alpha channel).
  bool LayerAlphaOn() const;
  // The keyer and its levels as the controls show them (never an automatic key: Auto colour
  // fills r, g, b instead). Tolerance stays below softness while both are set.
  CKeyerSettings KeyerSettings() const;
  // Shows `settings` in the controls; levels KeyerSettingsError refuses are taken as automatic.
  void SetKeyerSettings(const CKeyerSettings& settings);

  // Opens `path` into the main picture or the top one, as the open commands do once a name is
  // chosen (a file dropped on a preview comes here).
  void OpenSourcePath(bool main, const std::string& path);
  // The scale at which the previews show the pictures (1, or less when they would not fit).
  double PreviewScale() const { return m_previewScale; }
  // The top layers, the first lowest, and the one the fields show.
  int LayerCount() const { return int(m_layers.size()); }
  int SelectedLayer() const { return m_selected; }
  // Row `index`'s settings: the fields' for the selected one.
  CLayerOptions LayerOptions(int index) const;
  std::string LayerPath(int index) const;
  // Makes row `index` the one the fields, the top preview and the placement show.
  void SelectLayer(int index);
  // Appends a row for `path` and selects it; false when the file did not open.
  bool AddLayerPath(const std::string& path);
  void RemoveLayer();
  // Moves the selected row up (-1, towards the bottom of the mix) or down (+1).
  void MoveLayer(int step);
  // Every layer as the several-layer mix takes it; empty with fewer than two.
  std::vector<CLayerSpec> LayerSpecs() const;
  // The same layers with their streams, as the mix preview shows them, and the selected one.
  CLayerStack PreviewLayers() const;
  // The main, the layers and the last mix's output and compression as a recipe.
  CMixRecipe CurrentRecipe() const;
  // Saves CurrentRecipe() to `path`, or opens the sources and layers `path` names; false with
  // the reason shown.
  bool SaveRecipePath(const std::string& path);
  bool OpenRecipePath(const std::string& path);

  // The mix preview window; null until "Preview mix" first shows it.
  CCompositeWindow* CompositeWindow() const { return m_composite; }

  // Menu commands and notifications.
  int OnAbout();
  int OnExit();
  int OnOpenMain();
  int OnOpenTop();
  int OnMix();
  int OnAlphaMix();
  int OnStop();
  int OnPreviewMix();
  // Opens "Placement and timing"; an accepted change is kept, stored and shown.
  int OnPlacement();
  int OnAddLayer();
  int OnOpenRecipe();
  int OnSaveRecipe();
  // Takes `placement` as the dialog's (what OnPlacement does once the dialog is accepted).
  void SetPlacement(const CPlacement& placement);
  int OnMove();
  int OnMainPreviewClicked();
  int OnTopPreviewClicked();
  // Auto colour: the screen colour of the top preview's frame into r, g, b; the status line
  // says when there is none.
  int OnAutoColour();
  // The close request (close box): ends the program unless a running mix is to go on.
  void OnClose();

 protected:
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateControls();
  void CreateMenu();
  void OnInitDialog();
  void OnCommand(int id);
  void DestroyWindow();
  void OpenSource(bool main);
  // Creates the completion event, reads the settings and starts `procedure` as the worker.
  int StartMix(void (*procedure)());
  void ApplyMenuState(QAction* action, bool enabled, uint64_t sequence);
  void ShowProgress(const QString& status);
  void PlaceProgressBar();
  // Number fields that take only what they can hold, with their text selected on focus.
  void InstallFieldRules();
  // Marks the fields whose value the mix cannot take and says why in the hint line; what a field
  // takes is named there instead once it refused a key press, until it loses the focus.
  void ShowFieldHints();
  // Why the mix cannot take field `id` as it reads; empty when it can.
  QString ProblemOf(int id) const;
  // The placement line, and under a corner preset the offset it gives in left and top (the
  // fields then cannot be edited).
  void ShowPlacement();
  // The settings and the window title, kept between runs and naming the sources.
  void RestoreSettings();
  void StoreSettings() const;
  void UpdateTitle();
  void SettingsEdited();
  // Enables "Use layer alpha" for a top layer with alpha, and turns it on for one that needs it.
  void TopLayerOpened();
  // The keyer's controls: their ranges, defaults and what each change does.
  void SetUpKeyerControls();
  // Shows the screen keyer's controls only while it is chosen, making room for them above the
  // previews, and composites again.
  void OnKeyerChanged();
  // After a level moved or its Auto box changed: the other level gives way so that tolerance
  // stays below softness (`keepTolerance`: the tolerance is the one just set).
  void KeepLevelsApart(bool keepTolerance);
  void ShowLevels();
  // The scale that keeps the window within the screen's available area with these pictures.
  double FitScale(int mainWidth, int mainHeight, int topWidth, int topHeight) const;
  void KeepOnScreen();
  bool OpenAllowed() const;
  // The layer panel: made hidden, placed right of the top preview and shown with two or more
  // layers.
  void CreateLayerPanel();
  void PlaceLayerPanel();
  void ShowLayerRows();
  // The selected row's settings from the fields and its picture from the engine, into the row.
  void StashSelectedLayer();
  // Shows `options` in the fields and the placement (the row's picture is already the top one).
  void ShowLayerOptions(const CLayerOptions& options);
  // The fields as one layer's options (the mode from the mode list).
  CLayerOptions FieldLayerOptions() const;
  // The other layers' boxes on the main preview.
  void UpdateLayerBoxes();
  // Row `index` becomes the selected one, its picture the engine's top picture.
  void ShowSelectedRow(int index);
  // "Open top AVI" opened a new file into the selected row.
  void TopLayerReplaced();
  // After a mix command with one layer: that layer's mode is the command's.
  void SetLayerMode(bool alpha);

  std::unique_ptr<CQtHost> m_host;
  QMenuBar* m_menuBar = nullptr;
  QWidget* m_client = nullptr;
  QHash<int, QWidget*> m_controls;
  QHash<int, QAction*> m_commands;
  bool m_destroyed = false;
  QProgressBar* m_progress = nullptr;
  int m_progressTotal = 0;
  CCompositeWindow* m_composite = nullptr;  // a child window, made on first use
  double m_previewScale = 1.0;
  bool m_previewsLaidOut = false;     // LayoutPreviews has sized the window to the pictures
  QList<QWidget*> m_screenControls;   // shown with the screen keyer only
  QList<QWidget*> m_belowKeyer;       // moved down to make room for them
  int m_screenRoom = 0;               // pixels the screen keyer's rows take
  int m_keyerRoom = 0;                // pixels the controls below are moved down by now
  QObject* m_fieldFilter = nullptr;   // selects a field's text on focus; owned by the dialog
  QString m_refused;                  // what the last refused key press would have needed
  bool m_presetShown = false;         // left and top show a preset's offset...
  QString m_customLeft, m_customTop;  // ...and the user's own values are kept here
  QString m_placementSummary;
  std::atomic<uint64_t> m_menuSequence{0};
  QHash<QAction*, uint64_t> m_menuShown;  // UI thread only
  std::vector<CLayerRow> m_layers;
  int m_selected = 0;
  QWidget* m_layerPanel = nullptr;
  QListWidget* m_layerList = nullptr;
  QComboBox* m_layerMode = nullptr;
  // Declared last: destroyed first, while the host and the menu still exist.
  std::unique_ptr<CMixWorker> m_worker;
};

}  // namespace corvane
