#pragma once

// Shared by the window tests: the real windows on the sample images, a platform that
// records the links it is asked to open instead of starting a browser, and a way to
// answer the modal dialog that the next step will open.

#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "app/Look.h"
#include "app/Startup.h"
#include "app/Unit1a.h"
#include "app/Unit2a.h"
#include "core/Platform.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"
#include "fixtures/Samples.h"
#include "platform/SystemPlatform.h"

namespace korvalane::testing {

// The system platform on the named sources, except that links are only written down.
class RecordingPlatform final : public Platform {
 public:
  RecordingPlatform(const std::vector<std::string>& sources, uint32_t sectorSize)
      : inner_(MakeSystemPlatform(sources, sectorSize)) {}

  bool ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override {
    if (Refuses(position, buffer)) return false;
    return inner_->ReadVolume(drive, position, buffer);
  }
  bool ReadVolumeDirect(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override {
    if (Refuses(position, buffer)) return false;
    return inner_->ReadVolumeDirect(drive, position, buffer);
  }
  std::optional<std::string> FileSystemName(std::string_view rootPath) override {
    return inner_->FileSystemName(rootPath);
  }
  uint32_t LogicalDrives() override { return inner_->LogicalDrives(); }
  int64_t VolumeTotalBytes(std::string_view drive) override { return inner_->VolumeTotalBytes(drive); }
  bool IsDriveAccessible(std::string_view drive) override { return inner_->IsDriveAccessible(drive); }
  std::string DriveSource(std::string_view drive) override { return inner_->DriveSource(drive); }
  std::vector<std::string> DriveFiles(std::string_view drive) override { return inner_->DriveFiles(drive); }
  std::string DriveDescription(std::string_view drive) override { return inner_->DriveDescription(drive); }
  bool DriveIsPartition(std::string_view drive) override { return inner_->DriveIsPartition(drive); }
  uint32_t DiskSectorSize(std::string_view drive) override { return inner_->DiskSectorSize(drive); }
  std::string DriveDamage(std::string_view drive) override { return inner_->DriveDamage(drive); }
  bool AwaitsAuthorization(std::string_view drive) override { return inner_->AwaitsAuthorization(drive); }
  std::string OpenError(std::string_view drive) override { return inner_->OpenError(drive); }
  std::string AuthorizeDrive(std::string_view drive) override { return inner_->AuthorizeDrive(drive); }
  std::vector<std::string> AddSources(const std::vector<std::string>& sources) override {
    return inner_->AddSources(sources);
  }
  void ReleaseVolumes() override { inner_->ReleaseVolumes(); }
  std::optional<CivilTime> FileTimeToLocal(uint64_t fileTime) override { return inner_->FileTimeToLocal(fileTime); }
  std::u16string FormatDateTime(const CivilTime& time) override { return inner_->FormatDateTime(time); }
  bool OpenLink(std::string_view url) override {
    OpenedLinks.emplace_back(url);
    return true;
  }

  std::vector<std::string> OpenedLinks;
  // Bytes of every drive whose reads fail, as a bad stretch of a disk would: [first, end).
  std::pair<uint64_t, uint64_t> BadBytes{0, 0};

 private:
  bool Refuses(uint64_t position, std::span<uint8_t> buffer) const {
    return position < BadBytes.second && position + buffer.size() > BadBytes.first;
  }

  std::unique_ptr<Platform> inner_;
};

// How the windows are started: as the machine's own drives (the second one is chosen),
// or as sources the user named on the command line.
enum class Started { AsMachineDrives, AsNamedSources };

// The program's windows on the sources (C:, D:, ... in order), the main window
// shown and its start-up steps done.
class ProgramWindows {
 public:
  explicit ProgramWindows(const std::vector<std::string>& sources, uint32_t sectorSize = 512,
                          Started how = Started::AsMachineDrives)
      : platform_(sources, sectorSize) {
    // Every start of the program begins with an empty volume record.
    Geometry() = VolumeGeometry{};
    SetPlatform(&platform_);
    CreateForms();
    Form1a->StartedWithSources = how == Started::AsNamedSources;
    Form1a->show();
    started_ = QTest::qWaitFor([] { return Form1a->Activated(); }, 5000);
  }
  ~ProgramWindows() {
    DestroyForms();
    SetPlatform(nullptr);
  }
  ProgramWindows(const ProgramWindows&) = delete;
  ProgramWindows& operator=(const ProgramWindows&) = delete;

  bool Started() const { return started_; }
  RecordingPlatform& Platform() { return platform_; }

 private:
  RecordingPlatform platform_;
  bool started_ = false;
};

// Runs `answer` on the next modal dialog of type T once it is up and active, as the user
// meets it (from inside its modal loop). `*seen` tells afterwards whether it came within `timeoutMs`.
template <typename T>
void WhenModal(std::function<void(T*)> answer, bool* seen = nullptr, int timeoutMs = 5000) {
  if (seen != nullptr) *seen = false;
  QTimer::singleShot(0, [answer, seen, timeoutMs] {
    T* dialog = nullptr;
    const bool up = QTest::qWaitFor(
        [&dialog] {
          dialog = qobject_cast<T*>(QApplication::activeModalWidget());
          return dialog != nullptr && dialog->isVisible() && dialog->isActiveWindow();
        },
        timeoutMs);
    if (!up) return;
    if (seen != nullptr) *seen = true;
    answer(dialog);
  });
}

// Answers every information dialog that comes up while it lives, keeping its text. It
// looks from a timer, not from a loop of its own: a wait inside one step of a search or
// of a modal dialog would hold that up.
class MessageCatcher {
 public:
  MessageCatcher() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<TForm2a*>(QApplication::activeModalWidget());
      if (dialog == nullptr || !dialog->isVisible()) return;
      Messages.append(dialog->InfoLabel->text());
      QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    });
    timer_.start();
  }
  QStringList Messages;

 private:
  QTimer timer_;
};

// Chooses the entry of that caption in the text area's menu once the menu is up (opened
// by the caller after this); `*offered` tells afterwards whether the menu had it.
inline void ChooseInNextMenu(const QString& caption, bool* offered) {
  *offered = false;
  QTimer::singleShot(0, [caption, offered] {
    QMenu* menu = nullptr;
    if (!QTest::qWaitFor([&menu] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr; }, 3000)) {
      return;
    }
    for (QAction* action : menu->actions()) {
      if (action->text() != caption) continue;
      *offered = true;
      menu->setActiveAction(action);
      QTest::keyClick(menu, Qt::Key_Return);
      return;
    }
    menu->close();
  });
}

// The view text of the main window, as UTF-8.
inline std::vector<std::string> ShownLines() {
  std::vector<std::string> lines;
  for (const std::u16string& line : Form1a->ViewLines()) lines.push_back(ToUtf8(line));
  return lines;
}

// The lines korvalane-cli prints for a command that succeeds. When it fails, one line that
// says so, which no window shows: a window that fails as the command does still differs.
inline std::vector<std::string> CliLines(const std::vector<std::string>& args) {
  const CommandResult result = RunCli(args);
  if (result.Status == 0) return Lines(result.Out);
  std::string command = "korvalane-cli";
  for (const std::string& arg : args) command += " " + arg;
  return {command + " ended with status " + std::to_string(result.Status) + ": " + result.Err};
}

}  // namespace korvalane::testing
