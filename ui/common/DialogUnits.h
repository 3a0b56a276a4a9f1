// Dialog units: every dialog of the program is laid out in the units of its
// own font, so that its controls keep their proportions whatever font and
// resolution the desktop uses. One horizontal unit is a quarter of the
// font's average character width, one vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>

QT_BEGIN_NAMESPACE
class QDialog;
class QWidget;
QT_END_NAMESPACE

namespace corvane::ui {

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& dialogFont);

    // Base units in pixels: average character width and character height.
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

    // Dialog units to pixels, rounded to the nearest pixel.
    int X(int dlu) const;
    int Y(int dlu) const;
    QRect MapDialogRect(int x, int y, int cx, int cy) const;
    QSize MapDialogSize(int cx, int cy) const;

    // The font a dialog template names: face and size in points. A face the
    // desktop lacks falls back to its sans-serif family, and characters the
    // face lacks (the Chinese texts) to a font that has them.
    static QFont DialogFont(const QString& face, int pointSize);

    // Gives dialog its font, a fixed client size of cx by cy units and the
    // frame of a fixed dialog: caption, system menu and close button only.
    static CDialogUnits SetUpDialog(QDialog* dialog, const QString& face, int pointSize, int cx,
                                    int cy);
    // The window flags of a dialog that cannot be resized: the window
    // system is told exactly which buttons it has, so it adds no minimise
    // or maximise button of its own.
    static Qt::WindowFlags FixedDialogFlags();

    // Places a control at a rectangle given in dialog units.
    void Place(QWidget* control, int x, int y, int cx, int cy) const;
    // As Place, but a text control is widened (never narrowed) to its own
    // size hint, so a text longer than the template allows is not cut off.
    void PlaceText(QWidget* control, int x, int y, int cx, int cy) const;

private:
    int m_baseX;
    int m_baseY;
};

} // namespace corvane::ui
