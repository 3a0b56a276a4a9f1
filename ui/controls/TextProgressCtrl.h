// A progress bar that paints itself and writes a text across the bar: its
// own window text, or the percentage reached. Where the text crosses the
// bar's edge, each part takes the colour that suits what lies beneath it.
//
// Everything the control does is reachable through WindowProc with the
// progress-bar message numbers below (and through CWindowMessage events of
// those numbers, so a worker can use SendWindowMessage); the typed members
// do the same for callers in C++. Both belong to the user-interface thread.
#pragma once

#include "ui/common/MessageTypes.h"

#include <QBasicTimer>
#include <QFont>
#include <QString>
#include <QWidget>

#include <cstdint>

QT_BEGIN_NAMESPACE
class QPainter;
QT_END_NAMESPACE

namespace corvane::ui {

// Window messages the control answers.
inline constexpr std::uint32_t WM_SETTEXT = 12;
inline constexpr std::uint32_t WM_GETTEXT = 13;
inline constexpr std::uint32_t WM_GETTEXTLENGTH = 14;
inline constexpr std::uint32_t WM_PAINT = 15;
inline constexpr std::uint32_t WM_ERASEBKGND = 20;
inline constexpr std::uint32_t WM_TIMER = 275;
inline constexpr std::uint32_t PBM_SETRANGE = 1025;
inline constexpr std::uint32_t PBM_SETPOS = 1026;
inline constexpr std::uint32_t PBM_DELTAPOS = 1027;
inline constexpr std::uint32_t PBM_SETSTEP = 1028;
inline constexpr std::uint32_t PBM_STEPIT = 1029;
inline constexpr std::uint32_t PBM_SETRANGE32 = 1030;
inline constexpr std::uint32_t PBM_GETRANGE = 1031;
inline constexpr std::uint32_t PBM_GETPOS = 1032;
inline constexpr std::uint32_t PBM_SETBARCOLOR = 1033;
inline constexpr std::uint32_t PBM_SETMARQUEE = 1034;
inline constexpr std::uint32_t PBM_SETBKCOLOR = 8193;
inline constexpr std::uint32_t TPCM_GETBARCOLOR = 1124;
inline constexpr std::uint32_t TPCM_GETBKCOLOR = 1125;
inline constexpr std::uint32_t TPCM_SETTEXTCOLOR = 1126;
inline constexpr std::uint32_t TPCM_GETTEXTCOLOR = 1127;
inline constexpr std::uint32_t TPCM_SETTEXTBARCOLOR = 1128;
inline constexpr std::uint32_t TPCM_GETTEXTBARCOLOR = 1129;
inline constexpr std::uint32_t TPCM_SHOWPERCENT = 1130;
inline constexpr std::uint32_t TPCM_SETTEXTALIGN = 1131;
inline constexpr std::uint32_t TPCM_SETMARQUEEWIDTH = 1132;

// Styles.
inline constexpr std::uint32_t PBS_SMOOTH = 0x01;
inline constexpr std::uint32_t PBS_VERTICAL = 0x04;
inline constexpr std::uint32_t PBS_MARQUEE = 0x08;

// Text placement (TPCM_SETTEXTALIGN): any other value centres the text.
inline constexpr int TPC_ALIGN_START = 0;
inline constexpr int TPC_ALIGN_CENTER = 1;
inline constexpr int TPC_ALIGN_END = 2;

// The only timer of the control: the marquee step.
inline constexpr WPARAM kMarqueeTimerId = 1;

// What PBM_GETRANGE fills in when lParam points at one.
struct PBRANGE {
    int iLow;
    int iHigh;
};

class CTextProgressCtrl : public QWidget {
    Q_OBJECT

public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr, std::uint32_t style = PBS_SMOOTH);
    ~CTextProgressCtrl() override;

    // The message entry point: message numbers, parameters and results as
    // listed above. Unknown messages return 0.
    LRESULT WindowProc(std::uint32_t message, WPARAM wParam, LPARAM lParam);

    std::uint32_t GetStyle() const { return m_dwStyle; }
    void ModifyStyle(std::uint32_t remove, std::uint32_t add);

    // The text drawn across the bar unless the percentage is shown.
    void SetWindowText(const QString& text);
    QString GetWindowText() const { return m_strText; }

    // Range: the 16-bit form takes both bounds as unsigned 16-bit values;
    // both return the old bounds packed as old max << 16 | old min (low 16
    // bits of each). Neither clamps the position.
    std::uint32_t SetRange(std::uint16_t lower, std::uint16_t upper);
    std::uint32_t SetRange32(int lower, int upper);
    void GetRange(int& lower, int& upper) const;
    // Position, clamped to [lower, upper] (upper is MarqueeUpper() in
    // marquee style). Each returns the old position and repaints at once.
    int SetPos(int pos);
    int OffsetPos(int delta);
    int SetStep(int step);
    // Moves by the step; past either end it wraps round by the overshoot.
    int StepIt();
    int GetPos() const { return m_nPos; }

    // Colours are 0x00BBGGRR or CLR_DEFAULT (the palette's colour at each
    // use). Setters return the old stored value, getters the effective one.
    COLORREF SetBarColor(COLORREF color);
    COLORREF SetBkColor(COLORREF color);
    COLORREF SetTextColor(COLORREF color);
    COLORREF SetTextBarColor(COLORREF color);
    COLORREF GetBarColor() const;
    COLORREF GetBkColor() const;
    COLORREF GetTextColor() const;
    COLORREF GetTextBarColor() const;

    // Non-zero: draw the percentage instead of the window text. Returns the
    // old flag.
    int SetShowPercent(int show);
    // TPC_ALIGN_*; returns the old placement.
    int SetTextAlign(int align);
    // Starts (interval in milliseconds) or stops the marquee; returns on.
    bool SetMarquee(bool on, int intervalMs);
    // Length of the marquee block in percent of the bar; returns the new one.
    int SetMarqueeWidth(int percent);

    // The highest position in marquee style: the block slides fully out.
    int MarqueeUpper() const;
    // The text a paint would draw now.
    QString DisplayText() const;
    bool MarqueeRunning() const { return m_marqueeTimer.isActive(); }

    // Direction of the marquee walk, shared by every instance: +1 or -1.
    static int s_nMarqueeDir;

    static QColor ToQColor(COLORREF color);
    static COLORREF FromQColor(const QColor& color);

    QSize sizeHint() const override;

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void timerEvent(QTimerEvent* e) override;

    // The marquee step for timer kMarqueeTimerId; other ids are ignored.
    void OnTimer(WPARAM id);

private:
    // Draws the whole control into p (the off-screen surface).
    void Draw(QPainter& p);
    COLORREF Effective(COLORREF stored, int role) const;
    void RepaintNow();

    int m_bShowPercent = 0;
    QFont m_fontVertical;
    bool m_bVerticalFontMade = false;
    COLORREF m_crBar = CLR_DEFAULT;
    COLORREF m_crBk = CLR_DEFAULT;
    COLORREF m_crText = CLR_DEFAULT;
    COLORREF m_crTextOnBar = CLR_DEFAULT;
    int m_nTextAlign = TPC_ALIGN_CENTER;
    int m_nPos = 0;
    int m_nStep = 10;
    int m_nMin = 0;
    int m_nMax = 100;
    int m_nMarqueeWidth = 20;

    std::uint32_t m_dwStyle;
    QString m_strText;
    QBasicTimer m_marqueeTimer; // stands for timer kMarqueeTimerId
};

} // namespace corvane::ui
