#include "main_window.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>

namespace iapflash {
namespace {

// A closed drop-down list is one text line high; its resource height includes the open list.
constexpr int DROP_DOWN_HEIGHT_DU = 12;
constexpr int WINDOW_FONT_PIXELS = 14;

int Px(int dialogUnits) {
  return dialogUnits * PIXELS_PER_DIALOG_UNIT;
}

QString Text(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string Utf8(const QString& text) {
  return text.toUtf8().toStdString();
}

const char* ControlName(int id) {
  switch (id) {
    case IDC_INTERFACE:
      return "IDC_INTERFACE";
    case IDC_DOWNLOAD:
      return "IDC_DOWNLOAD";
    case IDC_FILE_PATH:
      return "IDC_FILE_PATH";
    case IDC_FIND_DEVICES:
      return "IDC_FIND_DEVICES";
    case IDC_CLEAR_LOG:
      return "IDC_CLEAR_LOG";
    case IDC_LOG:
      return "IDC_LOG";
    case IDC_BROWSE:
      return "IDC_BROWSE";
    case IDC_DEVICE_LIST:
      return "IDC_DEVICE_LIST";
    default:
      return "";
  }
}

}  // namespace

int ExecModal(QDialog& dialog) {
  return dialog.exec();
}

std::unique_ptr<QFileDialog> MakeUpdateFileDialog(QWidget* owner) {
  const QString filter = QString::fromUtf8(FILE_DIALOG_FILTER);
  auto dialog = std::make_unique<QFileDialog>(owner, QString::fromUtf8(FILE_DIALOG_TITLE));
  // Qt's own dialog on every platform, so that the filter below behaves the same everywhere.
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setNameFilter(filter);
  // On Linux a case-sensitive "*.BIN" would hide every lower-case .bin file.
  dialog->setFilter(dialog->filter() & ~QDir::CaseSensitive);
  return dialog;
}

MainWindow::MainWindow(SerialPorts& ports, DeviceTree& tree, Clock& clock, WindowActions actions,
                       ModalRunner runModal)
    : runModal_(std::move(runModal)) {
  setWindowTitle(QString::fromUtf8(WINDOW_TITLE));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(false);
  setFixedSize(Px(WINDOW_WIDTH_DU), Px(WINDOW_HEIGHT_DU));
  QFont windowFont = font();
  windowFont.setPixelSize(WINDOW_FONT_PIXELS);
  setFont(windowFont);
  BuildControls();
  logic_ = std::make_unique<WindowLogic>(*this, ports, tree, clock, std::move(actions));
  logic_->Start();
}

MainWindow::~MainWindow() {
  // Joins a running worker while the controls it may still ask about exist.
  logic_.reset();
}

void MainWindow::BuildControls() {
  QWidget* previousTabStop = nullptr;
  QGroupBox* frame = nullptr;
  for (const WindowControl& control : MAIN_WINDOW_CONTROLS) {
    const QString caption = QString::fromUtf8(control.caption);
    int height = control.height;
    QWidget* widget = nullptr;
    switch (control.kind) {
      case ControlKind::Label: {
        auto* label = new QLabel(caption, this);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        widget = label;
        break;
      }
      case ControlKind::DropDownList: {
        auto* list = new QComboBox(this);
        // As many lines as the open list's height holds.
        list->setMaxVisibleItems((control.height - DROP_DOWN_HEIGHT_DU) / 10);
        height = DROP_DOWN_HEIGHT_DU;
        widget = list;
        break;
      }
      case ControlKind::PushButton: {
        auto* button = new QPushButton(caption, this);
        button->setAutoDefault(false);
        if (control.textLeft)
          button->setStyleSheet("QPushButton { text-align: left; padding-left: 4px; }");
        widget = button;
        break;
      }
      case ControlKind::LineEdit:
        widget = new QLineEdit(this);
        break;
      case ControlKind::LogEdit: {
        auto* pane = new QPlainTextEdit(this);
        pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        pane->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        widget = pane;
        break;
      }
      case ControlKind::GroupBox:
        frame = new QGroupBox(this);
        widget = frame;
        break;
    }
    widget->setObjectName(ControlName(control.id));
    widget->setGeometry(Px(control.x), Px(control.y), Px(control.width), Px(height));
    if (control.tabStop) {
      widget->setFocusPolicy(Qt::StrongFocus);
      if (previousTabStop) setTabOrder(previousTabStop, widget);
      previousTabStop = widget;
    } else {
      widget->setFocusPolicy(Qt::NoFocus);
    }
    switch (control.id) {
      case IDC_INTERFACE:
        interfaceList_ = static_cast<QComboBox*>(widget);
        break;
      case IDC_DEVICE_LIST:
        deviceList_ = static_cast<QComboBox*>(widget);
        break;
      case IDC_FILE_PATH:
        filePath_ = static_cast<QLineEdit*>(widget);
        break;
      case IDC_LOG:
        log_ = static_cast<QPlainTextEdit*>(widget);
        break;
      case IDC_DOWNLOAD:
        download_ = static_cast<QPushButton*>(widget);
        break;
      case IDC_FIND_DEVICES:
        findDevices_ = static_cast<QPushButton*>(widget);
        break;
      case IDC_CLEAR_LOG:
        clearLog_ = static_cast<QPushButton*>(widget);
        break;
      case IDC_BROWSE:
        browse_ = static_cast<QPushButton*>(widget);
        break;
      default:
        break;
    }
  }
  // The frame is drawn behind the controls it surrounds and never takes their clicks.
  frame->lower();
  frame->setAttribute(Qt::WA_TransparentForMouseEvents);

  for (const char* item : INTERFACE_ITEMS) interfaceList_->addItem(QString::fromUtf8(item));
  interfaceList_->setCurrentIndex(INTERFACE_SERIAL);
  interfaceList_->setEnabled(false);

  connect(findDevices_, &QPushButton::clicked, this, [this] { logic_->FindDevices(); });
  connect(download_, &QPushButton::clicked, this, [this] { logic_->Download(); });
  connect(clearLog_, &QPushButton::clicked, this, [this] { logic_->ClearLog(); });
  connect(browse_, &QPushButton::clicked, this, [this] { logic_->Browse(); });
}

void MainWindow::ShowError(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(MESSAGE_BOX_CAPTION), Text(text),
                  QMessageBox::Ok, this);
  runModal_(box);
}

bool MainWindow::ChooseUpdateFile(std::string& path) {
  const auto dialog = MakeUpdateFileDialog(this);
  if (runModal_(*dialog) != QDialog::Accepted) return false;
  const QStringList chosen = dialog->selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty()) return false;
  path = Utf8(chosen.first());
  return true;
}

std::string MainWindow::FilePathText() {
  return Utf8(filePath_->text());
}

void MainWindow::SetFilePathText(const std::string& path) {
  filePath_->setText(Text(path));
  filePath_->setCursorPosition(static_cast<int>(filePath_->text().size()));
}

void MainWindow::AppendLogText(std::string_view text) {
  QString shown = Text(text);
  // The pane's lines end in "\n"; the log's own line ends are "\r\n".
  shown.remove(QLatin1Char('\r'));
  QTextCursor end(log_->document());
  end.movePosition(QTextCursor::End);
  end.insertText(shown);
  log_->moveCursor(QTextCursor::End);
  log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
}

void MainWindow::ClearLogText() {
  log_->clear();
}

int MainWindow::SelectedDeviceLine() {
  return deviceList_->currentIndex();
}

void MainWindow::SetDeviceLines(const std::vector<std::string>& lines, int selected) {
  deviceList_->clear();
  for (const std::string& line : lines) deviceList_->addItem(Text(line));
  deviceList_->setCurrentIndex(selected);
}

void MainWindow::SetDownloadEnabled(bool enabled) {
  download_->setEnabled(enabled);
}

void MainWindow::WakeWindowThread() {
  // Invoked by name: the queued call is then built and read inside Qt alone, and the worker
  // hands nothing of its own to the window's thread through Qt's queue.
  QMetaObject::invokeMethod(this, "RunPendingCalls", Qt::QueuedConnection);
}

void MainWindow::RunPendingCalls() {
  if (logic_) logic_->RunPendingCalls();
}

void MainWindow::EndProgram() {
  done(QDialog::Rejected);
  QCoreApplication::exit(0);
}

void MainWindow::reject() {
  logic_->Close();
}

}  // namespace iapflash
