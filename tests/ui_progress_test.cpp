// The text progress bar: its message table and the pixels it paints.
#include "ui/common/MessageTypes.h"
#include "ui/controls/DirMemDC.h"
#include "ui/controls/TextProgressCtrl.h"

#include <QDialog>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <vector>

using namespace corvane::ui;

namespace {

constexpr COLORREF kBar = RGB(0, 0, 255);
constexpr COLORREF kBk = RGB(255, 255, 255);
constexpr COLORREF kText = RGB(255, 0, 0);
constexpr COLORREF kTextOnBar = RGB(0, 255, 0);
const QColor kUntouched(255, 0, 255);

// Remembers what each paint saw, to tell when a change reached the screen.
class RecordingBar : public CTextProgressCtrl {
public:
    using CTextProgressCtrl::CTextProgressCtrl;
    int paints = 0;
    COLORREF lastBarColor = 0;
    QString lastText;

protected:
    void paintEvent(QPaintEvent* e) override
    {
        ++paints;
        lastBarColor = GetBarColor();
        lastText = DisplayText();
        CTextProgressCtrl::paintEvent(e);
    }
};

// A bar with fixed colours and an aliasing-free font, so glyph pixels carry
// exactly the text colours.
void SetUpForPixels(CTextProgressCtrl& bar, QSize size)
{
    bar.resize(size);
    QFont font = bar.font();
    font.setPixelSize(14);
    font.setStyleStrategy(QFont::NoAntialias);
    bar.setFont(font);
    bar.SetBarColor(kBar);
    bar.SetBkColor(kBk);
    bar.SetTextColor(kText);
    bar.SetTextBarColor(kTextOnBar);
}

QImage Render(CTextProgressCtrl& bar)
{
    QImage image(bar.size(), QImage::Format_ARGB32);
    image.fill(kUntouched);
    bar.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

QColor Color(COLORREF c) { return CTextProgressCtrl::ToQColor(c); }

struct Count {
    int text = 0;
    int textOnBar = 0;
};

// Pixels of each text colour in columns [x0, x1) and rows [y0, y1).
Count CountText(const QImage& image, int x0, int x1, int y0, int y1)
{
    Count n;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c == Color(kText))
                ++n.text;
            else if (c == Color(kTextOnBar))
                ++n.textOnBar;
        }
    }
    return n;
}

} // namespace

class ProgressTest : public QObject {
    Q_OBJECT

private slots:
    void setPosClamps_data();
    void setPosClamps();
    void stepItWrapsRound_data();
    void stepItWrapsRound();
    void rangeMessagesPackBounds();
    void getRangeFillsPairAndPicksBound();
    void deltaPosAndStepReturnOldValues();
    void colourMessages();
    void percentageText_data();
    void percentageText();
    void textMessages();
    void marqueeWalksUpToLimitAndBack();
    void marqueeMessageSetsStyleAndTimer();
    void marqueeLimitFollowsWidth_data();
    void marqueeLimitFollowsWidth();

    void paintsBarBackgroundAndSplitText();
    void paintsVerticalBarFromBottom();
    void paintsMarqueeBlock();
    void paintsFullAndEmptyBar_data();
    void paintsFullAndEmptyBar();
    void emptyRangePaintsNothing();
    void settersShowNewValueAtOnce();
    void dialogParentGivesButtonFace();
};

void ProgressTest::setPosClamps_data()
{
    QTest::addColumn<bool>("marquee");
    QTest::addColumn<int>("pos");
    QTest::addColumn<int>("stored");
    QTest::newRow("inside") << false << 50 << 50;
    QTest::newRow("above max") << false << 150 << 100;
    QTest::newRow("below min") << false << -5 << 0;
    QTest::newRow("marquee past max") << true << 110 << 110;
    QTest::newRow("marquee past limit") << true << 1000 << 120;
    QTest::newRow("marquee below min") << true << -1 << 0;
}

void ProgressTest::setPosClamps()
{
    QFETCH(bool, marquee);
    QFETCH(int, pos);
    QFETCH(int, stored);
    CTextProgressCtrl bar(nullptr, marquee ? PBS_MARQUEE : PBS_SMOOTH);
    bar.WindowProc(PBM_SETPOS, 7, 0);
    // The old position comes back; a negative one travels in wParam's bits.
    QCOMPARE(bar.WindowProc(PBM_SETPOS, WPARAM(std::uint32_t(pos)), 0), LRESULT(7));
    QCOMPARE(bar.WindowProc(PBM_GETPOS, 0, 0), LRESULT(stored));
}

void ProgressTest::stepItWrapsRound_data()
{
    QTest::addColumn<int>("lower");
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("expected");
    QTest::newRow("inside") << 0 << 100 << 50 << 10 << 60;
    QTest::newRow("onto max") << 0 << 100 << 90 << 10 << 100;
    QTest::newRow("past max") << 0 << 100 << 95 << 10 << 5;
    QTest::newRow("past min") << 0 << 100 << 5 << -10 << 95;
    QTest::newRow("offset range") << 10 << 20 << 19 << 5 << 14;
    QTest::newRow("huge step no overflow") << 0 << 100 << 100 << INT_MAX << 100;
}

void ProgressTest::stepItWrapsRound()
{
    QFETCH(int, lower);
    QFETCH(int, upper);
    QFETCH(int, start);
    QFETCH(int, step);
    QFETCH(int, expected);
    CTextProgressCtrl bar;
    bar.SetRange32(lower, upper);
    bar.SetPos(start);
    QCOMPARE(bar.WindowProc(PBM_SETSTEP, WPARAM(std::uint32_t(step)), 0), LRESULT(10));
    QCOMPARE(bar.WindowProc(PBM_STEPIT, 0, 0), LRESULT(start));
    QCOMPARE(bar.GetPos(), expected);
}

void ProgressTest::rangeMessagesPackBounds()
{
    CTextProgressCtrl bar;
    // Starts at 0..100; the old bounds come back as max << 16 | min.
    QCOMPARE(bar.WindowProc(PBM_SETRANGE, 0, LPARAM(0x012C0005)), LRESULT(0x00640000));
    int lo = 0, hi = 0;
    bar.GetRange(lo, hi);
    QCOMPARE(lo, 5);
    QCOMPARE(hi, 300);
    QCOMPARE(bar.WindowProc(PBM_SETRANGE, 0, LPARAM(0x00640000)), LRESULT(0x012C0005));
    // 16-bit bounds are unsigned: 0xFFFF is 65535, not -1.
    bar.WindowProc(PBM_SETRANGE, 0, LPARAM(0xFFFF8000));
    bar.GetRange(lo, hi);
    QCOMPARE(lo, 32768);
    QCOMPARE(hi, 65535);
    // 32-bit bounds are signed and whole; the packed result keeps low halves.
    QCOMPARE(bar.WindowProc(PBM_SETRANGE32, WPARAM(std::uint32_t(-5)), LPARAM(70000)),
             LRESULT(0xFFFF8000));
    bar.GetRange(lo, hi);
    QCOMPARE(lo, -5);
    QCOMPARE(hi, 70000);
    QCOMPARE(bar.WindowProc(PBM_SETRANGE32, 0, 100), LRESULT((70000 & 0xFFFF) << 16 | 0xFFFB));
    // Setting a range does not move the position.
    bar.SetPos(80);
    bar.SetRange32(0, 50);
    QCOMPARE(bar.GetPos(), 80);
}

void ProgressTest::getRangeFillsPairAndPicksBound()
{
    CTextProgressCtrl bar;
    bar.SetRange32(-3, 42);
    PBRANGE range{0, 0};
    QCOMPARE(bar.WindowProc(PBM_GETRANGE, 1, reinterpret_cast<LPARAM>(&range)), LRESULT(-3));
    QCOMPARE(range.iLow, -3);
    QCOMPARE(range.iHigh, 42);
    QCOMPARE(bar.WindowProc(PBM_GETRANGE, 0, 0), LRESULT(42));
}

void ProgressTest::deltaPosAndStepReturnOldValues()
{
    CTextProgressCtrl bar;
    bar.SetPos(40);
    QCOMPARE(bar.WindowProc(PBM_DELTAPOS, WPARAM(std::uint32_t(-15)), 0), LRESULT(40));
    QCOMPARE(bar.GetPos(), 25);
    QCOMPARE(bar.WindowProc(PBM_DELTAPOS, 500, 0), LRESULT(25));
    QCOMPARE(bar.GetPos(), 100);
    QCOMPARE(bar.WindowProc(PBM_SETSTEP, 3, 0), LRESULT(10));
    QCOMPARE(bar.WindowProc(PBM_SETSTEP, 4, 0), LRESULT(3));
}

void ProgressTest::colourMessages()
{
    CTextProgressCtrl bar;
    const QPalette pal = bar.palette();
    auto sys = [&](QPalette::ColorRole role) {
        return LRESULT(CTextProgressCtrl::FromQColor(pal.color(QPalette::Active, role)));
    };
    // Unset colours are the palette's at each use.
    QCOMPARE(bar.WindowProc(TPCM_GETBARCOLOR, 0, 0), sys(QPalette::Highlight));
    QCOMPARE(bar.WindowProc(TPCM_GETBKCOLOR, 0, 0), sys(QPalette::Button));
    QCOMPARE(bar.WindowProc(TPCM_GETTEXTCOLOR, 0, 0), sys(QPalette::WindowText));
    QCOMPARE(bar.WindowProc(TPCM_GETTEXTBARCOLOR, 0, 0), sys(QPalette::HighlightedText));

    struct Row {
        std::uint32_t set;
        std::uint32_t get;
    };
    const Row rows[] = {{PBM_SETBARCOLOR, TPCM_GETBARCOLOR},
                        {PBM_SETBKCOLOR, TPCM_GETBKCOLOR},
                        {TPCM_SETTEXTCOLOR, TPCM_GETTEXTCOLOR},
                        {TPCM_SETTEXTBARCOLOR, TPCM_GETTEXTBARCOLOR}};
    for (const Row& row : rows) {
        // A setter returns the stored value, CLR_DEFAULT before any set.
        QCOMPARE(bar.WindowProc(row.set, 0, LPARAM(RGB(1, 2, 3))), LRESULT(CLR_DEFAULT));
        QCOMPARE(bar.WindowProc(row.get, 0, 0), LRESULT(RGB(1, 2, 3)));
        QCOMPARE(bar.WindowProc(row.set, 0, LPARAM(CLR_DEFAULT)), LRESULT(RGB(1, 2, 3)));
    }
    // Back to the default: the palette again, including a changed palette.
    QPalette changed = pal;
    changed.setColor(QPalette::Active, QPalette::Highlight, QColor(10, 20, 30));
    bar.setPalette(changed);
    QCOMPARE(bar.WindowProc(TPCM_GETBARCOLOR, 0, 0), LRESULT(RGB(10, 20, 30)));
}

void ProgressTest::percentageText_data()
{
    QTest::addColumn<int>("lower");
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("pos");
    QTest::addColumn<QString>("text");
    QTest::newRow("quarter") << 0 << 100 << 25 << QStringLiteral("25.0000000000%");
    QTest::newRow("start") << 0 << 100 << 0 << QStringLiteral("0.0000000000%");
    QTest::newRow("full") << 0 << 100 << 100 << QStringLiteral("100.0000000000%");
    QTest::newRow("third") << 0 << 3 << 1 << QStringLiteral("33.3333333333%");
    QTest::newRow("offset range") << 100 << 200 << 150 << QStringLiteral("50.0000000000%");
}

void ProgressTest::percentageText()
{
    QFETCH(int, lower);
    QFETCH(int, upper);
    QFETCH(int, pos);
    QFETCH(QString, text);
    CTextProgressCtrl bar;
    bar.SetWindowText(QStringLiteral("1M/2M"));
    bar.SetRange32(lower, upper);
    bar.SetPos(pos);
    QCOMPARE(bar.WindowProc(TPCM_SHOWPERCENT, 1, 0), LRESULT(0));
    QCOMPARE(bar.DisplayText(), text);
    QCOMPARE(bar.WindowProc(TPCM_SHOWPERCENT, 0, 0), LRESULT(1));
    QCOMPARE(bar.DisplayText(), QStringLiteral("1M/2M"));
}

void ProgressTest::textMessages()
{
    CTextProgressCtrl bar;
    const char16_t text[] = u"8M/16M";
    QCOMPARE(bar.WindowProc(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)), LRESULT(1));
    QCOMPARE(bar.GetWindowText(), QStringLiteral("8M/16M"));
    QCOMPARE(bar.WindowProc(WM_GETTEXTLENGTH, 0, 0), LRESULT(6));
    char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
    // A short buffer gets what fits and its NUL.
    QCOMPARE(bar.WindowProc(WM_GETTEXT, 4, reinterpret_cast<LPARAM>(buffer)), LRESULT(3));
    QCOMPARE(QString::fromUtf16(buffer), QStringLiteral("8M/"));
    QCOMPARE(bar.WindowProc(TPCM_SETTEXTALIGN, 2, 0), LRESULT(1));
    QCOMPARE(bar.WindowProc(TPCM_SETTEXTALIGN, 0, 0), LRESULT(2));
}

void ProgressTest::marqueeWalksUpToLimitAndBack()
{
    CTextProgressCtrl bar;
    bar.WindowProc(PBM_SETMARQUEE, 1, 1000);
    bar.WindowProc(TPCM_SETMARQUEEWIDTH, 20, 0);
    bar.SetPos(0);
    std::vector<int> seen;
    for (int tick = 0; tick < 2 * 120 + 2; ++tick) {
        bar.WindowProc(WM_TIMER, kMarqueeTimerId, 0);
        seen.push_back(bar.GetPos());
    }
    // 1 .. 120, then 119 .. 0, then up again.
    std::vector<int> expected;
    for (int p = 1; p <= 120; ++p)
        expected.push_back(p);
    for (int p = 119; p >= 0; --p)
        expected.push_back(p);
    expected.push_back(1);
    expected.push_back(2);
    QCOMPARE(seen, expected);

    // Other timers do not move the block.
    bar.WindowProc(WM_TIMER, 2, 0);
    QCOMPARE(bar.GetPos(), 2);
    bar.WindowProc(PBM_SETMARQUEE, 0, 0);
}

void ProgressTest::marqueeMessageSetsStyleAndTimer()
{
    CTextProgressCtrl bar;
    bar.SetShowPercent(1);
    QCOMPARE(bar.WindowProc(PBM_SETMARQUEE, 1, 30), LRESULT(1));
    QVERIFY(bar.GetStyle() & PBS_MARQUEE);
    QVERIFY(bar.MarqueeRunning());
    // The marquee shows the window text, never a percentage.
    QCOMPARE(bar.SetShowPercent(0), 0);
    // The timer really walks the position.
    QTRY_VERIFY_WITH_TIMEOUT(bar.GetPos() >= 3, 5000);
    QCOMPARE(bar.WindowProc(PBM_SETMARQUEE, 0, 0), LRESULT(0));
    QVERIFY(!(bar.GetStyle() & PBS_MARQUEE));
    QVERIFY(!bar.MarqueeRunning());
    const int stopped = bar.GetPos();
    QTest::qWait(100);
    QCOMPARE(bar.GetPos(), stopped);
}

void ProgressTest::marqueeLimitFollowsWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("limit");
    QTest::newRow("default") << 20 << 100 << 120;
    QTest::newRow("no block") << 0 << 100 << 100;
    QTest::newRow("small range") << 25 << 2 << 2;
    QTest::newRow("truncates") << 33 << 10 << 13;
    QTest::newRow("huge stays int") << 100 << INT_MAX << INT_MAX;
}

void ProgressTest::marqueeLimitFollowsWidth()
{
    QFETCH(int, width);
    QFETCH(int, upper);
    QFETCH(int, limit);
    CTextProgressCtrl bar(nullptr, PBS_MARQUEE);
    QCOMPARE(bar.WindowProc(TPCM_SETMARQUEEWIDTH, WPARAM(width), 0), LRESULT(width));
    bar.SetRange32(0, upper);
    QCOMPARE(bar.MarqueeUpper(), limit);
    bar.SetPos(INT_MAX);
    QCOMPARE(bar.GetPos(), limit);
}

void ProgressTest::paintsBarBackgroundAndSplitText()
{
    CTextProgressCtrl bar;
    SetUpForPixels(bar, QSize(200, 40));
    bar.SetPos(50);
    bar.SetWindowText(QStringLiteral("8M/16M"));
    const QImage image = Render(bar);

    // Interior: 2 pixels of sunken edge on every side; the bar ends at
    // 2 + 196 * 0.5.
    const int edge = 2 + 98;
    const QRgb shadow = bar.palette().color(QPalette::Active, QPalette::Dark).rgb();
    QCOMPARE(image.pixelColor(0, 0).rgb(), shadow);
    QCOMPARE(image.pixelColor(2, 3), Color(kBar));
    QCOMPARE(image.pixelColor(edge - 1, 3), Color(kBar));
    QCOMPARE(image.pixelColor(edge, 3), Color(kBk));
    QCOMPARE(image.pixelColor(197, 36), Color(kBk));
    QCOMPARE(image.pixelColor(199, 39).rgb(), shadow);

    // The centred text crosses the edge: over the bar only the on-bar
    // colour, over the background only the text colour.
    const Count left = CountText(image, 2, edge, 2, 38);
    const Count right = CountText(image, edge, 198, 2, 38);
    QVERIFY(left.textOnBar > 0);
    QCOMPARE(left.text, 0);
    QVERIFY(right.text > 0);
    QCOMPARE(right.textOnBar, 0);
    // Centred: about as much text on either side.
    QVERIFY(qAbs(left.textOnBar - right.text) * 3 < left.textOnBar + right.text);
}

void ProgressTest::paintsVerticalBarFromBottom()
{
    CTextProgressCtrl bar(nullptr, PBS_SMOOTH | PBS_VERTICAL);
    SetUpForPixels(bar, QSize(40, 200));
    bar.SetPos(50);
    bar.SetWindowText(QStringLiteral("8M/16M"));
    const QImage image = Render(bar);
    const int edge = 198 - 98; // bar top: interior bottom minus half its height
    QCOMPARE(image.pixelColor(3, 197), Color(kBar));
    QCOMPARE(image.pixelColor(3, edge), Color(kBar));
    QCOMPARE(image.pixelColor(3, edge - 1), Color(kBk));
    QCOMPARE(image.pixelColor(3, 2), Color(kBk));
    const Count below = CountText(image, 2, 38, edge, 198);
    const Count above = CountText(image, 2, 38, 2, edge);
    QVERIFY(below.textOnBar > 0);
    QCOMPARE(below.text, 0);
    QVERIFY(above.text > 0);
    QCOMPARE(above.textOnBar, 0);
    // Turned text is taller than wide.
    int top = 200, bottom = -1, leftmost = 40, rightmost = -1;
    for (int y = 0; y < 200; ++y) {
        for (int x = 0; x < 40; ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c == Color(kText) || c == Color(kTextOnBar)) {
                top = qMin(top, y);
                bottom = qMax(bottom, y);
                leftmost = qMin(leftmost, x);
                rightmost = qMax(rightmost, x);
            }
        }
    }
    QVERIFY(bottom - top > 2 * (rightmost - leftmost));
}

void ProgressTest::paintsMarqueeBlock()
{
    CTextProgressCtrl bar(nullptr, PBS_MARQUEE);
    SetUpForPixels(bar, QSize(200, 20));
    bar.SetPos(60);
    const QImage image = Render(bar);
    // Block of L = (196 * 20 + 50) / 100 = 39 ending at 2 + trunc(196 * 0.6).
    const int right = 2 + 117;
    const int left = right - 39;
    QCOMPARE(image.pixelColor(2, 10), Color(kBk));
    QCOMPARE(image.pixelColor(left - 1, 10), Color(kBk));
    QCOMPARE(image.pixelColor(left, 10), Color(kBar));
    QCOMPARE(image.pixelColor(right - 1, 10), Color(kBar));
    QCOMPARE(image.pixelColor(right, 10), Color(kBk));

    // Sliding out at the end: only the tail is left at the right edge.
    bar.SetPos(115);
    const QImage leaving = Render(bar);
    QCOMPARE(leaving.pixelColor(197, 10), Color(kBar));
    const int tail = 2 + int(196 * 1.15) - 39;
    QCOMPARE(leaving.pixelColor(tail - 1, 10), Color(kBk));
    QCOMPARE(leaving.pixelColor(tail, 10), Color(kBar));
}

void ProgressTest::paintsFullAndEmptyBar_data()
{
    QTest::addColumn<int>("pos");
    QTest::addColumn<QColor>("interior");
    QTest::newRow("beyond max fills") << 150 << Color(kBar);
    QTest::newRow("below min is empty") << -5 << Color(kBk);
}

void ProgressTest::paintsFullAndEmptyBar()
{
    QFETCH(int, pos);
    QFETCH(QColor, interior);
    CTextProgressCtrl bar;
    SetUpForPixels(bar, QSize(100, 20));
    bar.SetPos(pos);
    const QImage image = Render(bar);
    for (int x = 2; x < 98; ++x) {
        for (int y = 2; y < 18; ++y) {
            if (image.pixelColor(x, y) != interior)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }
    }
}

void ProgressTest::emptyRangePaintsNothing()
{
    RecordingBar bar;
    SetUpForPixels(bar, QSize(120, 20));
    bar.SetWindowText(QStringLiteral("0M/0M"));
    bar.SetRange32(0, 0);
    const QImage image = Render(bar);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            QCOMPARE(image.pixelColor(x, y), kUntouched);

    // On screen the paint ends like any other: nothing stays pending.
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    bar.repaint();
    const int paints = bar.paints;
    QVERIFY(paints > 0);
    QTest::qWait(100);
    QCOMPARE(bar.paints, paints);
}

void ProgressTest::settersShowNewValueAtOnce()
{
    RecordingBar bar;
    bar.resize(120, 20);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    bar.SetBarColor(RGB(9, 8, 7));
    QCOMPARE(bar.lastBarColor, RGB(9, 8, 7));
    bar.SetWindowText(QStringLiteral("16M/32M"));
    QCOMPARE(bar.lastText, QStringLiteral("16M/32M"));
    int paints = bar.paints;
    bar.SetPos(5);
    QVERIFY(bar.paints > paints);
    paints = bar.paints;
    bar.SetShowPercent(1);
    QVERIFY(bar.paints > paints);
    QCOMPARE(bar.lastText, QStringLiteral("5.0000000000%"));
}

void ProgressTest::dialogParentGivesButtonFace()
{
    QImage target(10, 10, QImage::Format_ARGB32);
    QPainter painter(&target);
    painter.setBackground(QColor(1, 2, 3));

    QDialog dialog;
    QPalette pal = dialog.palette();
    pal.setColor(QPalette::Active, QPalette::Button, QColor(200, 100, 50));
    dialog.setPalette(pal);
    QWidget inner(&dialog);
    CTextProgressCtrl inDialog(&inner);
    QCOMPARE(CDirMemDC::BackgroundFor(painter, &inDialog), QColor(200, 100, 50));

    QWidget plain;
    CTextProgressCtrl inPlain(&plain);
    QCOMPARE(CDirMemDC::BackgroundFor(painter, &inPlain), QColor(1, 2, 3));
    inPlain.setAutoFillBackground(true);
    QCOMPARE(CDirMemDC::BackgroundFor(painter, &inPlain),
             inPlain.palette().color(QPalette::Active, inPlain.backgroundRole()));
}

QTEST_MAIN(ProgressTest)
#include "ui_progress_test.moc"
