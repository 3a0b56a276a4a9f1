#include "ui/common/WindowMessages.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <condition_variable>

namespace corvane::ui {

CWindowHandle g_hMainFrame;
CWindowHandle g_hLeftView;
CWindowHandle g_hLunView;

QEvent::Type LunContentMessage()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

namespace detail {

// What a blocked sender waits for. Its own mutex is the only lock taken on
// the receiving side, and never while a handle's mutex is wanted, so the
// lock order is always handle -> state (or the event system's own lock,
// which it releases before it deletes an event).
struct SendState {
    std::mutex mutex;
    std::condition_variable cv;
    bool handling = false;  // a handler has the message (sender must stay)
    bool finished = false;  // the message was destroyed (handled or dropped)
    bool delivered = false; // a handler received it
    bool released = false;  // the sender was let go before any handler got it
    LRESULT result = 0;

    // The sender may go: the message is gone, or it was released while no
    // handler held it.
    bool SenderMayLeave() const { return finished || (released && !handling); }
};

} // namespace detail

CWindowMessage::CWindowMessage(QEvent::Type type, WPARAM wParam, LPARAM lParam)
    : QEvent(type), m_wParam(wParam), m_lParam(lParam)
{
}

CWindowMessage::~CWindowMessage()
{
    // Delivered or dropped, the sender must not wait any longer; the event
    // system deletes every posted event it does not deliver, so a sender is
    // always released here at the latest.
    if (m_state) {
        std::lock_guard lock(m_state->mutex);
        m_state->result = m_result;
        m_state->finished = true;
        m_state->cv.notify_all();
    }
}

CWindowMessage* CWindowMessage::Receive(QEvent* e, QEvent::Type type)
{
    if (!e || e->type() != type)
        return nullptr;
    auto* msg = dynamic_cast<CWindowMessage*>(e);
    if (!msg)
        return nullptr;
    if (msg->m_state) {
        std::lock_guard lock(msg->m_state->mutex);
        // A released sender may already have left: its parameters are gone.
        if (msg->m_state->released)
            return nullptr;
        msg->m_state->handling = true;
        msg->m_state->delivered = true;
    }
    return msg;
}

CWindowHandle::~CWindowHandle()
{
    std::unique_lock lock(m_mutex);
    DetachLocked(lock);
}

void CWindowHandle::Attach(QObject* window)
{
    std::unique_lock lock(m_mutex);
    if (m_window == window)
        return;
    DetachLocked(lock);
    m_window = window;
    if (window) {
        // Emitted on the window's thread as its destruction begins; from
        // then on no new message can be posted to it.
        m_destroyed = QObject::connect(window, &QObject::destroyed,
                                       [this, window] { DetachIf(window); });
    }
}

void CWindowHandle::Detach()
{
    std::unique_lock lock(m_mutex);
    DetachLocked(lock);
}

void CWindowHandle::DetachIf(const QObject* window)
{
    std::unique_lock lock(m_mutex);
    if (m_window == window)
        DetachLocked(lock);
}

void CWindowHandle::DetachLocked(std::unique_lock<std::mutex>&)
{
    if (m_destroyed)
        QObject::disconnect(m_destroyed);
    m_destroyed = {};
    m_window = nullptr;
    for (auto& state : m_pending) {
        std::lock_guard stateLock(state->mutex);
        state->released = true;
        state->cv.notify_all();
    }
    m_pending.clear();
}

bool CWindowHandle::IsWindow() const
{
    std::lock_guard lock(m_mutex);
    return m_window != nullptr;
}

QObject* CWindowHandle::Window() const
{
    std::lock_guard lock(m_mutex);
    return m_window;
}

LRESULT SendWindowMessageImpl(CWindowHandle& window, QEvent::Type type, WPARAM wParam,
                              LPARAM lParam, bool* delivered)
{
    if (delivered)
        *delivered = false;
    std::unique_lock handleLock(window.m_mutex);
    QObject* target = window.m_window;
    if (!target)
        return 0;

    if (target->thread() == QThread::currentThread()) {
        // Only this thread can destroy the window, and it is busy here.
        handleLock.unlock();
        CWindowMessage msg(type, wParam, lParam);
        const bool handled = QCoreApplication::sendEvent(target, &msg);
        if (delivered)
            *delivered = handled;
        return msg.Result();
    }

    auto state = std::make_shared<detail::SendState>();
    auto* msg = new CWindowMessage(type, wParam, lParam);
    msg->m_state = state;
    window.m_pending.push_back(state);
    // Posted under the handle's lock: the window cannot finish being
    // destroyed meanwhile, since its destruction detaches this handle first.
    QCoreApplication::postEvent(target, msg);
    handleLock.unlock();

    LRESULT result = 0;
    bool gotThrough = false;
    {
        std::unique_lock lock(state->mutex);
        state->cv.wait(lock, [&] { return state->SenderMayLeave(); });
        result = state->finished ? state->result : 0;
        gotThrough = state->delivered && state->finished;
    }

    handleLock.lock();
    auto& pending = window.m_pending;
    pending.erase(std::remove(pending.begin(), pending.end(), state), pending.end());
    handleLock.unlock();

    if (delivered)
        *delivered = gotThrough;
    return gotThrough ? result : 0;
}

LRESULT SendExportProgress(std::uint32_t total, std::uint32_t done)
{
    // The receiver reads both through the pointers while this thread waits.
    const auto totalValue = std::int32_t(total);
    const auto doneValue = std::int32_t(done);
    return SendWindowMessage(g_hMainFrame, WM_EXPORT_PROGRESS,
                             reinterpret_cast<WPARAM>(&totalValue),
                             reinterpret_cast<LPARAM>(&doneValue));
}

} // namespace corvane::ui
