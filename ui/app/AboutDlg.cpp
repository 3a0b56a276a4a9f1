#include "ui/app/AboutDlg.h"

#include "ui/common/Commands.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QUrl>

namespace corvane::ui {

namespace {

CAboutDlg::UrlOpener& OpenerOverride()
{
    static CAboutDlg::UrlOpener open;
    return open;
}

} // namespace

void CAboutDlg::SetUrlOpener(UrlOpener open) { OpenerOverride() = std::move(open); }

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, CDialogUnits::FixedDialogFlags()),
      m_icon(new QLabel(this)),
      m_name(new QLabel(this)),
      m_link(new QLabel(this)),
      m_licence(new QLabel(this)),
      m_ok(new QPushButton(this))
{
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(tr("关于 Corvane"));
    const CDialogUnits du =
        CDialogUnits::SetUpDialog(this, QStringLiteral("MS Shell Dlg"), 9, 246, 97);

    // An icon control takes the icon's own size, not a size in units.
    const QRect iconAt = du.MapDialogRect(18, 38, 0, 0);
    m_icon->setPixmap(QPixmap(QStringLiteral(":/icons/corvane-32.png")));
    m_icon->setGeometry(iconAt.x(), iconAt.y(), 32, 32);

    m_name->setText(tr("Corvane Recovery For HP EVA  V1.0"));
    du.PlaceText(m_name, 54, 26, 119, 8);

    m_link->setObjectName(QStringLiteral("IDC_MFCLINK1"));
    m_link->setText(QStringLiteral("<a href=\"readme\">%1</a>").arg(tr("README.md")));
    m_link->setTextFormat(Qt::RichText);
    m_link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    m_link->setToolTip(FindReadme());
    du.PlaceText(m_link, 58, 40, 119, 8);
    connect(m_link, &QLabel::linkActivated, this, [this] { OnLinkActivated(); });

    m_licence->setText(tr("MIT 许可证"));
    du.PlaceText(m_licence, 69, 52, 119, 8);

    m_ok->setText(tr("确定"));
    m_ok->setDefault(true);
    m_ok->setAutoDefault(true);
    du.Place(m_ok, 189, 76, 50, 14);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    m_ok->setFocus();
}

QString CAboutDlg::FindReadme()
{
    QDir dir(QCoreApplication::applicationDirPath());
    for (int level = 0; level < 6; ++level) {
        const QFileInfo readme(dir.filePath(QStringLiteral("README.md")));
        if (readme.isFile())
            return readme.absoluteFilePath();
        if (!dir.cdUp())
            break;
    }
    const QFileInfo installed(QStringLiteral("/usr/share/doc/corvane/README.md"));
    return installed.isFile() ? installed.absoluteFilePath() : QString();
}

bool CAboutDlg::OnLinkActivated()
{
    const QString readme = FindReadme();
    QString problem;
    if (readme.isEmpty()) {
        problem = tr("找不到 README.md：它既不在程序旁边，也不在 /usr/share/doc/corvane 中。");
    } else {
        const QUrl url = QUrl::fromLocalFile(readme);
        const bool opened = OpenerOverride() ? OpenerOverride()(url)
                                             : QDesktopServices::openUrl(url);
        if (opened)
            return true;
        // No opener is installed (a bare workstation): the path, to copy.
        problem = tr("没有可以打开 README.md 的程序。\n请用文本编辑器或浏览器打开：\n%1")
                      .arg(readme);
    }
    QMessageBox box(QMessageBox::Information, windowTitle(), problem, QMessageBox::Ok, this);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
    return false;
}

} // namespace corvane::ui
