// The export settings dialog: which drives it lists and in which order, the
// drive that becomes the target, and how the offset text is read.
#include "disk/Drives.h"
#include "ui/common/DialogUnits.h"
#include "ui/luns/ExportDialogs.h"
#include "ui/luns/ExportSeting.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace corvane::ui;

namespace {

constexpr std::uint64_t kGiB = 1ULL << 30;

// Drives 0, 1 and 3 open, of 10 GiB each; every other number does not.
// Notes each number asked, in order. unusable[n] is what the probe says
// against drive n, sizes[n] replaces its size.
struct FakeDrives {
    QList<int> asked;
    QMap<int, QString> unusable;
    QMap<int, std::uint64_t> sizes;
    CExportSeting::DriveProbe Probe()
    {
        return [this](int n) -> std::optional<CDriveRow> {
            asked.push_back(n);
            if (n != 0 && n != 1 && n != 3)
                return std::nullopt;
            return CDriveRow{QStringLiteral("\\\\.\\Physicaldrive%1").arg(n),
                             QStringLiteral("Fake Disk %1, 10.0 GiB, /dev/fake%1").arg(n),
                             sizes.value(n, 10 * kGiB), unusable.value(n)};
        };
    }
};

// A loop device over a scratch file, attached for the test (root only).
struct LoopDevice {
    QString node;
    QString file;
    explicit LoopDevice(const QString& backing, bool readOnly) : file(backing)
    {
        QStringList args{QStringLiteral("-f"), QStringLiteral("--show"), backing};
        if (readOnly)
            args.prepend(QStringLiteral("-r"));
        QProcess attach;
        attach.start(QStringLiteral("losetup"), args);
        if (attach.waitForFinished(10000) && attach.exitCode() == 0)
            node = QString::fromUtf8(attach.readAllStandardOutput()).trimmed();
    }
    ~LoopDevice()
    {
        if (!node.isEmpty())
            QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), node});
    }
    // Its drive number, or -1.
    int Number() const
    {
        const auto drives = JFileHandle::ListDrives();
        for (size_t i = 0; i < drives.size(); ++i)
            if (QString::fromStdString(drives[i].devNode) == node)
                return int(i);
        return -1;
    }
};

// Message boxes answered at once, and kept.
struct Messages {
    QList<CMessageRequest> shown;
    void Install()
    {
        CExportDialogs d;
        d.messageBox = [this](QWidget*, const CMessageRequest& r) {
            shown.push_back(r);
            return int(QMessageBox::Ok);
        };
        CExportDialogs::Install(d);
    }
};

QPoint RowCentre(QTableWidget* list, int row, int column = 1)
{
    return list->visualItemRect(list->item(row, column)).center();
}

void ClickRow(QTableWidget* list, int row, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QTest::mouseClick(list->viewport(), Qt::LeftButton, mods, RowCentre(list, row));
}

// A click on the check box of a row, where the style draws it.
void ClickCheckBox(QTableWidget* list, int row)
{
    QStyleOptionViewItem opt;
    opt.initFrom(list->viewport());
    opt.rect = list->visualItemRect(list->item(row, 0));
    opt.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    opt.text = list->item(row, 0)->text();
    const QRect box = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt,
                                                    list);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
}

} // namespace

class ExportSetingTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_messages = Messages(); m_messages.Install(); }
    void cleanupTestCase() { CExportDialogs::Install({}); }

    void listsOpenDrivesInIncreasingOrder();
    void targetIsTheChosenRow_data();
    void targetIsTheChosenRow();
    void offsetText_data();
    void offsetText();
    void controlsAreNotClipped();
    void unusableDrivesAreGreyedWithTheReason_data();
    void unusableDrivesAreGreyedWithTheReason();
    void realProbeIsReadOnlyAndSaysWhy();

private:
    Messages m_messages;
};

void ExportSetingTest::listsOpenDrivesInIncreasingOrder()
{
    FakeDrives drives;
    CExportSeting dialog(nullptr, drives.Probe());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("导出设置"));

    // 129 numbers, asked from 128 down to 0.
    QCOMPARE(drives.asked.size(), 129);
    QCOMPARE(drives.asked.first(), 128);
    QCOMPARE(drives.asked.last(), 0);
    for (int i = 1; i < drives.asked.size(); ++i)
        QCOMPARE(drives.asked[i], drives.asked[i - 1] - 1);

    QTableWidget* list = dialog.List();
    QCOMPARE(list->rowCount(), 3);
    const QStringList want = {QStringLiteral("\\\\.\\Physicaldrive0"),
                              QStringLiteral("\\\\.\\Physicaldrive1"),
                              QStringLiteral("\\\\.\\Physicaldrive3")};
    for (int r = 0; r < 3; ++r) {
        QCOMPARE(list->item(r, 0)->text(), want[r]);
        // Column 1 carries description, size and node.
        QVERIFY(list->item(r, 1)->text().contains(QStringLiteral("/dev/fake")));
        QVERIFY(list->item(r, 1)->text().contains(QStringLiteral("GiB")));
        QCOMPARE(list->item(r, 0)->checkState(), Qt::Unchecked);
    }
    QCOMPARE(list->horizontalHeaderItem(0)->text(), QStringLiteral("设备名称"));
    QCOMPARE(list->horizontalHeaderItem(1)->text(), QStringLiteral("信息"));
    QCOMPARE(dialog.OffsetEdit()->text(), QStringLiteral("0"));
    // A fixed dialog: nothing to minimise or maximise.
    QCOMPARE(dialog.windowFlags(), CDialogUnits::FixedDialogFlags());
    QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
}

// Steps, applied in order: "c<row>" click a row, "C<row>" ctrl-click,
// "x<row>" click its check box, "k<row>" check it without selecting, "-"
// clear the selection.
void ExportSetingTest::targetIsTheChosenRow_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("target"); // row, or -1: refused
    QTest::addColumn<QString>("refusal");

    const QString none = QStringLiteral("请选择一个目标磁盘。");
    const QString many = QStringLiteral("只能选择一个目标磁盘：请只勾选或选中一行。");
    QTest::newRow("row 1 then row 0") << QStringList{"c1", "c0"} << 0 << QString();
    // A check box click does not move the selection: row 0 selected and row
    // 2 checked are two drives, which is refused rather than guessed.
    QTest::newRow("then the check box of row 2") << QStringList{"c1", "c0", "x2"} << -1 << many;
    QTest::newRow("and unchecked again") << QStringList{"c1", "c0", "x2", "x2"} << 0 << QString();
    QTest::newRow("check box, then its row") << QStringList{"c0", "x2", "c2"} << 2 << QString();
    QTest::newRow("nothing touched") << QStringList{} << -1 << none;
    QTest::newRow("selection cleared") << QStringList{"c1", "-"} << -1 << none;
    QTest::newRow("checked only") << QStringList{"k2"} << 2 << QString();
    QTest::newRow("two checked") << QStringList{"k0", "k2"} << -1 << many;
    QTest::newRow("one checked, another selected") << QStringList{"k0", "c1"} << -1 << many;
    QTest::newRow("two selected") << QStringList{"c0", "C2"} << -1 << many;
}

void ExportSetingTest::targetIsTheChosenRow()
{
    QFETCH(QStringList, steps);
    QFETCH(int, target);
    QFETCH(QString, refusal);

    FakeDrives drives;
    CExportSeting dialog(nullptr, drives.Probe());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTableWidget* list = dialog.List();
    for (const QString& step : steps) {
        const int row = step.size() > 1 ? step.mid(1).toInt() : -1;
        switch (step[0].toLatin1()) {
        case 'c':
            ClickRow(list, row);
            break;
        case 'C':
            ClickRow(list, row, Qt::ControlModifier);
            break;
        case 'x': {
            const Qt::CheckState before = list->item(row, 0)->checkState();
            ClickCheckBox(list, row);
            QVERIFY2(list->item(row, 0)->checkState() != before, "the check box did not toggle");
            break;
        }
        case 'k':
            list->item(row, 0)->setCheckState(Qt::Checked);
            break;
        case '-':
            list->clearSelection();
            break;
        default:
            QFAIL("bad step");
        }
    }

    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    if (target < 0) {
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(m_messages.shown.size(), 1);
        QCOMPARE(m_messages.shown[0].text, refusal);
        QCOMPARE(m_messages.shown[0].caption, QStringLiteral("corvane recovery for hp eva 1.2"));
        return;
    }
    QVERIFY(m_messages.shown.isEmpty());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.m_strDevice, list->item(target, 0)->text());
    QCOMPARE(dialog.Target().device, list->item(target, 0)->text());
    QCOMPARE(dialog.Target().info, list->item(target, 1)->text());
}

void ExportSetingTest::offsetText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("sectors");
    QTest::addColumn<QString>("refusal");

    const QString notInt = QStringLiteral("请输入一个整数。");
    const QString negative = QStringLiteral("偏移位置不能为负数。");
    const QString tooLarge = QStringLiteral("偏移位置太大：起始位置超出了磁盘可寻址的范围。");
    QTest::newRow("2048") << "2048" << true << qint64(2048) << QString();
    QTest::newRow("12ab reads 12") << "12ab" << true << qint64(12) << QString();
    QTest::newRow("leading blanks and plus") << "  +7" << true << qint64(7) << QString();
    QTest::newRow("minus zero") << "-0" << true << qint64(0) << QString();
    QTest::newRow("largest byte offset") << "18014398509481983" << true
                                         << qint64(18014398509481983) << QString();
    QTest::newRow("ab alone") << "ab" << false << qint64(0) << notInt;
    QTest::newRow("empty") << "" << false << qint64(0) << notInt;
    QTest::newRow("sign alone") << "-" << false << qint64(0) << notInt;
    QTest::newRow("blank then -5") << " -5" << false << qint64(0) << negative;
    QTest::newRow("most negative") << "-9223372036854775808" << false << qint64(0) << negative;
    QTest::newRow("bytes overflow") << "18014398509481984" << false << qint64(0) << tooLarge;
    QTest::newRow("beyond 64 bits") << "99999999999999999999" << false << qint64(0) << tooLarge;
}

void ExportSetingTest::offsetText()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(qint64, sectors);
    QFETCH(QString, refusal);

    FakeDrives drives;
    CExportSeting dialog(nullptr, drives.Probe());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    ClickRow(dialog.List(), 1);
    dialog.OffsetEdit()->setText(text);
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);

    if (!accepted) {
        QVERIFY(dialog.isVisible());
        QCOMPARE(m_messages.shown.size(), 1);
        QCOMPARE(m_messages.shown[0].text, refusal);
        QCOMPARE(m_messages.shown[0].icon, QMessageBox::Warning);
        // The user is put back into the edit to correct it.
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog.OffsetEdit()));
        return;
    }
    QVERIFY(m_messages.shown.isEmpty());
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.m_offset, sectors);
    QCOMPARE(dialog.Target().sectors, sectors);
    // The label says sectors: the start is sectors x 512 bytes.
    QCOMPARE(dialog.Target().startOffset, quint64(sectors) * 512u);
}

void ExportSetingTest::controlsAreNotClipped()
{
    FakeDrives drives;
    CExportSeting dialog(nullptr, drives.Probe());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        if (!w->isVisible() || w->parentWidget() != &dialog)
            continue;
        QVERIFY2(dialog.rect().contains(w->geometry()), qPrintable(w->objectName()));
        if (auto* label = qobject_cast<QLabel*>(w))
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        if (auto* button = qobject_cast<QPushButton*>(w))
            QVERIFY(button->width() >= button->fontMetrics().horizontalAdvance(button->text()));
    }
}

// Rows: which drive the probe speaks against, the LUN's size, the offset
// typed, and which rows end greyed (with what in their text).
void ExportSetingTest::unusableDrivesAreGreyedWithTheReason_data()
{
    QTest::addColumn<QString>("probeSays"); // against drive 1; "" nothing
    QTest::addColumn<quint64>("lunBytes");
    QTest::addColumn<QString>("offset");
    QTest::addColumn<QList<int>>("greyed");
    QTest::addColumn<QString>("reason");
    const QString small = QStringLiteral("容量不足");
    QTest::newRow("read-only") << QStringLiteral("只读设备") << quint64(0) << "0" << QList<int>{1}
                               << QStringLiteral("只读设备");
    QTest::newRow("mounted") << QStringLiteral("/dev/fake1 is in use: /dev/fake1p1 is mounted on /")
                             << quint64(0) << "0" << QList<int>{1} << QStringLiteral("mounted on /");
    QTest::newRow("fits") << QString() << quint64(10 * kGiB) << "0" << QList<int>{} << QString();
    QTest::newRow("too small for the LUN") << QString() << quint64(10 * kGiB + 1) << "0"
                                           << QList<int>{0, 1, 2} << small;
    // 4 GiB on, a LUN of 8 GiB no longer fits 10 GiB drives.
    QTest::newRow("too small from the sector typed") << QString() << quint64(8 * kGiB) << "8388608"
                                                     << QList<int>{0, 1, 2} << small;
}

void ExportSetingTest::unusableDrivesAreGreyedWithTheReason()
{
    QFETCH(QString, probeSays);
    QFETCH(quint64, lunBytes);
    QFETCH(QString, offset);
    QFETCH(QList<int>, greyed);
    QFETCH(QString, reason);
    FakeDrives drives;
    if (!probeSays.isEmpty())
        drives.unusable[1] = probeSays;
    CTargetNeeds needs;
    needs.bytes = lunBytes;
    CExportSeting dialog(nullptr, drives.Probe(), needs);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTableWidget* list = dialog.List();
    // Row 2 chosen before the offset is typed: a row greyed by it loses
    // the choice.
    ClickRow(list, 2);
    dialog.OffsetEdit()->setText(offset);

    for (int r = 0; r < list->rowCount(); ++r) {
        const bool grey = greyed.contains(r);
        const QString text = list->item(r, 1)->text();
        QCOMPARE(bool(list->item(r, 0)->flags() & Qt::ItemIsEnabled), !grey);
        QCOMPARE(bool(list->item(r, 0)->flags() & Qt::ItemIsSelectable), !grey);
        QCOMPARE(dialog.RowProblem(r).isEmpty(), !grey);
        // The reason in the row itself, and what the drive is beside it.
        QVERIFY2(text.contains(QStringLiteral("/dev/fake")), qPrintable(text));
        QCOMPARE(text.startsWith(QStringLiteral("不可用：")), grey);
        if (grey)
            QVERIFY2(text.contains(reason), qPrintable(text));
    }
    // A greyed row cannot be made the target, not even by a click on it.
    if (!greyed.isEmpty()) {
        const int row = greyed.first();
        ClickRow(list, row);
        ClickCheckBox(list, row);
        QCOMPARE(list->item(row, 0)->checkState(), Qt::Unchecked);
        QVERIFY(!dialog.ChosenRows().contains(row));
    }
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    if (greyed.contains(2)) {
        QVERIFY(dialog.isVisible());
        QCOMPARE(m_messages.shown.size(), 1);
    } else {
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.Target().device, list->item(2, 0)->text());
    }
}

void ExportSetingTest::realProbeIsReadOnlyAndSaysWhy()
{
    if (geteuid() != 0)
        QSKIP("needs root to attach loop devices");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString writable = dir.filePath(QStringLiteral("scratch.img"));
    const QString protectedFile = dir.filePath(QStringLiteral("evidence.img"));
    for (const QString& f : {writable, protectedFile}) {
        std::ofstream out(f.toStdString(), std::ios::binary);
        out.seekp((16 << 20) - 1);
        out.put('\0');
    }
    LoopDevice rw(writable, false);
    LoopDevice ro(protectedFile, true);
    if (rw.node.isEmpty() || ro.node.isEmpty())
        QSKIP("no loop device can be attached here");
    QVERIFY(rw.Number() >= 0 && ro.Number() >= 0);

    // The probe never opens a drive for writing: closing such a handle is
    // what makes the system probe the device again.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    auto closeWatch = qScopeGuard([watch] { ::close(watch); });
    QVERIFY(inotify_add_watch(watch, rw.node.toLocal8Bit().constData(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0);

    const std::optional<CDriveRow> free = CExportSeting::ProbeDrive(rw.Number(), {});
    const std::optional<CDriveRow> readOnly = CExportSeting::ProbeDrive(ro.Number(), {});
    QVERIFY(free && readOnly);
    QVERIFY2(free->unusable.isEmpty(), qPrintable(free->unusable));
    QVERIFY2(free->info.contains(rw.node), qPrintable(free->info));
    QCOMPARE(free->size, quint64(16 << 20));
    QCOMPARE(readOnly->unusable, QStringLiteral("只读设备"));

    // A drive that is one of the sources is named as such.
    corvane::SourceIdentity source;
    source.path = rw.node.toStdString();
    QVERIFY(::stat(rw.node.toLocal8Bit().constData(), &source.st) == 0);
    const std::optional<CDriveRow> evidence = CExportSeting::ProbeDrive(rw.Number(), {source});
    QVERIFY(evidence);
    QVERIFY2(evidence->unusable.contains(QStringLiteral("source")), qPrintable(evidence->unusable));

    char events[4096];
    bool closedAfterRead = false;
    bool closedAfterWrite = false;
    for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(events + at);
            closedAfterRead |= (ev->mask & IN_CLOSE_NOWRITE) != 0;
            closedAfterWrite |= (ev->mask & IN_CLOSE_WRITE) != 0;
            at += ssize_t(sizeof(inotify_event) + ev->len);
        }
    }
    QVERIFY(closedAfterRead);
    QVERIFY(!closedAfterWrite);
}

QTEST_MAIN(ExportSetingTest)
#include "ui_export_setting_test.moc"
