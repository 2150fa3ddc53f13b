#include "main_window.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <climits>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "log/log.h"
#include "sim/sim_bus.h"
#include "sim/sim_device.h"

// Readable failure messages for Qt's strings.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out) {
  *out << '{';
  for (const QString& text : list) {
    PrintTo(text, out);
    *out << ' ';
  }
  *out << '}';
}
QT_END_NAMESPACE

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// What one of the window's modal dialogs showed.
struct DialogSeen {
  QString title;
  QString text;  // a message box's text
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList filters;  // the file dialog's name filters
  QWidget* owner = nullptr;
};

// Answers the window's dialogs in the operator's place: message boxes with OK, the open-file
// dialog with fileToChoose (empty: cancel).
struct Operator {
  int Answer(QDialog& dialog) {
    DialogSeen seen;
    seen.title = dialog.windowTitle();
    seen.owner = dialog.parentWidget();
    if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
      seen.text = box->text();
      seen.icon = box->icon();
      boxes.push_back(seen);
      return QMessageBox::Ok;
    }
    auto* files = qobject_cast<QFileDialog*>(&dialog);
    if (!files) return QDialog::Rejected;
    seen.filters = files->nameFilters();
    fileDialogs.push_back(seen);
    if (fileToChoose.isEmpty()) return QDialog::Rejected;
    files->selectFile(fileToChoose);
    return QDialog::Accepted;
  }
  std::vector<DialogSeen> boxes;
  std::vector<DialogSeen> fileDialogs;
  QString fileToChoose;
};

SimUsbDevice Application(std::vector<std::string> ports, const std::string& location,
                         const std::string& bootPort) {
  SimUsbDevice device;
  device.ports = std::move(ports);
  device.location = location;
  device.bootPort = bootPort;
  return device;
}

// Lets the window's thread work (real time: these tests drive whole downloads) until done holds.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QTest::qWait(10);
  }
  return true;
}

void Quiet(const std::string&) {}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDiagnosticSink(&Quiet); }
  void TearDown() override {
    window.reset();
    bus.reset();
    SetDiagnosticSink(nullptr);
  }

  // Opens the window on a simulated bus and lets its first scan run.
  void Open(std::unique_ptr<SimulatedBus> simulated) {
    bus = std::move(simulated);
    ASSERT_TRUE(bus);
    window = std::make_unique<MainWindow>(bus->Ports(), bus->Tree(), SystemClock(),
                                          StandardWindowActions(),
                                          [this](QDialog& dialog) { return op.Answer(dialog); });
    window->show();
    ASSERT_TRUE(WaitUntil([&] { return Log().startsWith("已查找到"); }, 10000));
  }
  void Open(const std::vector<SimUsbDevice>& devices) {
    Open(MakeSimulatedBus(devices, SystemClock()));
  }

  template <class Widget>
  Widget* Control(const char* name) {
    auto* widget = window->findChild<Widget*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QPushButton* Button(const char* name) { return Control<QPushButton>(name); }
  QComboBox* DeviceList() { return Control<QComboBox>("IDC_DEVICE_LIST"); }
  QLineEdit* FilePath() { return Control<QLineEdit>("IDC_FILE_PATH"); }
  QPlainTextEdit* Pane() { return Control<QPlainTextEdit>("IDC_LOG"); }
  QString Log() { return Pane()->toPlainText(); }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  QStringList Lines(QComboBox* list) {
    QStringList lines;
    for (int i = 0; i < list->count(); ++i) lines << list->itemText(i);
    return lines;
  }

  Operator op;
  std::unique_ptr<SimulatedBus> bus;
  std::unique_ptr<MainWindow> window;
};

const std::vector<SimUsbDevice> TWO_DEVICES = {
    Application({"COM3", "COM4"}, "Port_#0001.Hub_#0001", "COM8"),
    Application({"COM5", "COM6"}, "Port_#0002.Hub_#0001", "COM9")};

TEST_F(WindowTest, LaidOutAsTheDialogResource) {
  Open(TWO_DEVICES);
  EXPECT_EQ(window->windowTitle(), "固件更新工具(R2/T2/T4)V110");
  EXPECT_EQ(window->minimumSize(), QSize(790, 506));
  EXPECT_EQ(window->maximumSize(), QSize(790, 506));

  QStringList labels;
  for (const QLabel* label : window->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
    labels << label->text() + QString(" @%1,%2").arg(label->x()).arg(label->y());
  }
  EXPECT_EQ(labels, QStringList({"下载接口: @24,30", "设备列表: @176,32", "下载文件: @24,70"}));

  const struct {
    const char* name;
    QRect geometry;
    QString caption;
  } controls[] = {
      {"IDC_DOWNLOAD", {660, 94, 118, 34}, "3.固件下载"},
      {"IDC_FIND_DEVICES", {660, 26, 118, 30}, "1.查找设备"},
      {"IDC_CLEAR_LOG", {660, 134, 118, 30}, "清空记录"},
      {"IDC_BROWSE", {660, 60, 118, 30}, "2.指定下载文件"},
      {"IDC_FILE_PATH", {102, 68, 548, 26}, ""},
      {"IDC_LOG", {22, 102, 626, 382}, ""},
  };
  for (const auto& control : controls) {
    SCOPED_TRACE(control.name);
    QWidget* widget = Control<QWidget>(control.name);
    EXPECT_EQ(widget->geometry(), control.geometry);
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
      EXPECT_EQ(button->text(), control.caption);
    }
  }
  EXPECT_EQ(DeviceList()->geometry().topLeft(), QPoint(256, 28));
  EXPECT_EQ(DeviceList()->width(), 398);

  auto* interfaceList = Control<QComboBox>("IDC_INTERFACE");
  EXPECT_EQ(Lines(interfaceList), QStringList({"USB", "串口"}));
  EXPECT_EQ(interfaceList->currentIndex(), 1);
  EXPECT_FALSE(interfaceList->isEnabled());

  // The frame surrounds everything and lies beneath it.
  auto* frame = window->findChild<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->geometry(), QRect(6, 4, 780, 496));
  EXPECT_EQ(window->childAt(700, 110), Button("IDC_DOWNLOAD")) << "the frame takes the click";

  EXPECT_FALSE(Pane()->isReadOnly());
  EXPECT_EQ(Pane()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

  // Tab order: the tab stops in the order of the resource.
  QStringList tabOrder;
  for (QWidget* w = window->nextInFocusChain(); w != window.get(); w = w->nextInFocusChain()) {
    if (w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) && w->parentWidget() == window.get())
      tabOrder << w->objectName();
  }
  EXPECT_EQ(tabOrder, QStringList({"IDC_DOWNLOAD", "IDC_DEVICE_LIST", "IDC_FILE_PATH",
                                   "IDC_FIND_DEVICES", "IDC_CLEAR_LOG", "IDC_LOG", "IDC_BROWSE"}));
}

TEST_F(WindowTest, DeviceListShowsTheScanAndSelectsTheLastDevice) {
  Open(TWO_DEVICES);
  EXPECT_EQ(Log(), "已查找到2个设备\n");
  EXPECT_EQ(Lines(DeviceList()),
            QStringList({" Port0>> P0:COM3,P1:COM4,", " Port1>> P0:COM5,P1:COM6,"}));
  EXPECT_EQ(DeviceList()->currentIndex(), 1);

  DeviceList()->setCurrentIndex(0);
  Click("IDC_FIND_DEVICES");
  EXPECT_EQ(DeviceList()->currentIndex(), 1) << "a rescan selects the last device again";
  EXPECT_EQ(Log(), "已查找到2个设备\n已查找到2个设备\n");
}

TEST_F(WindowTest, DownloadRefusesWithTheWindowsOwnWords) {
  QTemporaryDir folder;
  const QString missing = folder.path() + "/gone.bin";
  QFile here(folder.path() + "/here.bin");
  ASSERT_TRUE(here.open(QIODevice::WriteOnly));
  here.close();
  const QString longPath = folder.path() + QString("/.").repeated(PATH_MAX / 2) + "/here.bin";
  const struct {
    const char* name;
    bool devices;
    QString path;
    QString box;
    QString logged;
  } cases[] = {
      {"no device found", false, missing, "请先选择下载设备或者当前没有找到下载设备",
       "请先选择下载设备或者当前没有找到下载设备.\n"},
      {"no path", true, "", "请先选择下载文件", "下载失败!请先选择下载文件\n"},
      {"missing file", true, missing, "下载文件不存在或正在使用", ""},
      // Longer than the system takes, though it leads to a file: refused as a missing file.
      {"path beyond the limit", true, longPath, "下载文件不存在或正在使用", ""},
  };
  for (const auto& check : cases) {
    SCOPED_TRACE(check.name);
    op = Operator();
    Open(check.devices ? TWO_DEVICES : std::vector<SimUsbDevice>{});
    Click("IDC_CLEAR_LOG");
    EXPECT_EQ(Log(), "") << "clear log empties the pane";
    FilePath()->setText(check.path);

    Click("IDC_DOWNLOAD");
    ASSERT_EQ(op.boxes.size(), 1u);
    EXPECT_EQ(op.boxes[0].text, check.box);
    EXPECT_EQ(op.boxes[0].title, "IAP DEMO");
    EXPECT_EQ(op.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(op.boxes[0].owner, window.get());
    EXPECT_EQ(Log(), check.logged);
    EXPECT_FALSE(window->Logic().DownloadRunning());
    EXPECT_TRUE(Button("IDC_DOWNLOAD")->isEnabled());
  }
}

TEST_F(WindowTest, LogPaneKeepsTheNewestTextInView) {
  Open(TWO_DEVICES);
  Pane()->moveCursor(QTextCursor::Start);
  for (int i = 0; i < 100; ++i) window->AppendLogText("3.开始更新FLASH>>\r\n");
  window->AppendLogText(".");
  window->AppendLogText("  成功\r\n");
  const QScrollBar* scroll = Pane()->verticalScrollBar();
  EXPECT_GT(scroll->maximum(), 0);
  EXPECT_EQ(scroll->value(), scroll->maximum());
  EXPECT_TRUE(Log().startsWith("已查找到2个设备\n3.开始更新FLASH>>\n"));
  EXPECT_TRUE(Log().endsWith("3.开始更新FLASH>>\n.  成功\n"));
}

TEST_F(WindowTest, BrowseFillsThePathOrLogsTheCancel) {
  Open(TWO_DEVICES);
  Click("IDC_CLEAR_LOG");
  FilePath()->setText("/fw/old.bin");
  Click("IDC_BROWSE");
  ASSERT_EQ(op.fileDialogs.size(), 1u);
  EXPECT_EQ(op.fileDialogs[0].title, "选择下载文件");
  EXPECT_EQ(op.fileDialogs[0].filters, QStringList({"*.BIN"}));
  EXPECT_EQ(op.fileDialogs[0].owner, window.get());
  EXPECT_EQ(Log(), "选择发送文件出错\n");
  EXPECT_EQ(FilePath()->text(), "/fw/old.bin");

  op.fileToChoose = QString(SAMPLES_DIR) + "/demo_app.bin";
  Click("IDC_BROWSE");
  EXPECT_EQ(FilePath()->text(), op.fileToChoose);
  EXPECT_EQ(FilePath()->cursorPosition(), op.fileToChoose.size());
  EXPECT_EQ(Log(), "选择发送文件出错\n");
}

TEST_F(WindowTest, FileDialogOffersBinFilesInAnyCase) {
  QTemporaryDir folder;
  for (const char* name : {"a.bin", "B.BIN", "c.Bin", "d.hex", "e.bin.txt"}) {
    QFile file(folder.path() + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  const auto dialog = MakeUpdateFileDialog(nullptr);
  dialog->setDirectory(folder.path());
  dialog->show();
  auto* model = dialog->findChild<QFileSystemModel*>();
  ASSERT_NE(model, nullptr);
  QStringList offered;
  const bool listed = WaitUntil(
      [&] {
        offered.clear();
        const QModelIndex root = model->index(folder.path());
        for (int row = 0; row < model->rowCount(root); ++row) {
          offered << model->index(row, 0, root).data().toString();
        }
        return offered.size() >= 3;
      },
      10000);
  EXPECT_TRUE(listed);
  EXPECT_THAT(offered, UnorderedElementsAre("a.bin", "B.BIN", "c.Bin"));
  dialog->reject();
}

// A whole download on the demo bus into its boot program (the last device, selected by the
// first scan), clicked through the window.
TEST_F(WindowTest, DownloadClickedThroughTheWindow) {
  Open(MakeSimulatedBus("demo", SystemClock()));
  Click("IDC_FIND_DEVICES");
  const QStringList devicesBefore = Lines(DeviceList());
  ASSERT_FALSE(devicesBefore.isEmpty());
  EXPECT_EQ(DeviceList()->currentIndex(), devicesBefore.size() - 1);
  op.fileToChoose = QString(SAMPLES_DIR) + "/demo_app.bin";
  Click("IDC_BROWSE");
  Click("IDC_DOWNLOAD");
  EXPECT_FALSE(Button("IDC_DOWNLOAD")->isEnabled()) << "disabled before the worker runs";

  ASSERT_TRUE(WaitUntil([&] { return Log().contains("****固件下载成功."); }))
      << Log().toStdString();
  ASSERT_TRUE(WaitUntil([&] { return Button("IDC_DOWNLOAD")->isEnabled(); }));
  const QString log = Log();
  EXPECT_TRUE(log.contains("    COM8打开成功")) << log.toStdString();
  EXPECT_TRUE(log.contains("4.写FLASH>>\n..  成功\n")) << "progress dots join the current line";
  const qsizetype success = log.indexOf("****固件下载成功.");
  EXPECT_GT(log.indexOf("已查找到", success), success) << "the list is refreshed after the run";
  EXPECT_EQ(Lines(DeviceList()), devicesBefore);
  EXPECT_EQ(DeviceList()->currentIndex(), devicesBefore.size() - 1);
  EXPECT_TRUE(op.boxes.empty());
}

// The operator keeps clicking while a download (with a mode switch) runs: scans wait for the run,
// the log can be cleared, and nothing races (the tsan build checks this).
TEST_F(WindowTest, OperatorClicksWhileADownloadRuns) {
  Open({Application({"COM5", "COM6"}, "Port_#0002.Hub_#0001", "COM9")});
  FilePath()->setText(QString(SAMPLES_DIR) + "/demo_app.hex");
  Click("IDC_CLEAR_LOG");
  Click("IDC_DOWNLOAD");

  int clicksDuringRun = 0;
  while (window->Logic().DownloadRunning()) {
    Click("IDC_FIND_DEVICES");
    EXPECT_FALSE(Log().contains("已查找到")) << "a scan ran beside the download";
    Click("IDC_CLEAR_LOG");
    ++clicksDuringRun;
    QTest::qWait(20);
  }
  EXPECT_GT(clicksDuringRun, 0);
  EXPECT_TRUE(Button("IDC_DOWNLOAD")->isEnabled());
  EXPECT_TRUE(Log().contains("已查找到")) << "the held-back scan ran after the download";
  // The device is back as its boot program.
  EXPECT_EQ(Lines(DeviceList()).value(0), "IAP Port0>> P0:COM9,");
  EXPECT_EQ(DeviceList()->currentIndex(), DeviceList()->count() - 1);
}

// Esc and the close box end the program, also in the middle of a download.
TEST_F(WindowTest, ClosingEndsTheProgram) {
  const std::function<void(QWidget*)> closers[] = {
      [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); },
      [](QWidget* w) { w->close(); },
  };
  for (const auto& closeWindow : closers) {
    for (bool downloading : {false, true}) {
      SCOPED_TRACE(downloading ? "during a download" : "idle");
      Open({Application({"COM5", "COM6"}, "Port_#0002.Hub_#0001", "COM9")});
      if (downloading) {
        FilePath()->setText(QString(SAMPLES_DIR) + "/demo_app.bin");
        Click("IDC_DOWNLOAD");
        ASSERT_TRUE(window->Logic().DownloadRunning());
      }
      QTimer::singleShot(0, window.get(), [&] { closeWindow(window.get()); });
      EXPECT_EQ(QApplication::exec(), 0);
      EXPECT_FALSE(window->isVisible());
      window.reset();  // joins a running worker
    }
  }
}

// A worker waiting for a reply (up to 8 s) is cut short: the program ends at once, not when the
// read gives up.
TEST_F(WindowTest, ClosingInTheMiddleOfAReadEndsTheProgramPromptly) {
  SimUsbDevice boot;
  boot.role = SimRole::BootProgram;
  boot.ports = {"COM9"};
  boot.location = "Port_#0002.Hub_#0001";
  Open({boot});
  bus->BootProgram("COM9")->AddFault(*ParseSimFault("silent:prog"));
  FilePath()->setText(QString(SAMPLES_DIR) + "/demo_app.bin");
  Click("IDC_DOWNLOAD");
  // The first program command has reached the device: the worker now reads its reply.
  ASSERT_TRUE(WaitUntil([&] { return bus->BootProgram("COM9")->Commands().size() >= 2; }, 10000));

  QElapsedTimer timer;
  QTimer::singleShot(0, window.get(), [&] {
    timer.start();
    window->close();
  });
  EXPECT_EQ(QApplication::exec(), 0);
  window.reset();  // joins the worker
  EXPECT_LT(timer.elapsed(), 500);
}

}  // namespace
}  // namespace iapflash
