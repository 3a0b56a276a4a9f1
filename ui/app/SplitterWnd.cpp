#include "ui/app/SplitterWnd.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>

#include <algorithm>

namespace corvane::ui {

CSplitterWnd::CSplitterWnd(QWidget* parent) : QSplitter(Qt::Horizontal, parent)
{
    setObjectName(QStringLiteral("m_wndSplitter"));
    setChildrenCollapsible(false);
    setFocusPolicy(Qt::NoFocus);
}

QWidget* CSplitterWnd::GetPane(int row, int col) const
{
    if (row != 0 || col < 0 || col >= count())
        return nullptr;
    return widget(col);
}

int CSplitterWnd::ActivePaneIndex() const
{
    const QWidget* focus = QApplication::focusWidget();
    for (int i = 0; i < count(); ++i) {
        if (focus && (widget(i) == focus || widget(i)->isAncestorOf(focus)))
            return i;
    }
    return -1;
}

bool CSplitterWnd::CanActivateNext() const { return count() > 1 && !m_tracking; }

void CSplitterWnd::ActivateNext(bool previous)
{
    if (!CanActivateNext())
        return;
    const int n = count();
    int current = ActivePaneIndex();
    if (current < 0)
        current = previous ? 0 : n - 1;
    const int next = (current + (previous ? n - 1 : 1)) % n;
    widget(next)->setFocus(previous ? Qt::BacktabFocusReason : Qt::TabFocusReason);
}

void CSplitterWnd::DoKeyboardSplit()
{
    if (m_tracking || count() < 2)
        return;
    m_tracking = true;
    m_sizesBefore = sizes();
    m_focusBefore = QApplication::focusWidget();
    setCursor(Qt::SplitHCursor);
    setFocusPolicy(Qt::StrongFocus);
    setFocus(Qt::OtherFocusReason);
    grabKeyboard();
}

void CSplitterWnd::EndTracking(bool keep)
{
    if (!m_tracking)
        return;
    m_tracking = false;
    releaseKeyboard();
    unsetCursor();
    if (!keep)
        setSizes(m_sizesBefore);
    setFocusPolicy(Qt::NoFocus);
    if (m_focusBefore)
        m_focusBefore->setFocus(Qt::OtherFocusReason);
    m_focusBefore = nullptr;
}

void CSplitterWnd::keyPressEvent(QKeyEvent* e)
{
    if (!m_tracking) {
        QSplitter::keyPressEvent(e);
        return;
    }
    switch (e->key()) {
    case Qt::Key_Left:
    case Qt::Key_Right: {
        QList<int> s = sizes();
        const int step = (e->key() == Qt::Key_Left ? -kKeyStep : kKeyStep);
        const int moved = std::clamp(step, -(s[0] - 1), s[1] - 1);
        s[0] += moved;
        s[1] -= moved;
        setSizes(s);
        break;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
        EndTracking(true);
        break;
    case Qt::Key_Escape:
        EndTracking(false);
        break;
    default:
        break;
    }
    e->accept();
}

void CSplitterWnd::focusOutEvent(QFocusEvent* e)
{
    // Losing the focus (another window, a click elsewhere) keeps the place.
    EndTracking(true);
    QSplitter::focusOutEvent(e);
}

} // namespace corvane::ui
