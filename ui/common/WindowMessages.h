// The program's own window messages and the synchronous send that carries
// them from worker threads to windows.
//
// A message is an event of a fixed type number sent to a window through a
// process-wide handle. SendWindowMessage returns only after the window's
// handler has returned, so a sender may point the parameters at its own
// stack. On the window's own thread the handler runs at once; from any other
// thread the message is posted and the sender blocks until the handler is
// done.
//
// Why a sender can never hang:
//  - A handle is cleared (and every sender still waiting on it released)
//    when its window is destroyed, or when the user-interface thread calls
//    Detach(). A send through a cleared handle returns 0 at once.
//  - A posted message that is never delivered (its window goes away first,
//    or the application ends) is deleted by the event system, and deleting
//    it releases its sender.
//  - The user-interface thread never blocks waiting for a worker that may be
//    sending: either it keeps its event loop running while it waits (modal
//    loops and QEventLoop both deliver posted messages), or it Detach()es the
//    handles the worker sends through before it waits, which releases the
//    worker at once.
// A released sender gets 0 and delivered == false; its parameters are then
// never touched by any handler: a receiver only sees a message through
// CWindowMessage::Receive, which refuses one whose sender has been released.
#pragma once

#include "ui/common/MessageTypes.h"

#include <QEvent>
#include <QtGlobal>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

QT_BEGIN_NAMESPACE
class QObject;
QT_END_NAMESPACE

namespace corvane::ui {

// Source selection dialog -> source tree. wParam 0, lParam: const char16_t*,
// the source's NUL-terminated name, valid during the call. Result 0.
inline constexpr QEvent::Type WM_ADD_SOURCE = QEvent::Type(2048);
// Analysis worker -> LUN list. wParam 0, lParam: EvaContext*. Result 0.
inline constexpr QEvent::Type WM_SHOW_LUNS = QEvent::Type(2049);
// Export thread -> main frame. wParam: const int32_t* total stripe records,
// lParam: const int32_t* stripe records done. Result 0.
inline constexpr QEvent::Type WM_EXPORT_PROGRESS = QEvent::Type(2051);
// Analysis worker -> LUN list, after WM_SHOW_LUNS, once per LUN: what it
// holds. wParam: LunEntry*, lParam: const LunContent*, valid during the
// call. Result 0.
QEvent::Type LunContentMessage();

namespace detail {
struct SendState;
}

// One message in flight. Receivers get it in their event() through Receive.
class CWindowMessage : public QEvent {
public:
    CWindowMessage(QEvent::Type type, WPARAM wParam, LPARAM lParam);
    ~CWindowMessage() override;
    CWindowMessage(const CWindowMessage&) = delete;
    CWindowMessage& operator=(const CWindowMessage&) = delete;

    WPARAM wParam() const { return m_wParam; }
    LPARAM lParam() const { return m_lParam; }
    void SetResult(LRESULT result) { m_result = result; }
    LRESULT Result() const { return m_result; }

    // In a window's event(): the message when e is a message of this type
    // whose sender still waits for it, else nullptr. From this call until
    // the message is destroyed the sender stays blocked, so the parameters
    // stay valid for the whole handler.
    static CWindowMessage* Receive(QEvent* e, QEvent::Type type);

private:
    friend LRESULT SendWindowMessageImpl(class CWindowHandle&, QEvent::Type, WPARAM, LPARAM,
                                         bool*);
    WPARAM m_wParam;
    LPARAM m_lParam;
    LRESULT m_result = 0;
    std::shared_ptr<detail::SendState> m_state; // null for a send on the window's thread
};

// A process-wide, thread-safe reference to one window. It never dangles: it
// reads as empty from the moment its window starts being destroyed.
class CWindowHandle {
public:
    CWindowHandle() = default;
    ~CWindowHandle();
    CWindowHandle(const CWindowHandle&) = delete;
    CWindowHandle& operator=(const CWindowHandle&) = delete;

    // On the window's thread. Replaces (and detaches) any earlier window.
    void Attach(QObject* window);
    // On the window's thread. Clears the handle and releases every sender
    // still waiting on it (they return 0, delivered == false).
    void Detach();
    // Detach only when the handle still refers to window.
    void DetachIf(const QObject* window);

    bool IsWindow() const;
    // The window, for the window's own thread only (another thread could see
    // it destroyed right after the call).
    QObject* Window() const;

private:
    friend LRESULT SendWindowMessageImpl(CWindowHandle&, QEvent::Type, WPARAM, LPARAM, bool*);
    void DetachLocked(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_mutex;
    QObject* m_window = nullptr;
    QMetaObject::Connection m_destroyed;
    std::vector<std::shared_ptr<detail::SendState>> m_pending; // senders blocked on m_window
};

// The receivers of the three messages: main frame (WM_EXPORT_PROGRESS),
// source tree (WM_ADD_SOURCE), LUN list (WM_SHOW_LUNS).
extern CWindowHandle g_hMainFrame;
extern CWindowHandle g_hLeftView;
extern CWindowHandle g_hLunView;

// Sends a message and returns the handler's result. 0 with *delivered ==
// false when the handle is empty or the window went away before handling
// it. Safe from any thread.
LRESULT SendWindowMessageImpl(CWindowHandle& window, QEvent::Type type, WPARAM wParam,
                              LPARAM lParam, bool* delivered);
inline LRESULT SendWindowMessage(CWindowHandle& window, QEvent::Type type, WPARAM wParam,
                                 LPARAM lParam, bool* delivered = nullptr)
{
    return SendWindowMessageImpl(window, type, wParam, lParam, delivered);
}

// Export progress for the main frame's bar, from the export thread: total
// stripe records of the export and the records done so far. Blocks until the
// bar shows it. An export reports done == 0 before its first record (the
// frame takes the range from that message, so every export sets its own
// range), then before every further record, and once more when it has ended
// successfully with done == total (SendExportFinished), so the bar ends full
// and its text names the whole amount.
LRESULT SendExportProgress(std::uint32_t total, std::uint32_t done);
inline LRESULT SendExportFinished(std::uint32_t total) { return SendExportProgress(total, total); }

} // namespace corvane::ui
