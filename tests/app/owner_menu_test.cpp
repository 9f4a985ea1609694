// "Which file uses this sector?" in the text area's menu: the answer for the sector shown,
// in the information dialog, as korvalane-cli owner gives it.
#include <QApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include "app/AppFixture.h"
#include "app/Unit1a.h"

using namespace korvalane;
using namespace korvalane::testing;

class OwnerMenuTest : public QObject {
  Q_OBJECT

 private slots:
  void answersForTheSectorShown() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img")});  // D: is FAT32
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(QStringLiteral("1168"));
    const MessageCatcher messages;
    QPlainTextEdit* list = Form1a->InfoList;
    const QTextCursor cursor(list->document()->findBlockByNumber(0));
    list->setTextCursor(cursor);
    const QPoint at = list->cursorRect(cursor).center() + QPoint(20, 0);
    bool offered = false;
    ChooseInNextMenu(QStringLiteral("Which file uses this sector?"), &offered);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &event);
    QTRY_VERIFY(!messages.Messages.isEmpty());
    QVERIFY(offered);
    const std::string owner = Lines(RunCli({"owner", SamplePath("fat32.img"), "1168"}).Out).at(0);
    QCOMPARE(messages.Messages.first(), QStringLiteral("Sector 1168\r") + QString::fromStdString(owner.substr(owner.find("  ") + 2)));
  }
};

QTEST_MAIN(OwnerMenuTest)
#include "owner_menu_test.moc"
