// The main window's static splitter: a fixed number of panes side by side.
// Besides dragging, the bar can be moved from the keyboard (the split
// command): arrow keys move it, Enter keeps the place, Escape puts it back.
#pragma once

#include <QList>
#include <QSplitter>

namespace corvane::ui {

class CSplitterWnd : public QSplitter {
    Q_OBJECT

public:
    explicit CSplitterWnd(QWidget* parent = nullptr);

    QWidget* GetPane(int row, int col) const;
    // Index of the pane holding the focus, or -1.
    int ActivePaneIndex() const;
    // Moves the focus to the next (or previous) pane, round the end.
    bool CanActivateNext() const;
    void ActivateNext(bool previous);

    // Keyboard tracking of the first bar.
    void DoKeyboardSplit();
    bool IsTracking() const { return m_tracking; }
    // Pixels one arrow key moves the bar.
    static constexpr int kKeyStep = 8;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    void EndTracking(bool keep);

    bool m_tracking = false;
    QList<int> m_sizesBefore;
    QWidget* m_focusBefore = nullptr;
};

} // namespace corvane::ui
