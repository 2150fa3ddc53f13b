#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_logic.h"

class QComboBox;
class QFileDialog;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace iapflash {

// The dialog's layout scale: 1 dialog unit = 2 pixels in both directions.
inline constexpr int PIXELS_PER_DIALOG_UNIT = 2;

// Runs one of the window's modal dialogs (message box, open-file dialog) and returns its result.
// The window's tests answer the dialogs through it.
using ModalRunner = std::function<int(QDialog&)>;
int ExecModal(QDialog& dialog);

// The open-file dialog as the window shows it: title, "*.BIN" in any case, an existing file.
std::unique_ptr<QFileDialog> MakeUpdateFileDialog(QWidget* owner);

// The operator's window: the controls of the dialog resource, drawn by Qt, with every command
// handed to the portable window logic.
class MainWindow final : public QDialog, public WindowFront {
  Q_OBJECT

 public:
  MainWindow(SerialPorts& ports, DeviceTree& tree, Clock& clock,
             WindowActions actions = StandardWindowActions(), ModalRunner runModal = ExecModal);
  ~MainWindow() override;

  WindowLogic& Logic() { return *logic_; }

  // WindowFront
  void ShowError(const std::string& text) override;
  bool ChooseUpdateFile(std::string& path) override;
  std::string FilePathText() override;
  void SetFilePathText(const std::string& path) override;
  void AppendLogText(std::string_view text) override;
  void ClearLogText() override;
  int SelectedDeviceLine() override;
  void SetDeviceLines(const std::vector<std::string>& lines, int selected) override;
  void SetDownloadEnabled(bool enabled) override;
  void WakeWindowThread() override;
  void EndProgram() override;

 protected:
  // The close box and Esc.
  void reject() override;

 private slots:
  // Queued by WakeWindowThread.
  void RunPendingCalls();

 private:
  void BuildControls();

  ModalRunner runModal_;
  QComboBox* interfaceList_ = nullptr;
  QComboBox* deviceList_ = nullptr;
  QLineEdit* filePath_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  QPushButton* download_ = nullptr;
  QPushButton* findDevices_ = nullptr;
  QPushButton* clearLog_ = nullptr;
  QPushButton* browse_ = nullptr;
  // Last: built when the controls exist, and gone (its worker joined) before they go.
  std::unique_ptr<WindowLogic> logic_;
};

}  // namespace iapflash
