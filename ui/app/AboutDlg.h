// The about box: the program's name and version, a link to its README and
// its licence.
#pragma once

#include "ui/common/DialogUnits.h"

#include <QDialog>

#include <functional>

QT_BEGIN_NAMESPACE
class QLabel;
class QPushButton;
class QUrl;
QT_END_NAMESPACE

namespace corvane::ui {

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    // The README the link opens: the first README.md found beside the
    // program or in one of the folders above it (a build tree sits inside
    // the source tree), or an installed copy. Empty when there is none.
    static QString FindReadme();

    // What opens the README: the desktop's opener unless replaced (empty
    // restores it). False when nothing could open it; the box then says
    // where the file is, so the user can open it by hand.
    using UrlOpener = std::function<bool(const QUrl& url)>;
    static void SetUrlOpener(UrlOpener open);

    // Opens the README as the link does; false (after saying why) when it
    // could not.
    bool OnLinkActivated();

    QLabel* IconLabel() const { return m_icon; }
    QLabel* NameLabel() const { return m_name; }
    QLabel* Link() const { return m_link; }
    QLabel* LicenceLabel() const { return m_licence; }
    QPushButton* OkButton() const { return m_ok; }

private:
    QLabel* m_icon;
    QLabel* m_name;
    QLabel* m_link;
    QLabel* m_licence;
    QPushButton* m_ok;
};

} // namespace corvane::ui
