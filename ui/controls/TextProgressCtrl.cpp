#include "ui/controls/TextProgressCtrl.h"

#include "ui/common/WindowMessages.h"
#include "ui/controls/DirMemDC.h"

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace corvane::ui {

int CTextProgressCtrl::s_nMarqueeDir = 1;

namespace {

int ClampToInt(long long v)
{
    return int(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

// Drops the fraction (toward zero) without leaving the int range.
int TruncToInt(double v)
{
    if (!(v == v))
        return 0;
    return int(std::clamp(std::trunc(v), double(INT_MIN), double(INT_MAX)));
}

// The low 32 bits of a parameter, as a signed value.
int ParamInt(std::uintmax_t v) { return int(std::int32_t(std::uint32_t(v & 0xFFFFFFFFu))); }

bool IsControlMessage(int type)
{
    return (type >= int(PBM_SETRANGE) && type <= int(PBM_SETMARQUEE)) ||
           (type >= int(TPCM_GETBARCOLOR) && type <= int(TPCM_SETMARQUEEWIDTH)) ||
           type == int(PBM_SETBKCOLOR);
}

// A rectangle by its edges, right and bottom exclusive, as the layout rules
// are stated.
struct Edges {
    int left, top, right, bottom;
    QRect Rect() const { return QRect(left, top, right - left, bottom - top); }
};

} // namespace

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent, std::uint32_t style)
    : QWidget(parent), m_dwStyle(style)
{
    // Every pixel is painted from the off-screen picture: nothing to erase.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
}

CTextProgressCtrl::~CTextProgressCtrl() = default;

QSize CTextProgressCtrl::sizeHint() const
{
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(QStringLiteral("0000M/0000M")) + 16, fm.height() + 8);
}

LRESULT CTextProgressCtrl::WindowProc(std::uint32_t message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        RepaintNow();
        return 0;
    case WM_TIMER:
        OnTimer(wParam);
        return 0;
    case WM_SETTEXT: {
        const auto* text = reinterpret_cast<const char16_t*>(lParam);
        SetWindowText(text ? QString::fromUtf16(text) : QString());
        return 1;
    }
    case WM_GETTEXTLENGTH:
        return LRESULT(m_strText.size());
    case WM_GETTEXT: {
        // wParam: buffer size in characters, with room for the NUL.
        auto* buffer = reinterpret_cast<char16_t*>(lParam);
        if (!buffer || wParam == 0)
            return 0;
        const auto count = std::min<std::uintmax_t>(std::uintmax_t(m_strText.size()), wParam - 1);
        std::memcpy(buffer, m_strText.utf16(), std::size_t(count) * sizeof(char16_t));
        buffer[count] = u'\0';
        return LRESULT(count);
    }
    case PBM_SETRANGE:
        return LRESULT(SetRange(std::uint16_t(LOWORD(std::uintmax_t(lParam))),
                                std::uint16_t(HIWORD(std::uintmax_t(lParam)))));
    case PBM_SETPOS:
        return SetPos(ParamInt(wParam));
    case PBM_DELTAPOS:
        return OffsetPos(ParamInt(wParam));
    case PBM_SETSTEP:
        return SetStep(ParamInt(wParam));
    case PBM_STEPIT:
        return StepIt();
    case PBM_SETRANGE32:
        return LRESULT(SetRange32(ParamInt(wParam), ParamInt(std::uintmax_t(lParam))));
    case PBM_GETRANGE: {
        if (auto* range = reinterpret_cast<PBRANGE*>(lParam)) {
            range->iLow = m_nMin;
            range->iHigh = m_nMax;
        }
        return wParam ? m_nMin : m_nMax;
    }
    case PBM_GETPOS:
        return m_nPos;
    case PBM_SETBARCOLOR:
        return SetBarColor(COLORREF(lParam));
    case PBM_SETBKCOLOR:
        return SetBkColor(COLORREF(lParam));
    case TPCM_GETBARCOLOR:
        return GetBarColor();
    case TPCM_GETBKCOLOR:
        return GetBkColor();
    case TPCM_SETTEXTCOLOR:
        return SetTextColor(COLORREF(lParam));
    case TPCM_GETTEXTCOLOR:
        return GetTextColor();
    case TPCM_SETTEXTBARCOLOR:
        return SetTextBarColor(COLORREF(lParam));
    case TPCM_GETTEXTBARCOLOR:
        return GetTextBarColor();
    case TPCM_SHOWPERCENT:
        return SetShowPercent(ParamInt(wParam));
    case TPCM_SETTEXTALIGN:
        return SetTextAlign(ParamInt(wParam));
    case PBM_SETMARQUEE:
        SetMarquee(wParam != 0, ParamInt(std::uintmax_t(lParam)));
        return LRESULT(wParam);
    case TPCM_SETMARQUEEWIDTH:
        return SetMarqueeWidth(ParamInt(wParam));
    default:
        return 0;
    }
}

bool CTextProgressCtrl::event(QEvent* e)
{
    const int type = int(e->type());
    if (IsControlMessage(type)) {
        if (auto* msg = CWindowMessage::Receive(e, e->type())) {
            msg->SetResult(WindowProc(std::uint32_t(type), msg->wParam(), msg->lParam()));
            return true;
        }
    }
    if (e->type() == QEvent::FontChange)
        m_bVerticalFontMade = false; // made again from the new font
    return QWidget::event(e);
}

void CTextProgressCtrl::ModifyStyle(std::uint32_t remove, std::uint32_t add)
{
    m_dwStyle = (m_dwStyle & ~remove) | add;
    update();
}

void CTextProgressCtrl::SetWindowText(const QString& text)
{
    if (text == m_strText)
        return;
    m_strText = text;
    // Shown at once: the frame sets the text after the position, and the
    // bar must not lag one message behind.
    RepaintNow();
}

std::uint32_t CTextProgressCtrl::SetRange(std::uint16_t lower, std::uint16_t upper)
{
    return SetRange32(lower, upper);
}

std::uint32_t CTextProgressCtrl::SetRange32(int lower, int upper)
{
    const std::uint32_t old = MAKELONG(std::uint32_t(m_nMin), std::uint32_t(m_nMax));
    m_nMin = lower;
    m_nMax = upper;
    // Not painted now (the position usually follows at once), but not left
    // stale either.
    update();
    return old;
}

void CTextProgressCtrl::GetRange(int& lower, int& upper) const
{
    lower = m_nMin;
    upper = m_nMax;
}

int CTextProgressCtrl::SetPos(int pos)
{
    const int old = m_nPos;
    int n = pos;
    if (n < m_nMin)
        n = m_nMin;
    const int upper = (m_dwStyle & PBS_MARQUEE) ? MarqueeUpper() : m_nMax;
    if (n > upper)
        n = upper;
    m_nPos = n;
    RepaintNow();
    return old;
}

int CTextProgressCtrl::OffsetPos(int delta)
{
    return SetPos(ClampToInt(static_cast<long long>(m_nPos) + delta));
}

int CTextProgressCtrl::SetStep(int step)
{
    const int old = m_nStep;
    m_nStep = step;
    return old;
}

int CTextProgressCtrl::StepIt()
{
    const long long n = static_cast<long long>(m_nPos) + m_nStep;
    if (n < m_nMin)
        return SetPos(ClampToInt(m_nMax - (m_nMin - n)));
    if (n > m_nMax)
        return SetPos(ClampToInt(m_nMin + (n - m_nMax)));
    return SetPos(int(n));
}

COLORREF CTextProgressCtrl::SetBarColor(COLORREF color)
{
    // Stored before the repaint, so the new colour shows at once.
    const COLORREF old = m_crBar;
    m_crBar = color;
    RepaintNow();
    return old;
}

COLORREF CTextProgressCtrl::SetBkColor(COLORREF color)
{
    const COLORREF old = m_crBk;
    m_crBk = color;
    RepaintNow();
    return old;
}

COLORREF CTextProgressCtrl::SetTextColor(COLORREF color)
{
    const COLORREF old = m_crText;
    m_crText = color;
    RepaintNow();
    return old;
}

COLORREF CTextProgressCtrl::SetTextBarColor(COLORREF color)
{
    const COLORREF old = m_crTextOnBar;
    m_crTextOnBar = color;
    RepaintNow();
    return old;
}

COLORREF CTextProgressCtrl::Effective(COLORREF stored, int role) const
{
    if (stored != CLR_DEFAULT)
        return stored;
    return FromQColor(palette().color(QPalette::Active, QPalette::ColorRole(role)));
}

COLORREF CTextProgressCtrl::GetBarColor() const { return Effective(m_crBar, QPalette::Highlight); }
COLORREF CTextProgressCtrl::GetBkColor() const { return Effective(m_crBk, QPalette::Button); }
COLORREF CTextProgressCtrl::GetTextColor() const
{
    return Effective(m_crText, QPalette::WindowText);
}
COLORREF CTextProgressCtrl::GetTextBarColor() const
{
    return Effective(m_crTextOnBar, QPalette::HighlightedText);
}

int CTextProgressCtrl::SetShowPercent(int show)
{
    const int old = m_bShowPercent;
    m_bShowPercent = show;
    RepaintNow();
    return old;
}

int CTextProgressCtrl::SetTextAlign(int align)
{
    const int old = m_nTextAlign;
    m_nTextAlign = align;
    RepaintNow();
    return old;
}

bool CTextProgressCtrl::SetMarquee(bool on, int intervalMs)
{
    m_bShowPercent = 0;
    if (on) {
        m_dwStyle |= PBS_MARQUEE;
        // A zero or negative interval would spin the event loop.
        m_marqueeTimer.start(std::max(10, intervalMs), this);
    } else {
        m_marqueeTimer.stop();
        m_dwStyle &= ~PBS_MARQUEE;
    }
    RepaintNow();
    return on;
}

int CTextProgressCtrl::SetMarqueeWidth(int percent)
{
    m_nMarqueeWidth = percent;
    RepaintNow();
    return m_nMarqueeWidth;
}

int CTextProgressCtrl::MarqueeUpper() const
{
    return TruncToInt(((double(m_nMarqueeWidth) + 100.0) * double(m_nMax) + 0.5) / 100.0);
}

QString CTextProgressCtrl::DisplayText() const
{
    if (!m_bShowPercent)
        return m_strText;
    const double f = (double(m_nPos) - double(m_nMin)) / (double(m_nMax) - double(m_nMin));
    return QString::asprintf("%12.10f%%", f * 100.0);
}

void CTextProgressCtrl::timerEvent(QTimerEvent* e)
{
    if (e->timerId() == m_marqueeTimer.timerId())
        OnTimer(kMarqueeTimerId);
    else
        QWidget::timerEvent(e);
}

void CTextProgressCtrl::OnTimer(WPARAM id)
{
    if (id != kMarqueeTimerId)
        return;
    const int p = GetPos();
    if (s_nMarqueeDir == 1 && p >= MarqueeUpper())
        s_nMarqueeDir = -1;
    else if (s_nMarqueeDir == -1 && p <= m_nMin)
        s_nMarqueeDir = 1;
    SetPos(ClampToInt(static_cast<long long>(p) + s_nMarqueeDir));
}

void CTextProgressCtrl::RepaintNow()
{
    // Painted before the caller goes on, like every position change.
    if (isVisible())
        repaint();
}

QColor CTextProgressCtrl::ToQColor(COLORREF color)
{
    return QColor(GetRValue(color), GetGValue(color), GetBValue(color));
}

COLORREF CTextProgressCtrl::FromQColor(const QColor& color)
{
    const QColor rgb = color.toRgb();
    return RGB(std::uint8_t(rgb.red()), std::uint8_t(rgb.green()), std::uint8_t(rgb.blue()));
}

void CTextProgressCtrl::paintEvent(QPaintEvent* e)
{
    // An empty or inverted range has nothing to show. Returning here still
    // ends the paint: the request does not stay pending.
    if (m_nMin >= m_nMax)
        return;
    QPainter painter(this);
    painter.setFont(font());
    CDirMemDC dc(painter, this, e->rect());
    Draw(dc.dc());
}

void CTextProgressCtrl::Draw(QPainter& p)
{
    const QColor crBar = ToQColor(GetBarColor());
    const QColor crBk = ToQColor(GetBkColor());
    const QColor crText = ToQColor(GetTextColor());
    const QColor crTextOnBar = ToQColor(GetTextBarColor());
    p.setFont(font());

    // Sunken flat edge, two pixels: shadow outside, button face inside.
    Edges in{0, 0, width(), height()};
    const QColor edges[2] = {palette().color(QPalette::Active, QPalette::Dark),
                             palette().color(QPalette::Active, QPalette::Button)};
    for (const QColor& c : edges) {
        if (in.right - in.left <= 0 || in.bottom - in.top <= 0)
            return;
        const QRect r = in.Rect();
        p.setPen(Qt::NoPen);
        p.fillRect(QRect(r.left(), r.top(), r.width(), 1), c);
        p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), c);
        p.fillRect(QRect(r.left(), r.top(), 1, r.height()), c);
        p.fillRect(QRect(r.right(), r.top(), 1, r.height()), c);
        in = Edges{in.left + 1, in.top + 1, in.right - 1, in.bottom - 1};
    }
    if (in.right <= in.left || in.bottom <= in.top)
        return;
    const Edges I = in;
    Edges B = I, A = I, P = I;
    bool useP = false;
    bool useA = true;

    const double f = (double(m_nPos) - double(m_nMin)) / (double(m_nMax) - double(m_nMin));
    const bool vertical = (m_dwStyle & PBS_VERTICAL) != 0;
    const bool marquee = (m_dwStyle & PBS_MARQUEE) != 0;
    if (vertical && !m_bVerticalFontMade) {
        m_fontVertical = font();
        m_bVerticalFontMade = true;
    }
    const int W = I.right - I.left;
    const int H = I.bottom - I.top;
    const long long extent = vertical ? H : W;
    const int L = int(std::clamp<long long>((extent * m_nMarqueeWidth + 50) / 100, 0, extent));

    if (!vertical) {
        B.right = I.left + TruncToInt(W * f);
        if (!marquee) {
            // A position a marquee left beyond the range stays in the bar.
            B.right = std::clamp(B.right, I.left, I.right);
            A.left = B.right;
        } else {
            B.left = B.right - L;
            if (B.left > I.left) {
                P.right = B.left;
                useP = true;
            } else {
                B.left = I.left;
            }
            if (B.right < I.right) {
                A.left = B.right;
            } else {
                B.right = I.right;
                useA = false;
            }
        }
    } else {
        B.top = I.bottom - TruncToInt(H * f);
        if (!marquee) {
            B.top = std::clamp(B.top, I.top, I.bottom);
            A.bottom = B.top;
        } else {
            B.bottom = B.top + L;
            if (B.bottom < I.bottom) {
                P.top = B.bottom;
                useP = true;
            } else {
                B.bottom = I.bottom;
            }
            if (B.top > I.top) {
                A.bottom = B.top;
            } else {
                B.top = I.top;
                useA = false;
            }
        }
    }

    if (useP)
        p.fillRect(P.Rect(), crBk);
    p.fillRect(B.Rect(), crBar);
    if (useA)
        p.fillRect(A.Rect(), crBk);

    const QString text = DisplayText();
    if (text.isEmpty())
        return;

    struct Part {
        const Edges* rect;
        bool used;
        QColor color;
    };
    const Part parts[3] = {{&P, useP, crText}, {&B, true, crTextOnBar}, {&A, useA, crText}};
    const QRect interior = I.Rect();

    if (!vertical) {
        const QFontMetrics fm(p.font());
        const int w = fm.horizontalAdvance(text);
        const int h = fm.height();
        int x;
        if (m_nTextAlign == TPC_ALIGN_START)
            x = I.left + 2;
        else if (m_nTextAlign == TPC_ALIGN_END)
            x = I.right - w - 3;
        else
            x = I.left + (W - w) / 2;
        const int y = I.top + (H - h) / 2;
        for (const Part& part : parts) {
            if (!part.used)
                continue;
            p.save();
            p.setClipRect(part.rect->Rect() & interior);
            p.setPen(part.color);
            p.drawText(QPoint(x, y + fm.ascent()), text);
            p.restore();
        }
        return;
    }

    // Vertical: the text runs upward from (x, y), the tops of its glyphs
    // towards the left.
    p.setFont(m_fontVertical);
    const QFontMetrics fm(m_fontVertical);
    const int w = fm.horizontalAdvance(text);
    const int h = fm.height();
    int y;
    if (m_nTextAlign == TPC_ALIGN_START)
        y = I.bottom - 3;
    else if (m_nTextAlign == TPC_ALIGN_END)
        y = I.top + w + 2;
    else
        y = I.top + w + (H - w) / 2;
    const int x = I.left + (W - h) / 2;
    for (const Part& part : parts) {
        if (!part.used)
            continue;
        p.save();
        p.setClipRect(part.rect->Rect() & interior);
        p.setPen(part.color);
        p.translate(x, y);
        p.rotate(-90.0);
        p.drawText(QPoint(0, fm.ascent()), text);
        p.restore();
    }
    p.setFont(font());
}

} // namespace corvane::ui
