// The program's window messages: a synchronous send from any thread that
// never leaves a sender hanging.
#include "ui/common/WindowMessages.h"
#include "ui/controls/TextProgressCtrl.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace corvane::ui;

namespace {

constexpr QEvent::Type kTestMessage = WM_SHOW_LUNS;

// A window that answers kTestMessage with wParam + *lParam, slowly, and
// notes on which thread and how often it ran.
class Receiver : public QWidget {
public:
    std::atomic<int> handled{0};
    std::atomic<bool> handlerDone{false};
    Qt::HANDLE handlerThread = nullptr;
    int delayMs = 0;

protected:
    bool event(QEvent* e) override
    {
        if (auto* msg = CWindowMessage::Receive(e, kTestMessage)) {
            handlerThread = QThread::currentThreadId();
            if (delayMs > 0)
                QThread::msleep(static_cast<unsigned long>(delayMs));
            const auto* value = reinterpret_cast<const int*>(msg->lParam());
            msg->SetResult(LRESULT(msg->wParam()) + *value);
            ++handled;
            handlerDone = true;
            return true;
        }
        return QWidget::event(e);
    }
};

struct SendOutcome {
    LRESULT result = -1;
    bool delivered = true;
    bool handlerHadReturned = false;
};

} // namespace

class MessagesTest : public QObject {
    Q_OBJECT

private slots:
    void sendOnOwnThreadRunsAtOnce();
    void sendFromWorkerWaitsForHandler();
    void emptyHandleReturnsAtOnce();
    void destroyedWindowReleasesWaitingSender();
    void detachReleasesSenderAndDropsMessage();
    void manyWorkersAllDelivered();
    void handleClearsWhenWindowDies();
    void progressMessagesReachTheBar();
};

void MessagesTest::sendOnOwnThreadRunsAtOnce()
{
    Receiver window;
    CWindowHandle handle;
    handle.Attach(&window);
    int value = 5;
    bool delivered = false;
    QCOMPARE(SendWindowMessage(handle, kTestMessage, 10, reinterpret_cast<LPARAM>(&value),
                               &delivered),
             LRESULT(15));
    QVERIFY(delivered);
    QCOMPARE(window.handled.load(), 1);
    // An event of the same number that is no message is not taken for one.
    QEvent plain(kTestMessage);
    QCOMPARE(CWindowMessage::Receive(&plain, kTestMessage), nullptr);
}

void MessagesTest::sendFromWorkerWaitsForHandler()
{
    Receiver window;
    window.delayMs = 50;
    CWindowHandle handle;
    handle.Attach(&window);

    SendOutcome out;
    std::atomic<bool> back{false};
    std::thread worker([&] {
        int value = 32; // on the sender's stack, read by the handler
        out.result = SendWindowMessage(handle, kTestMessage, 10,
                                       reinterpret_cast<LPARAM>(&value), &out.delivered);
        out.handlerHadReturned = window.handlerDone.load();
        back = true;
    });
    // The window's thread keeps its loop running while the worker waits.
    QTRY_VERIFY_WITH_TIMEOUT(back.load(), 5000);
    worker.join();
    QCOMPARE(out.result, LRESULT(42));
    QVERIFY(out.delivered);
    QVERIFY(out.handlerHadReturned);
    QCOMPARE(window.handlerThread, QThread::currentThreadId());
}

void MessagesTest::emptyHandleReturnsAtOnce()
{
    CWindowHandle handle;
    QVERIFY(!handle.IsWindow());
    SendOutcome out;
    std::thread worker([&] {
        int value = 1;
        out.result =
            SendWindowMessage(handle, kTestMessage, 1, reinterpret_cast<LPARAM>(&value),
                              &out.delivered);
    });
    // Joined without running the event loop: nothing to wait for.
    worker.join();
    QCOMPARE(out.result, LRESULT(0));
    QVERIFY(!out.delivered);
}

void MessagesTest::destroyedWindowReleasesWaitingSender()
{
    auto* window = new Receiver;
    CWindowHandle handle;
    handle.Attach(window);
    SendOutcome out;
    std::atomic<bool> back{false};
    std::thread worker([&] {
        int value = 1;
        out.result = SendWindowMessage(handle, kTestMessage, 1,
                                       reinterpret_cast<LPARAM>(&value), &out.delivered);
        back = true;
    });
    // No event loop runs: the worker is posted and waiting (or finds the
    // handle already empty). Destroying the window must let it go.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool waitedForWindow = !back.load();
    delete window;
    worker.join(); // hangs here if the sender were not released
    QVERIFY(waitedForWindow);
    QCOMPARE(out.result, LRESULT(0));
    QVERIFY(!out.delivered);
    QVERIFY(!handle.IsWindow());
}

void MessagesTest::detachReleasesSenderAndDropsMessage()
{
    Receiver window;
    CWindowHandle handle;
    handle.Attach(&window);
    SendOutcome out;
    std::thread worker([&] {
        int value = 1;
        out.result = SendWindowMessage(handle, kTestMessage, 1,
                                       reinterpret_cast<LPARAM>(&value), &out.delivered);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The window's thread wants to wait for the worker: it detaches first.
    handle.Detach();
    worker.join();
    QVERIFY(!out.delivered);
    // The message still queued must not reach the handler: its parameters
    // lived on the worker's stack, which is gone.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(window.handled.load(), 0);
}

void MessagesTest::manyWorkersAllDelivered()
{
    Receiver window;
    CWindowHandle handle;
    handle.Attach(&window);
    constexpr int kWorkers = 4;
    constexpr int kEach = 50;
    std::atomic<int> wrong{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                int value = w * 1000 + i;
                const LRESULT r = SendWindowMessage(handle, kTestMessage, 7,
                                                    reinterpret_cast<LPARAM>(&value));
                if (r != LRESULT(7 + w * 1000 + i))
                    ++wrong;
            }
            ++finished;
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), kWorkers, 10000);
    for (auto& t : workers)
        t.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(window.handled.load(), kWorkers * kEach);
}

void MessagesTest::handleClearsWhenWindowDies()
{
    CWindowHandle handle;
    {
        Receiver window;
        handle.Attach(&window);
        QVERIFY(handle.IsWindow());
        QCOMPARE(handle.Window(), &window);
    }
    QVERIFY(!handle.IsWindow());
    int value = 0;
    QCOMPARE(SendWindowMessage(handle, kTestMessage, 3, reinterpret_cast<LPARAM>(&value)),
             LRESULT(0));
    // Attaching another window replaces the first.
    Receiver a, b;
    handle.Attach(&a);
    handle.Attach(&b);
    QCOMPARE(handle.Window(), &b);
    handle.DetachIf(&a);
    QCOMPARE(handle.Window(), &b);
}

void MessagesTest::progressMessagesReachTheBar()
{
    // The bar takes its own message numbers as window messages too.
    CTextProgressCtrl bar;
    CWindowHandle handle;
    handle.Attach(&bar);
    LRESULT old = -1;
    int seenPos = -1;
    std::atomic<bool> back{false};
    std::thread worker([&] {
        SendWindowMessage(handle, QEvent::Type(PBM_SETRANGE32), 0, 200);
        old = SendWindowMessage(handle, QEvent::Type(PBM_SETPOS), 150, 0);
        seenPos = int(SendWindowMessage(handle, QEvent::Type(PBM_GETPOS), 0, 0));
        back = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(back.load(), 5000);
    worker.join();
    QCOMPARE(old, LRESULT(0));
    QCOMPARE(seenPos, 150);
    QCOMPARE(bar.GetPos(), 150);
}

QTEST_MAIN(MessagesTest)
#include "ui_messages_test.moc"
