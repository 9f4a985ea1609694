#pragma once

#include <QProgressDialog>

#include "core/model/OwnershipIndex.h"

class QWidget;

namespace korvalane {

// The progress dialog of a walk of the volume's files ("Reading the file system...",
// with Stop), shown when the walk takes longer than a moment, and the hooks that feed it
// and stop the walk when the user asks.
class WalkProgress {
 public:
  explicit WalkProgress(QWidget* parent);
  ~WalkProgress() { progress_.reset(); }
  WalkProgress(const WalkProgress&) = delete;
  WalkProgress& operator=(const WalkProgress&) = delete;

  const WalkHooks& Hooks() const { return hooks_; }

 private:
  QProgressDialog progress_;
  WalkHooks hooks_;
};

}  // namespace korvalane
