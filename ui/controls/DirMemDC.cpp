#include "ui/controls/DirMemDC.h"

#include <QDialog>
#include <QPaintDevice>
#include <QWidget>

#include <cmath>

namespace corvane::ui {

CDirMemDC::CDirMemDC(QPainter& target, const QWidget* window, const QRect& rect)
    : m_pDC(&target),
      m_bMemDC(!target.device() || target.device()->devType() != QInternal::Printer),
      m_rect(rect)
{
    const QColor background = BackgroundFor(target, window);
    if (!m_bMemDC) {
        target.fillRect(m_rect, background);
        return;
    }
    // In device pixels, so the copy is one-to-one on high-density screens.
    const qreal ratio = target.device() ? target.device()->devicePixelRatioF() : 1.0;
    const QSize pixels(int(std::ceil(m_rect.width() * ratio)),
                       int(std::ceil(m_rect.height() * ratio)));
    m_bitmap = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    m_bitmap.setDevicePixelRatio(ratio);
    m_bitmap.fill(background);
    m_memDC.begin(&m_bitmap);
    // Same logical coordinates as the window: its top-left maps to the
    // image's origin.
    m_memDC.translate(-m_rect.topLeft());
    m_memDC.setFont(target.font());
}

CDirMemDC::~CDirMemDC()
{
    if (!m_bMemDC)
        return;
    m_memDC.end();
    m_pDC->drawImage(m_rect.topLeft(), m_bitmap);
}

QColor CDirMemDC::BackgroundFor(const QPainter& target, const QWidget* window)
{
    if (!window)
        return target.background().color();
    for (const QWidget* w = window; w; w = w->parentWidget()) {
        if (qobject_cast<const QDialog*>(w))
            return window->palette().color(QPalette::Active, QPalette::Button);
        if (w->isWindow())
            break;
    }
    if (window->autoFillBackground())
        return window->palette().color(QPalette::Active, window->backgroundRole());
    return target.background().color();
}

} // namespace corvane::ui
