#include "ui/common/DialogUnits.h"

#include <QDialog>
#include <QFontMetrics>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace corvane::ui {

namespace {

// a * b / c rounded to nearest, as the conversion of a whole rectangle must
// not drift by truncating each edge.
int MulDiv(int a, int b, int c)
{
    return int(std::lround(double(a) * double(b) / double(c)));
}

} // namespace

CDialogUnits::CDialogUnits(const QFont& dialogFont)
{
    const QFontMetrics fm(dialogFont);
    // The average over the 52 Latin letters, rounded: the usual measure of a
    // dialog font's width.
    const int letters =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = std::max(1, (letters / 26 + 1) / 2);
    m_baseY = std::max(1, fm.height());
}

int CDialogUnits::X(int dlu) const { return MulDiv(dlu, m_baseX, 4); }
int CDialogUnits::Y(int dlu) const { return MulDiv(dlu, m_baseY, 8); }

QRect CDialogUnits::MapDialogRect(int x, int y, int cx, int cy) const
{
    // Edges are converted, not sizes, so adjacent controls stay adjacent.
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + cx) - left, Y(y + cy) - top);
}

QSize CDialogUnits::MapDialogSize(int cx, int cy) const { return QSize(X(cx), Y(cy)); }

QFont CDialogUnits::DialogFont(const QString& face, int pointSize)
{
    QFont font(face, pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

CDialogUnits CDialogUnits::SetUpDialog(QDialog* dialog, const QString& face, int pointSize,
                                       int cx, int cy)
{
    dialog->setWindowFlags(FixedDialogFlags());
    dialog->setFont(DialogFont(face, pointSize));
    CDialogUnits units(dialog->font());
    dialog->setFixedSize(units.MapDialogSize(cx, cy));
    return units;
}

Qt::WindowFlags CDialogUnits::FixedDialogFlags()
{
    // Without CustomizeWindowHint the toolkit fills in defaults, and some
    // window managers then offer minimise and maximise on a fixed dialog.
    return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
           Qt::MSWindowsFixedSizeDialogHint;
}

void CDialogUnits::Place(QWidget* control, int x, int y, int cx, int cy) const
{
    control->setGeometry(MapDialogRect(x, y, cx, cy));
}

void CDialogUnits::PlaceText(QWidget* control, int x, int y, int cx, int cy) const
{
    QRect r = MapDialogRect(x, y, cx, cy);
    const QSize hint = control->sizeHint();
    r.setWidth(std::max(r.width(), hint.width()));
    r.setHeight(std::max(r.height(), hint.height()));
    control->setGeometry(r);
}

} // namespace corvane::ui
