#include "app/DriveList.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QScrollBar>
#include <QStyle>
#include <QStyledItemDelegate>

namespace korvalane {

namespace {

constexpr int kDescriptionRole = Qt::UserRole + 1;
// Between the letter and what the drive is.
constexpr char kSeparator[] = "  ";

QString ListText(const QString& letter, const QVariant& description) {
  const QString what = description.toString();
  return what.isEmpty() ? letter : letter + QLatin1String(kSeparator) + what;
}

// Draws and measures each entry of the open list with its description.
class DriveListDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->text = ListText(option->text, index.data(kDescriptionRole));
  }
};

// The open list is as wide as the box, or as its longest entry when that is wider.
void FitListWidth(QComboBox* box) {
  QAbstractItemView* view = box->view();
  int width = view->sizeHintForColumn(0) + 2 * view->frameWidth();
  if (box->count() > box->maxVisibleItems()) width += view->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  view->setMinimumWidth(width);
}

}  // namespace

void ShowDescriptionsInList(QComboBox* box) {
  box->setItemDelegate(new DriveListDelegate(box));
  FitListWidth(box);
}

void SetDriveDescription(QComboBox* box, int index, const QString& description) {
  box->setItemData(index, description, kDescriptionRole);
  FitListWidth(box);
}

QString DriveListText(const QComboBox* box, int index) {
  return ListText(box->itemText(index), box->itemData(index, kDescriptionRole));
}

}  // namespace korvalane
