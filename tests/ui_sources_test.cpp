// The source side as a user meets it: the source selection dialog, the tree
// of sources, and the analysis command run from the main window on generated
// disk groups, with the messages it ends with and the guards while it runs.
#include "TempDir.h"
#include "disk/Drives.h"
#include "engine/Context.h"
#include "tools/Sample.h"
#include "ui/app/MainFrm.h"
#include "ui/common/Busy.h"
#include "ui/common/Commands.h"
#include "ui/common/DialogUnits.h"
#include "ui/common/WindowMessages.h"
#include "ui/luns/TessalyView.h"
#include "ui/sources/ChooseDevice.h"
#include "ui/sources/LeftView.h"
#include "ui/sources/MemberMapDlg.h"
#include "ui/sources/SourceDialogs.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace corvane;
using namespace corvane::ui;
using corvane::test::TempDir;

namespace {

const QString kCaptionText = QStringLiteral("Corvane For HP Eva");

struct Box {
    QString text;
    QString caption;
    QWidget* owner = nullptr;
};

// What the member images hold before an analysis: size and SHA-256.
struct ImageState {
    std::string path;
    std::uint64_t size = 0;
    std::string sha;
    friend bool operator==(const ImageState&, const ImageState&) = default;
};

std::vector<ImageState> Snapshot(const sample::Manifest& m)
{
    std::vector<ImageState> out;
    for (const auto& member : m.members) {
        const auto size = std::filesystem::file_size(member.path);
        out.push_back({member.path, size, sample::Sha256OfFile(member.path, 0, size)});
    }
    return out;
}

// Probes drive number in a child process running as nobody; says whether
// the probe offers it and whether the same user could open it for writing.
QString ProbeAsNobody(int number, const QString& node)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return QStringLiteral("no pipe");
    const QByteArray path = node.toLocal8Bit();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        char answer = 'x';
        if (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
            ::setresuid(65534, 65534, 65534) == 0) {
            const bool offered = ProbeDrive(number).has_value();
            const int rw = ::open(path.constData(), O_RDWR | O_CLOEXEC);
            answer = offered ? (rw < 0 ? 'o' : 'w') : (rw < 0 ? 'n' : 'm');
        }
        [[maybe_unused]] const ssize_t n = ::write(fds[1], &answer, 1);
        ::_exit(0);
    }
    ::close(fds[1]);
    char answer = 0;
    const ssize_t got = pid > 0 ? ::read(fds[0], &answer, 1) : -1;
    ::close(fds[0]);
    if (pid > 0)
        ::waitpid(pid, nullptr, 0);
    if (got != 1)
        return QStringLiteral("no answer");
    switch (answer) {
    case 'o': return QStringLiteral("offered, not writable");
    case 'w': return QStringLiteral("offered, writable");
    case 'n': return QStringLiteral("not offered");
    case 'm': return QStringLiteral("not offered, writable");
    default: return QStringLiteral("could not become nobody");
    }
}

void AddSource(const QString& name)
{
    const std::u16string text = name.toStdU16String();
    SendWindowMessage(g_hLeftView, WM_ADD_SOURCE, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

} // namespace

class SourcesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CMainFrame> m_frame;
    std::set<int> m_openable;
    std::vector<int> m_probed;
    QStringList m_images; // what the open-file dialog answers, in turn
    std::vector<Box> m_boxes;

    CLeftView* Tree() const { return m_frame->LeftView(); }
    CTessalyView* Luns() const { return m_frame->LunView(); }
    QStringList TreeTexts() const
    {
        QStringList out;
        for (int i = 0; i < Tree()->RootItem()->childCount(); ++i)
            out << Tree()->RootItem()->child(i)->text(0);
        return out;
    }
    QStringList ContextSources() const
    {
        QStringList out;
        for (const auto& s : Tree()->Context().sources)
            out << QString::fromStdString(s.path);
        return out;
    }
    // Runs "初始化lun信息" from the frame and waits for the worker to end.
    bool Analyse()
    {
        QSignalSpy done(Tree(), &CLeftView::analysisFinished);
        if (!m_frame->ExecuteCommand(ID_INIT_LUN_INFO))
            return false;
        return done.wait(60000) && !Tree()->AnalysisRunning();
    }
    void AddGroup(const sample::Manifest& m)
    {
        for (const auto& s : m.Sources())
            AddSource(QString::fromStdString(s));
    }
    void ExpectRowsOf(const sample::Manifest& m)
    {
        const EvaContext& ctx = Tree()->Context();
        QCOMPARE(Luns()->Model()->rowCount(), int(m.luns.size()));
        QCOMPARE(ctx.lunList.size(), m.luns.size());
        for (int i = 0; i < int(m.luns.size()); ++i) {
            const auto& want = m.luns[size_t(i)];
            QCOMPARE(Luns()->Model()->item(i, 0)->text(), QString::number(want.group));
            QCOMPARE(Luns()->Model()->item(i, 1)->text(), QString::number(want.id));
            QCOMPARE(Luns()->Model()->item(i, 2)->text(), QStringLiteral("%1G").arg(want.sizeGiB));
            // Each row points at the entry of the analysis it shows.
            QCOMPARE(Luns()->RowEntry(i), ctx.lunList[size_t(i)].get());
            // The worker probed it: sample LUNs hold a pattern, nothing more.
            QVERIFY2(Luns()->Model()->item(i, 0)->toolTip().endsWith(QStringLiteral("\n内容：未识别到任何内容")),
                     qPrintable(Luns()->Model()->item(i, 0)->toolTip()));
        }
    }

private Q_SLOTS:
    void init()
    {
        m_openable.clear();
        m_probed.clear();
        m_images.clear();
        m_boxes.clear();
        CSourceDialogs d;
        d.probeDrive = [this](int n) -> std::optional<QString> {
            m_probed.push_back(n);
            if (!m_openable.count(n))
                return std::nullopt;
            return QStringLiteral("Fake disk %1").arg(n);
        };
        d.imageFile = [this](QWidget*) { return m_images.isEmpty() ? QString() : m_images.takeFirst(); };
        d.messageBox = [this](QWidget* owner, const QString& text, const QString& caption) {
            m_boxes.push_back({text, caption, owner});
        };
        CSourceDialogs::Install(d);
        CMainFrame::SetAddDeviceDialog(&RunChooseDevice);
        m_frame = std::make_unique<CMainFrame>();
        QVERIFY(m_frame->Create());
    }

    void cleanup()
    {
        m_frame.reset();
        CMainFrame::SetAddDeviceDialog({});
        CSourceDialogs::Install(CSourceDialogs::Defaults());
        QVERIFY(!IsBusy());
    }

    // ---- the dialog ----

    void dialogLayoutAndList()
    {
        CChooseDevice dlg(m_frame.get());
        QCOMPARE(dlg.windowTitle(), QStringLiteral("选择源"));
        const CDialogUnits du(dlg.font());
        QCOMPARE(dlg.size(), du.MapDialogSize(303, 159));
        QCOMPARE(dlg.List()->geometry(), du.MapDialogRect(7, 7, 289, 127));
        const struct {
            QPushButton* button;
            QString text;
            int x;
        } buttons[] = {{dlg.AddImageButton(), QStringLiteral("添加镜像文件"), 110},
                       {dlg.OkButton(), QStringLiteral("确定"), 171},
                       {dlg.CancelButton(), QStringLiteral("取消"), 237}};
        int right = 0;
        for (const auto& b : buttons) {
            QCOMPARE(b.button->text(), b.text);
            const QRect want = du.MapDialogRect(b.x, 135, 50, 14);
            QCOMPARE(b.button->pos(), want.topLeft());
            // Never cut: at least the template's size and the text's own.
            QVERIFY(b.button->width() >= std::max(want.width(), b.button->sizeHint().width()));
            // Nor over the next button or past the dialog's edge.
            QVERIFY2(b.button->x() >= right, qPrintable(b.text));
            right = b.button->geometry().right();
        }
        QVERIFY(right < dlg.width());
        QVERIFY(dlg.OkButton()->isDefault());
        // A fixed dialog: caption and close button, nothing to minimise or
        // maximise, and the toolkit adds no buttons of its own.
        const Qt::WindowFlags flags = dlg.windowFlags();
        QVERIFY(flags & Qt::CustomizeWindowHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());

        QTableWidget* list = dlg.List();
        QCOMPARE(list->columnCount(), 2);
        QCOMPARE(list->horizontalHeaderItem(0)->text(), QStringLiteral("设备名称"));
        QCOMPARE(list->horizontalHeaderItem(1)->text(), QStringLiteral("信息"));
        dlg.show();
        QCOMPARE(list->columnWidth(0), 200);
        // The information column fills the rest of the list.
        QVERIFY(list->columnWidth(1) >= 200);
        QCOMPARE(list->columnWidth(0) + list->columnWidth(1), list->viewport()->width());
        QVERIFY(list->showGrid());
        QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    }

    void drivesProbedInOrder()
    {
        m_openable = {0, 1, 3, 128};
        CChooseDevice dlg;
        // 0 to 127, each once, in increasing order; 128 is never asked.
        std::vector<int> all(kProbedDrives);
        for (int n = 0; n < kProbedDrives; ++n)
            all[size_t(n)] = n;
        QCOMPARE(m_probed, all);
        QTableWidget* list = dlg.List();
        QCOMPARE(list->rowCount(), 3);
        const int numbers[] = {0, 1, 3};
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(list->item(row, 0)->text(),
                     QStringLiteral("\\\\.\\Physicaldrive%1").arg(numbers[row]));
            QCOMPARE(list->item(row, 1)->text(), QStringLiteral("Fake disk %1").arg(numbers[row]));
            QCOMPARE(list->item(row, 0)->checkState(), Qt::Unchecked);
            QVERIFY(list->item(row, 0)->flags() & Qt::ItemIsUserCheckable);
        }
    }

    void imageRows()
    {
        m_openable = {2};
        m_images = {QStringLiteral("/data/case 7/disk0.img"), QString(),
                    QStringLiteral("/mnt/镜像/盘1.img")};
        CChooseDevice dlg;
        dlg.OnAddImage();
        dlg.OnAddImage(); // cancelled: no row
        QTest::mouseClick(dlg.AddImageButton(), Qt::LeftButton);
        QTableWidget* list = dlg.List();
        QCOMPARE(list->rowCount(), 3);
        // The full path, after the drives; not chosen until the user says so.
        QCOMPARE(list->item(1, 0)->text(), QStringLiteral("/data/case 7/disk0.img"));
        QCOMPARE(list->item(2, 0)->text(), QStringLiteral("/mnt/镜像/盘1.img"));
        QCOMPARE(list->item(1, 1)->text(), QString());
        QCOMPARE(list->item(2, 0)->checkState(), Qt::Unchecked);
        QVERIFY(dlg.ChosenSources().isEmpty());
    }

    void imagePathsAreShownWhole()
    {
        // Two groups' members that differ only in a folder deep inside.
        const QString stem = QStringLiteral("/srv/recovery/cases/2024-03-customer-with-a-long-name/");
        m_images = {stem + QStringLiteral("disk-group-A/images/member-disk-07.img"),
                    stem + QStringLiteral("disk-group-B/images/member-disk-07.img")};
        CChooseDevice dlg;
        dlg.OnAddImage();
        dlg.OnAddImage();
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTableWidget* list = dlg.List();
        QStringList seen;
        for (int row = 0; row < 2; ++row) {
            // What the list paints for the row: the whole name, never cut.
            QStyleOptionViewItem option;
            option.initFrom(list->viewport());
            option.rect = list->visualItemRect(list->item(row, 0));
            option.font = list->font();
            const QModelIndex index = list->model()->index(row, 0);
            auto* delegate = list->itemDelegateForIndex(index);
            QVERIFY(delegate);
            QVERIFY2(delegate->sizeHint(option, index).width() <= list->columnWidth(0),
                     qPrintable(list->item(row, 0)->text()));
            seen << list->item(row, 0)->text();
        }
        QVERIFY(seen[0] != seen[1]);
        QVERIFY(seen[0].endsWith(QStringLiteral("disk-group-A/images/member-disk-07.img")));
        // Wider than the list: it scrolls sideways instead of cutting.
        QVERIFY(list->columnWidth(0) > list->viewport()->width());
        QVERIFY(list->horizontalScrollBar()->maximum() > 0);
    }

    void chosenRowsHandedOnceInOrder_data()
    {
        QTest::addColumn<QList<int>>("checked");
        QTest::addColumn<QList<int>>("selected");
        QTest::addColumn<QStringList>("expected");
        const QString d0 = QStringLiteral("\\\\.\\Physicaldrive0");
        const QString d1 = QStringLiteral("\\\\.\\Physicaldrive1");
        const QString d3 = QStringLiteral("\\\\.\\Physicaldrive3");
        const QString a = QStringLiteral("/img/a.img");
        const QString b = QStringLiteral("/img/b.img");
        // Rows: drive 0, 1, 3, then images a, b.
        QTest::newRow("nothing chosen") << QList<int>{} << QList<int>{} << QStringList{};
        QTest::newRow("checked only") << QList<int>{1, 4} << QList<int>{} << QStringList{d1, b};
        QTest::newRow("selected only") << QList<int>{} << QList<int>{3, 0} << QStringList{d0, a};
        QTest::newRow("checked and selected once")
            << QList<int>{2} << QList<int>{2} << QStringList{d3};
        QTest::newRow("mixed, list order")
            << QList<int>{4, 0} << QList<int>{3, 0, 1} << QStringList{d0, d1, a, b};
    }

    void chosenRowsHandedOnceInOrder()
    {
        QFETCH(QList<int>, checked);
        QFETCH(QList<int>, selected);
        QFETCH(QStringList, expected);
        m_openable = {0, 1, 3};
        m_images = {QStringLiteral("/img/a.img"), QStringLiteral("/img/b.img")};
        CChooseDevice dlg(m_frame.get());
        dlg.OnAddImage();
        dlg.OnAddImage();
        QTableWidget* list = dlg.List();
        QCOMPARE(list->rowCount(), 5);
        for (int row : checked)
            list->item(row, 0)->setCheckState(Qt::Checked);
        for (int row : selected)
            list->selectionModel()->select(list->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        dlg.show();
        QTest::mouseClick(dlg.OkButton(), Qt::LeftButton);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        // What reached the tree through WM_ADD_SOURCE, and the context.
        QCOMPARE(TreeTexts(), expected);
        QCOMPARE(ContextSources(), expected);
        QVERIFY(m_boxes.empty());
    }

    void imageMapfilesAreOfferedAttachedAndHandedOn()
    {
        // a.img has its ddrescue map beside it; b.img gets one chosen by
        // hand, after a file that is no mapfile was refused.
        QTemporaryDir tmp;
        auto write = [&](const QString& name, const QByteArray& text) {
            QFile f(tmp.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(text);
        };
        write(QStringLiteral("a.img"), "");
        write(QStringLiteral("a.img.map"), "0 +\n0 0x1000 +\n");
        write(QStringLiteral("b.img"), "");
        write(QStringLiteral("b.bad"), "0 +\n0 0x1000 +\n0x2000 0x1000 -\n");
        write(QStringLiteral("b.log"), "0x0 ?\n0x0 0x1000 -\n");
        m_images = {tmp.filePath(QStringLiteral("a.img")), tmp.filePath(QStringLiteral("b.img"))};
        QStringList maps = {tmp.filePath(QStringLiteral("b.bad")), tmp.filePath(QStringLiteral("b.log"))};
        CSourceDialogs d = CSourceDialogs::Current();
        d.mapFile = [&maps](QWidget*, const QString&) { return maps.isEmpty() ? QString() : maps.takeFirst(); };
        CSourceDialogs::Install(d);
        CChooseDevice dlg(m_frame.get());
        dlg.OnAddImage();
        dlg.OnAddImage();
        QTableWidget* list = dlg.List();
        QCOMPARE(dlg.RowMap(0), tmp.filePath(QStringLiteral("a.img.map")));
        QVERIFY(list->item(0, 1)->text().contains(QStringLiteral("a.img.map")));
        QCOMPARE(dlg.RowMap(1), QString());
        list->setCurrentCell(1, 0);
        dlg.OnAttachMap(); // b.bad: refused, naming the line
        QCOMPARE(m_boxes.size(), size_t(1));
        QVERIFY2(m_boxes[0].text.contains(QStringLiteral("line 3")), qPrintable(m_boxes[0].text));
        QCOMPARE(dlg.RowMap(1), QString());
        dlg.OnAttachMap(); // b.log
        QCOMPARE(dlg.RowMap(1), tmp.filePath(QStringLiteral("b.log")));
        for (int row : {0, 1})
            list->item(row, 0)->setCheckState(Qt::Checked);
        dlg.show();
        QTest::mouseClick(dlg.OkButton(), Qt::LeftButton);
        // The tree shows each map under its source; the context has them.
        QCOMPARE(Tree()->RootItem()->childCount(), 2);
        for (int i = 0; i < 2; ++i) {
            QTreeWidgetItem* source = Tree()->RootItem()->child(i);
            QCOMPARE(source->childCount(), 1);
            const std::string& mapfile = Tree()->Context().sources[size_t(i)].mapfile;
            QVERIFY(!mapfile.empty());
            QVERIFY(source->child(0)->text(0).contains(QString::fromStdString(mapfile)));
        }
    }

    void cancelHandsOnNothing()
    {
        m_openable = {0, 1};
        m_images = {QStringLiteral("/img/a.img")};
        CChooseDevice dlg(m_frame.get());
        dlg.OnAddImage();
        for (int row = 0; row < dlg.List()->rowCount(); ++row)
            dlg.List()->item(row, 0)->setCheckState(Qt::Checked);
        dlg.List()->selectAll();
        dlg.show();
        QTest::mouseClick(dlg.CancelButton(), Qt::LeftButton);
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QCOMPARE(Tree()->RootItem()->childCount(), 0);
        QVERIFY(Tree()->Context().sources.empty());
    }

    void readOnlyLoopDeviceIsOffered()
    {
        if (geteuid() != 0)
            QSKIP("needs root to attach a loop device");
        TempDir dir;
        const sample::Manifest m = sample::Generate(sample::HealthyGroup(5, {2}), dir.path().string());
        const auto before = Snapshot(m);
        // Read-only: opening it for writing fails, as behind a write blocker.
        QProcess attach;
        attach.start(QStringLiteral("losetup"),
                     {QStringLiteral("-r"), QStringLiteral("-f"), QStringLiteral("--show"),
                      QString::fromStdString(m.members[0].path)});
        if (!attach.waitForFinished(10000) || attach.exitCode() != 0)
            QSKIP("no loop device can be attached here");
        const QString node = QString::fromUtf8(attach.readAllStandardOutput()).trimmed();
        auto detach = qScopeGuard([&] {
            QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), node});
        });
        int number = -1;
        const auto drives = JFileHandle::ListDrives();
        for (size_t i = 0; i < drives.size(); ++i)
            if (QString::fromStdString(drives[i].devNode) == node)
                number = int(i);
        QVERIFY2(number >= 0 && number < kProbedDrives, qPrintable(node));
        const std::optional<QString> info = ProbeDrive(number);
        QVERIFY(info);
        QVERIFY2(info->contains(node), qPrintable(*info));

        // A user who may read the drive but not write it (root may always
        // write): the drive is still offered.
        struct stat st {};
        QVERIFY(::stat(node.toLocal8Bit().constData(), &st) == 0);
        QVERIFY(::chmod(node.toLocal8Bit().constData(), 0644) == 0);
        auto restoreMode = qScopeGuard([&] { ::chmod(node.toLocal8Bit().constData(), st.st_mode & 07777); });
        QCOMPARE(ProbeAsNobody(number, node), QStringLiteral("offered, not writable"));

        // The real probe lists it; chosen with the other members as images,
        // the analysis reads the group through it.
        CSourceDialogs::Install(CSourceDialogs::Defaults());
        CSourceDialogs d;
        QStringList images;
        for (size_t i = 1; i < m.members.size(); ++i)
            images << QString::fromStdString(m.members[i].path);
        d.imageFile = [&images](QWidget*) { return images.isEmpty() ? QString() : images.takeFirst(); };
        d.messageBox = [this](QWidget* owner, const QString& text, const QString& caption) {
            m_boxes.push_back({text, caption, owner});
        };
        CSourceDialogs::Install(d);
        CChooseDevice dlg(m_frame.get());
        const QString name = QStringLiteral("\\\\.\\Physicaldrive%1").arg(number);
        const auto rows = dlg.List()->findItems(name, Qt::MatchExactly);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(dlg.List()->item(rows[0]->row(), 1)->text(), *info);
        rows[0]->setCheckState(Qt::Checked);
        for (int i = 1; i < int(m.members.size()); ++i) {
            dlg.OnAddImage();
            dlg.List()->item(dlg.List()->rowCount() - 1, 0)->setCheckState(Qt::Checked);
        }
        dlg.OnOK();
        QCOMPARE(TreeTexts().size(), int(m.members.size()));
        QCOMPARE(TreeTexts().first(), name);
        QVERIFY(Analyse());
        QVERIFY(m_boxes.empty());
        ExpectRowsOf(m);
        QVERIFY(Snapshot(m) == before);
    }

    // ---- the tree ----

    void sourcesAddedUnderRoot()
    {
        QCOMPARE(Tree()->topLevelItemCount(), 1);
        QCOMPARE(Tree()->RootItem()->text(0), QStringLiteral("Root"));
        const QStringList names = {QStringLiteral("\\\\.\\Physicaldrive2"),
                                   QStringLiteral("/cases/镜像 一/member0.img"),
                                   QStringLiteral("\\\\.\\Physicaldrive2")};
        for (const QString& n : names)
            AddSource(n);
        // In the order added, the same source twice held twice.
        QCOMPARE(TreeTexts(), names);
        QCOMPARE(ContextSources(), names);
        QVERIFY(Tree()->RootItem()->isExpanded());
        QVERIFY(m_boxes.empty());
    }

    void untranslatableNameIsRefused()
    {
        AddSource(QStringLiteral("/img/ok.img"));
        // An unpaired surrogate has no narrow form.
        const std::u16string bad = u"/img/\xD800x.img";
        SendWindowMessage(g_hLeftView, WM_ADD_SOURCE, 0, reinterpret_cast<LPARAM>(bad.c_str()));
        QCOMPARE(m_boxes.size(), size_t(1));
        QCOMPARE(m_boxes[0].text, QStringLiteral("Invalid UTF-8 sequence."));
        QCOMPARE(m_boxes[0].caption, kCaptionText);
        QCOMPARE(m_boxes[0].owner, static_cast<QWidget*>(Tree()));
        // Nothing added, and the program goes on adding.
        AddSource(QStringLiteral("/img/next.img"));
        const QStringList want = {QStringLiteral("/img/ok.img"), QStringLiteral("/img/next.img")};
        QCOMPARE(TreeTexts(), want);
        QCOMPARE(ContextSources(), want);
    }

    void removeSource_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<bool>("useKey");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("middle by Delete") << 1 << true << QStringList{"a", "c"};
        QTest::newRow("first by the menu entry") << 0 << false << QStringList{"b", "c"};
        QTest::newRow("Root is kept") << -1 << true << QStringList{"a", "b", "c"};
    }

    void removeSource()
    {
        QFETCH(int, current);
        QFETCH(bool, useKey);
        QFETCH(QStringList, left);
        for (const char* n : {"a", "b", "c"})
            AddSource(QString::fromLatin1(n));
        Tree()->setCurrentItem(current < 0 ? Tree()->RootItem() : Tree()->SourceItem(current));
        if (useKey)
            QTest::keyClick(Tree(), Qt::Key_Delete);
        else
            Tree()->RemoveAction()->trigger();
        QCOMPARE(TreeTexts(), left);
        // Child i of Root stays sources[i].
        QCOMPARE(ContextSources(), left);
    }

    void removingASourceDropsTheAnalysis_data()
    {
        QTest::addColumn<int>("removed"); // sources removed, from the last
        QTest::newRow("one of them") << 1;
        QTest::newRow("every one") << 5;
    }

    void removingASourceDropsTheAnalysis()
    {
        QFETCH(int, removed);
        TempDir dir;
        const sample::Manifest m = sample::Generate(sample::HealthyGroup(5, {2, 1}), dir.path().string());
        AddGroup(m);
        QVERIFY(Analyse());
        ExpectRowsOf(m);
        for (int i = 0; i < removed; ++i) {
            Tree()->setCurrentItem(Tree()->SourceItem(Tree()->RootItem()->childCount() - 1));
            QVERIFY(Tree()->OnRemoveSource());
        }
        // The list no longer offers LUNs read from a source that is gone,
        // and the members the analysis opened are closed.
        QCOMPARE(Luns()->Model()->rowCount(), 0);
        QVERIFY(Luns()->m_pContext == nullptr);
        QVERIFY(Tree()->Context().members.empty());
        QVERIFY(Tree()->Context().lunList.empty());
        QCOMPARE(int(Tree()->Context().sources.size()), int(m.Sources().size()) - removed);
        QVERIFY(m_frame->MessageLabel()->isHidden());
        QVERIFY(Luns()->RowEntry(0) == nullptr);
        if (removed < int(m.Sources().size()))
            return;
        // Adding the group again and analysing gives the list back.
        AddGroup(m);
        QVERIFY(Analyse());
        ExpectRowsOf(m);
    }

    // ---- the analysis ----

    void healthyGroupFillsTheList()
    {
        TempDir dir;
        sample::GroupPlan groupPlan = sample::HealthyGroup(6, {2, 1, 3});
        const sample::Manifest m = sample::Generate(groupPlan, dir.path().string());
        const auto before = Snapshot(m);
        AddGroup(m);
        QVERIFY(Analyse());
        QVERIFY(m_boxes.empty());
        ExpectRowsOf(m);
        QCOMPARE(Luns()->m_pContext, &Tree()->Context());
        // Each source says which disk it was.
        for (int i = 0; i < int(m.members.size()); ++i)
            QVERIFY2(Tree()->SourceItem(i)->toolTip(0).contains(
                         QStringLiteral("磁盘 id：%1").arg(m.members[size_t(i)].diskId)),
                     qPrintable(Tree()->SourceItem(i)->toolTip(0)));
        QCOMPARE(Tree()->StatusText(), QString());
        QVERIFY(m_frame->MessageLabel()->isHidden());
        QVERIFY(Snapshot(m) == before);
    }

    void secondAnalysisReplacesRows()
    {
        TempDir dir;
        const sample::Manifest m = sample::Generate(sample::HealthyGroup(5, {1, 2}), dir.path().string());
        AddGroup(m);
        QVERIFY(Analyse());
        QCOMPARE(Luns()->Model()->rowCount(), 2);
        QVERIFY(Analyse());
        // Not appended: the rows point at the new analysis' entries.
        ExpectRowsOf(m);
        QVERIFY(m_boxes.empty());
    }

    void emptyTreeSaysSo()
    {
        QVERIFY(Analyse());
        QCOMPARE(m_boxes.size(), size_t(1));
        QCOMPARE(m_boxes[0].text, QStringLiteral("Please Add Disks Of Images"));
        QCOMPARE(m_boxes[0].caption, kCaptionText);
        QCOMPARE(m_boxes[0].owner, static_cast<QWidget*>(Tree()));
        QCOMPARE(Luns()->Model()->rowCount(), 0);
        QVERIFY(Luns()->m_pContext == nullptr);
    }

    void errorCodesShowTheirTexts_data()
    {
        QTest::addColumn<int>("damage");
        QTest::addColumn<QString>("text");
        QTest::newRow("1 source cannot be opened") << 1 << QStringLiteral("Open Device Failed!");
        QTest::newRow("4 no tagged member") << 4 << QStringLiteral("Can Not Find Eva Raid Infomation!");
        QTest::newRow("5 only type-16 index records") << 5 << QStringLiteral("Does Not Find RaidInfo2");
        QTest::newRow("6 headers cut off") << 6 << QStringLiteral("Eva Has Been Demage Serious");
    }

    void errorCodesShowTheirTexts()
    {
        QFETCH(int, damage);
        QFETCH(QString, text);
        TempDir dir;
        // A healthy group first: its rows must go when the next analysis fails.
        const sample::Manifest good =
            sample::Generate(sample::HealthyGroup(5, {1}), (dir.path() / "good").string());
        AddGroup(good);
        QVERIFY(Analyse());
        QCOMPARE(Luns()->Model()->rowCount(), 1);
        for (int i = int(good.Sources().size()) - 1; i >= 0; --i) {
            Tree()->setCurrentItem(Tree()->SourceItem(i));
            QVERIFY(Tree()->OnRemoveSource());
        }

        sample::GroupPlan groupPlan = sample::HealthyGroup(5, {2, 1});
        for (auto& member : groupPlan.members) {
            if (damage == 4)
                member.tagged = false;
            if (damage == 6)
                member.truncateAt = 64ULL << 20;
        }
        if (damage == 5)
            for (auto& lun : groupPlan.luns)
                lun.indexType = 16;
        const sample::Manifest m = sample::Generate(groupPlan, (dir.path() / "bad").string());
        const auto before = Snapshot(m);
        AddGroup(m);
        // A long path, so the message must keep its end (the file name).
        const QString gone = QString::fromStdString(
            (dir.path() / "an evidence folder with a long name" / "disk group B" / "gone.img").string());
        if (damage == 1)
            AddSource(gone);
        QVERIFY(Analyse());
        QCOMPARE(m_boxes.size(), size_t(1));
        QCOMPARE(m_boxes[0].text, text);
        QCOMPARE(m_boxes[0].caption, kCaptionText);
        QCOMPARE(Luns()->Model()->rowCount(), 0);
        // The detail goes to the status bar's message area.
        QVERIFY2(Tree()->StatusText().startsWith(text), qPrintable(Tree()->StatusText()));
        QVERIFY(m_frame->MessageLabel()->isVisibleTo(m_frame.get()));
        if (damage == 1) {
            // Whole, even in a narrow window: wrapped, never cut.
            m_frame->resize(640, 480);
            m_frame->show();
            QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
            QLabel* area = m_frame->MessageLabel();
            QVERIFY2(area->text().contains(gone), qPrintable(area->text()));
            QTRY_VERIFY(area->width() <= m_frame->width());
            QTRY_VERIFY(area->height() >= area->heightForWidth(area->width()));
        }
        QVERIFY(Snapshot(m) == before);
    }

    void missingSlotsAndUntaggedMembersNamed()
    {
        TempDir dir;
        sample::GroupPlan groupPlan = sample::HealthyGroup(6, {2});
        groupPlan.members[5].present = false; // lost: its slot has no member
        groupPlan.members[2].tagged = false;
        const sample::Manifest m = sample::Generate(groupPlan, dir.path().string());
        AddGroup(m);
        QVERIFY(Analyse());
        QVERIFY(m_boxes.empty());
        const EvaContext& ctx = Tree()->Context();
        QVERIFY(!ctx.missingSlots.empty());
        for (const SlotKey& s : ctx.missingSlots)
            QVERIFY2(Tree()->StatusText().contains(QStringLiteral("(%1,%2)").arg(s.row).arg(s.column)),
                     qPrintable(Tree()->StatusText()));
        QVERIFY(m_frame->MessageLabel()->isVisibleTo(m_frame.get()));
        QVERIFY(m_frame->MessageLabel()->toolTip().contains(Tree()->StatusText()));
        QVERIFY2(Tree()->SourceItem(2)->toolTip(0).contains(QStringLiteral("无成员标记")),
                 qPrintable(Tree()->SourceItem(2)->toolTip(0)));
        QVERIFY(!Tree()->SourceItem(0)->toolTip(0).contains(QStringLiteral("无成员标记")));
    }

    void strayAndMissingShownInTreeStatusAndMemberMap()
    {
        // Six members, member 4 lost, and a blank disk (disk id 0) added
        // after them: member 0 keeps its slot, the blank one is marked.
        TempDir dir;
        sample::GroupPlan groupPlan = sample::HealthyGroup(6, {2});
        groupPlan.members[4].present = false;
        sample::MemberPlan blank;
        blank.tagged = false;
        blank.content = sample::Content::Blank;
        groupPlan.members.push_back(blank);
        const sample::Manifest m = sample::Generate(groupPlan, dir.path().string());
        QVERIFY2(!m_frame->QueryCommand(ID_VIEW_MEMBER_MAP).enabled, "nothing to show before an analysis");
        AddGroup(m);
        QVERIFY(Analyse());
        QVERIFY(m_boxes.empty());
        ExpectRowsOf(m);
        const int blankItem = 5; // sixth source: member 4 is not among them
        QVERIFY(!Tree()->SourceItem(blankItem)->icon(0).isNull());
        QVERIFY2(Tree()->SourceItem(blankItem)->toolTip(0).contains(QStringLiteral("member0.img")),
                 qPrintable(Tree()->SourceItem(blankItem)->toolTip(0)));
        for (int i = 0; i < blankItem; ++i)
            QVERIFY(Tree()->SourceItem(i)->icon(0).isNull());
        QVERIFY2(Tree()->StatusText().startsWith(QStringLiteral("警告：member6.img：")),
                 qPrintable(Tree()->StatusText()));
        QVERIFY(Tree()->StatusText().contains(QStringLiteral("(1,4)")));
        QVERIFY(m_frame->MessageLabel()->isVisibleTo(m_frame.get()));

        QVERIFY(m_frame->ExecuteCommand(ID_VIEW_MEMBER_MAP));
        auto* dlg = Tree()->findChild<CMemberMapDlg*>();
        QVERIFY(dlg && dlg->isVisible());
        QTableWidget* grid = dlg->Grid();
        QCOMPARE(grid->rowCount(), 1);
        QCOMPARE(dlg->RaidRow(0), 1);
        QCOMPARE(grid->columnCount(), 6);
        for (int c : {0, 1, 2, 3, 5})
            QVERIFY2(grid->item(0, c)->text().startsWith(QStringLiteral("member%1.img\n").arg(c)),
                     qPrintable(grid->item(0, c)->text()));
        QVERIFY(grid->item(0, 4)->text().startsWith(QStringLiteral("缺失")));
        QCOMPARE(grid->item(0, 4)->background().color(), CMemberMapDlg::MissingColour());
        // The slot whose disk id the blank source carries too.
        QCOMPARE(grid->item(0, 0)->background().color(), CMemberMapDlg::ConflictColour());
        QCOMPARE(grid->item(0, 1)->background().style(), Qt::NoBrush);
        QCOMPARE(dlg->Unused()->rowCount(), 1);
        QCOMPARE(dlg->Unused()->item(0, 0)->text(), QStringLiteral("member6.img"));
        QCOMPARE(dlg->Unused()->item(0, 0)->background().color(), CMemberMapDlg::ConflictColour());
        dlg->reject();

        // A second analysis without the stray clears the marks.
        Tree()->setCurrentItem(Tree()->SourceItem(blankItem));
        QVERIFY(Tree()->OnRemoveSource());
        QVERIFY(Analyse());
        QVERIFY(Tree()->SourceItem(0)->icon(0).isNull());
        QVERIFY(!Tree()->StatusText().contains(QStringLiteral("警告")));
    }

    void excludeCheckTakesASourceOutOfTheMapUntilCleared()
    {
        TempDir dir;
        const sample::Manifest m = sample::Generate(sample::HealthyGroup(5, {2}), dir.path().string());
        AddGroup(m);
        QVERIFY(Analyse());
        const EvaContext& ctx = Tree()->Context();
        QVERIFY(ctx.memberMap[1][2] != nullptr);
        QVERIFY(Tree()->SetExcluded(2, true));
        QVERIFY(ctx.memberMap[1][2] == nullptr);
        QVERIFY(Tree()->SourceItem(2)->font(0).strikeOut());

        QVERIFY(m_frame->ExecuteCommand(ID_VIEW_MEMBER_MAP));
        auto* dlg = Tree()->findChild<CMemberMapDlg*>();
        QVERIFY(dlg);
        QTableWidgetItem* cell = dlg->Grid()->item(0, 2);
        QCOMPARE(cell->checkState(), Qt::Checked);
        QCOMPARE(cell->background().color(), CMemberMapDlg::ExcludedColour());
        cell->setCheckState(Qt::Unchecked); // the user clears the check
        QVERIFY(ctx.memberMap[1][2] != nullptr);
        QVERIFY(!Tree()->SourceItem(2)->font(0).strikeOut());
        QCOMPARE(dlg->Grid()->item(0, 1)->checkState(), Qt::Unchecked);
        dlg->reject();

        // A new analysis keeps the request.
        QVERIFY(Tree()->SetExcluded(4, true));
        QVERIFY(Analyse());
        QVERIFY(ctx.memberMap[1][4] == nullptr && ctx.memberMap[1][2] != nullptr);
        QVERIFY2(Tree()->StatusText().contains(QStringLiteral("member4.img")), qPrintable(Tree()->StatusText()));
    }

    void shortCoverageRowMarked()
    {
        TempDir dir;
        sample::GroupPlan groupPlan = sample::HealthyGroup(5, {2, 1, 2});
        groupPlan.luns[1].capacitySectors = 3ULL << 21; // declares 3 GiB, covers 8 MiB
        const sample::Manifest m = sample::Generate(groupPlan, dir.path().string());
        AddGroup(m);
        QVERIFY(Analyse());
        ExpectRowsOf(m);
        QStandardItemModel* model = Luns()->Model();
        for (int row = 0; row < model->rowCount(); ++row) {
            const bool marked = row == 1;
            QCOMPARE(!model->item(row, 0)->icon().isNull(), marked);
            for (int col = 0; col < 3; ++col)
                QCOMPARE(model->item(row, col)->toolTip().contains(QStringLiteral("条带记录只覆盖")),
                         marked);
        }
        const QString tip = model->item(1, 2)->toolTip();
        QVERIFY2(tip.contains(QStringLiteral("8388608")) && tip.contains(QStringLiteral("3221225472")),
                 qPrintable(tip));
        // The size column still shows the declared size, as the list always does.
        QCOMPARE(model->item(1, 2)->text(), QStringLiteral("3G"));
    }

    void commandsDisabledWhileTheWorkerRuns()
    {
        // The worker waits for this thread while its box is shown, still
        // holding the context: the checks run from inside the box. (A FIFO
        // no longer holds it in the engine: sources that are not files or
        // drives are refused at once.)
        TempDir dir;
        AddSource(QString::fromStdString(dir.file("gone.img")));
        bool checked = false, inBox = false;
        CSourceDialogs d;
        d.messageBox = [&](QWidget* owner, const QString& text, const QString& caption) {
            m_boxes.push_back({text, caption, owner});
            if (inBox)
                return; // the refusal of the late source
            inBox = true;
            QVERIFY(Tree()->AnalysisRunning());
            for (int id : {ID_FILE_NEW, ID_INIT_LUN_INFO, ID_EXPORT_IMAGE, ID_EXPORT_DISK, ID_VIEW_MEMBER_MAP})
                QVERIFY2(!m_frame->QueryCommand(id).enabled, qPrintable(QString::number(id)));
            m_frame->UpdateCommandUI();
            QVERIFY(!m_frame->Action(ID_INIT_LUN_INFO)->isEnabled());
            QVERIFY(!m_frame->Action(ID_FILE_NEW)->isEnabled());
            // Neither a second analysis nor a change of the sources gets in.
            QVERIFY(!m_frame->ExecuteCommand(ID_INIT_LUN_INFO));
            Tree()->setCurrentItem(Tree()->SourceItem(0));
            QVERIFY(!Tree()->OnRemoveSource());
            QVERIFY(Tree()->OnMemberMap() == nullptr);
            AddSource(QStringLiteral("/img/late.img"));
            QCOMPARE(Tree()->Context().sources.size(), size_t(1));
            QCOMPARE(m_boxes.size(), size_t(2)); // the refusal
            checked = true;
        };
        CSourceDialogs::Install(d);
        QSignalSpy done(Tree(), &CLeftView::analysisFinished);
        QVERIFY(m_frame->ExecuteCommand(ID_INIT_LUN_INFO));
        QVERIFY(done.wait(30000));
        QVERIFY(checked);
        QCOMPARE(m_boxes.size(), size_t(2));
        QCOMPARE(m_boxes[0].text, QStringLiteral("Open Device Failed!"));
        QVERIFY(!IsBusy());
        m_frame->UpdateCommandUI();
        QVERIFY(m_frame->Action(ID_INIT_LUN_INFO)->isEnabled());
        QVERIFY(m_frame->Action(ID_FILE_NEW)->isEnabled());
        QVERIFY(Tree()->OnRemoveSource());
    }

    void messageBoxWaitsOnTheUserInterfaceThread()
    {
        // The worker's box is shown on this thread while the worker waits:
        // the guard is still held then.
        QThread* shownOn = nullptr;
        bool busyWhileShown = false;
        CSourceDialogs d;
        d.messageBox = [&](QWidget*, const QString&, const QString&) {
            shownOn = QThread::currentThread();
            busyWhileShown = IsBusy() && Tree()->AnalysisRunning();
        };
        CSourceDialogs::Install(d);
        AddSource(QStringLiteral("/nonexistent/member.img"));
        QVERIFY(Analyse());
        QCOMPARE(shownOn, QThread::currentThread());
        QVERIFY(busyWhileShown);
    }

    void imagePathSurvivesAChangedFolder()
    {
        // The analysis opens the path the dialog handed on, wherever the
        // process stands by then.
        TempDir dir;
        TempDir elsewhere;
        const sample::Manifest m = sample::Generate(sample::HealthyGroup(5, {1}), dir.path().string());
        for (const auto& s : m.Sources())
            m_images << QString::fromStdString(s);
        const auto cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        CChooseDevice dlg(m_frame.get());
        for (size_t i = 0; i < m.Sources().size(); ++i)
            dlg.OnAddImage();
        dlg.List()->selectAll();
        dlg.OnOK();
        std::filesystem::current_path(elsewhere.path());
        const bool analysed = Analyse();
        std::filesystem::current_path(cwd);
        QVERIFY(analysed);
        QCOMPARE(TreeTexts().first(), QString::fromStdString(m.Sources().front()));
        QVERIFY(m_boxes.empty());
        ExpectRowsOf(m);
    }

    void ctrlNFromTheMainWindowToTheList()
    {
        TempDir dir;
        const sample::Manifest m = sample::Generate(sample::HealthyGroup(5, {3, 1}), dir.path().string());
        for (const auto& s : m.Sources())
            m_images << QString::fromStdString(s);
        m_frame->show();
        m_frame->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_frame.get()));
        m_frame->UpdateCommandUI();

        QString title;
        QTimer::singleShot(0, this, [&] {
            auto* dlg = qobject_cast<CChooseDevice*>(QApplication::activeModalWidget());
            if (!dlg)
                return;
            title = dlg->windowTitle();
            for (size_t i = 0; i < m.Sources().size(); ++i) {
                QTest::mouseClick(dlg->AddImageButton(), Qt::LeftButton);
                dlg->List()->item(dlg->List()->rowCount() - 1, 0)->setCheckState(Qt::Checked);
            }
            QTest::mouseClick(dlg->OkButton(), Qt::LeftButton);
        });
        QTest::keyClick(m_frame.get(), Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(title, QStringLiteral("选择源"));
        QCOMPARE(TreeTexts().size(), int(m.Sources().size()));

        QSignalSpy done(Tree(), &CLeftView::analysisFinished);
        m_frame->Action(ID_INIT_LUN_INFO)->trigger();
        QVERIFY(done.wait(60000));
        QVERIFY(m_boxes.empty());
        ExpectRowsOf(m);
    }
};

QTEST_MAIN(SourcesTest)
#include "ui_sources_test.moc"
