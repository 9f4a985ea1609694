#include "app/WalkProgress.h"

#include <QCoreApplication>

namespace korvalane {

WalkProgress::WalkProgress(QWidget* parent)
    : progress_(QStringLiteral("Reading the file system..."), QStringLiteral("Stop"), 0, 100, parent) {
  progress_.setWindowModality(Qt::WindowModal);
  progress_.setMinimumDuration(300);
  hooks_.Progress = [this](int32_t percent) {
    progress_.setValue(percent);
    QCoreApplication::processEvents();
    return progress_.wasCanceled();
  };
}

}  // namespace korvalane
