#include "link/download_run.h"

#include <memory>
#include <new>

#include "console/log.h"
#include "image/update_file.h"
#include "link/iap_commands.h"
#include "link/link.h"

namespace iapflash {
namespace {

constexpr uint32_t RESCAN_DELAY_MS = 1000;

void LogStepFailed(Station& station, const char* stepLine) {
  if (stepLine) LogLine(station.panel, "%s", stepLine);
  LogLine(station.panel, "  下载失败");
}

// Steps 2 to 6 on a loaded image; returns whether the verify pass succeeded. The link is left
// open for the caller to close.
bool Transfer(Station& station, LinkHandle& link, const uint8_t* image, uint32_t length,
              uint32_t checksum) {
  LogLine(station.panel, "2.打开下载接口>>");
  link = LinkOpen(station);
  if (link == LINK_INVALID) {
    LogStepFailed(station, nullptr);
    return false;
  }
  LogLine(station.panel, "3.开始更新FLASH>>");
  if (!IapStart(station, link, length, checksum)) {
    LogStepFailed(station, "  失败.");
    return false;
  }
  LogLine(station.panel, "  成功");
  LogLine(station.panel, "4.写FLASH>>");
  if (!IapProgram(station, link, image, length)) {
    LogStepFailed(station, "  失败.");
    return false;
  }
  LogLine(station.panel, "  成功");
  LogLine(station.panel, "5.下载检验>>");
  if (!IapVerify(station, link, image, length)) {
    LogStepFailed(station, "  出错.");
    return false;
  }
  LogLine(station.panel, "  成功");
  // The image is in and verified: what the end command says no longer changes the outcome.
  LogLine(station.panel, "6.下载结束>>");
  LogLine(station.panel, IapEnd(station, link, length, checksum) ? "  END结束" : "  END失败");
  IapReset(station, link);
  return true;
}

}  // namespace

bool DownloadRun(Station& station) {
  station.panel.SetDownloadEnabled(false);
  LogLine(station.panel, "\r\n****开始通过串口接口进行IAP下载:");
  LogLine(station.panel, "1.读取下载文件内容>>");

  bool success = false;
  LinkHandle link = LINK_INVALID;
  {
    uint32_t length = MAX_IMAGE_SIZE;
    uint32_t checksum = 0;
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[MAX_IMAGE_SIZE]());
    // A length beyond the buffer would make the passes read past it: refused like a bad file.
    if (!image || !LoadUpdateFile(station.panel, image.get(), length, checksum) ||
        length > MAX_IMAGE_SIZE) {
      LogStepFailed(station, "  读下载文件失败");
    } else {
      LogLine(station.panel, "  已读取下载数据%d字节", static_cast<int>(length));
      success = Transfer(station, link, image.get(), length, checksum);
    }

    LogLine(station.panel, "7.关闭下载接口>>");
    LinkClose(station, link);
    if (success) {
      LogLine(station.panel, "****固件下载成功.");
    } else {
      LogLine(station.panel,
              "****固件下载失败!\r\n   1.检查通讯接口以及连线是否正确;\r\n    "
              "2.MCU内有没有烧入IAP程序;\r\n    3.MCU有没有进入到IAP下载模式;");
    }
  }  // the image is released here
  station.panel.SetDownloadEnabled(true);
  return success;
}

void DownloadThread(Station& station) {
  DownloadRun(station);
  // Let the device settle (it is resetting) before the list is rebuilt.
  station.clock.SleepMs(RESCAN_DELAY_MS);
  station.panel.PostDeviceScan();
}

}  // namespace iapflash
