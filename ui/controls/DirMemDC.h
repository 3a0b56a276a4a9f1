// An off-screen drawing surface for one paint. Drawing goes to an image of
// the painted rectangle; when the surface is destroyed the picture is copied
// to the target in one step, so the window never shows a half-drawn state.
// Printing goes straight to the printer.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRect>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace corvane::ui {

class CDirMemDC {
public:
    // target: the painter of the paint in progress (not owned); window: the
    // window being painted, which decides the background; rect: the part of
    // the window to draw, in its coordinates.
    CDirMemDC(QPainter& target, const QWidget* window, const QRect& rect);
    ~CDirMemDC();
    CDirMemDC(const CDirMemDC&) = delete;
    CDirMemDC& operator=(const CDirMemDC&) = delete;

    // Where to draw, in the window's coordinates.
    QPainter& dc() { return m_bMemDC ? m_memDC : *m_pDC; }
    bool IsMemDC() const { return m_bMemDC; }
    const QRect& Rect() const { return m_rect; }

    // The colour the surface starts with: a dialog's button face when the
    // window sits in a dialog, the window's own background when it fills
    // one, else the target's background colour.
    static QColor BackgroundFor(const QPainter& target, const QWidget* window);

private:
    QPainter* m_pDC;
    bool m_bMemDC;
    QRect m_rect;
    QImage m_bitmap;
    QPainter m_memDC;
};

} // namespace corvane::ui
