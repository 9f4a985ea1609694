#pragma once

#include <QString>

class QComboBox;

namespace korvalane {

// A drive box whose open list names beside each letter what the drive is
// ("D:  usb.img, partition 1 (...)"), in a list as wide as that needs. The closed box and
// the item's text stay the letter alone, which is what the window reads as the drive.
void ShowDescriptionsInList(QComboBox* box);

// Sets what the drive at `index` is, and widens the open list to the longest entry.
void SetDriveDescription(QComboBox* box, int index, const QString& description);

// The text the open list shows for the entry at `index`.
QString DriveListText(const QComboBox* box, int index);

}  // namespace korvalane
