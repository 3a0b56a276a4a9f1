// What the threads of one export share beside their rings: the first
// failure, and the console lines they write.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

namespace corvane {

// The first failure of an export, from whichever thread it came. Later
// failures are dropped: the first is the cause, the rest follow from it.
class FirstFailure {
public:
    // Thread-safe. Returns true when this call's failure was recorded.
    bool Record(int code, std::string reason);
    bool Failed() const { return m_claimed.load(std::memory_order_acquire) != 0; }
    // Read only after every thread that could Record has been joined.
    int Code() const { return m_code; }
    const std::string& Reason() const { return m_reason; }
    // Only while no export thread runs.
    void Reset();

private:
    std::atomic<uint8_t> m_claimed{0};
    int m_code = 0;
    std::string m_reason;
};

// The export's console texts in the locale's encoding, converted once.
struct ConsoleTexts {
    std::string readerExit; // "读线程退出"
    std::string writerExit; // "写线程退出"
    std::string finished;   // "任务结束！"
};
const ConsoleTexts& Texts();

// Writes text and a line end to out, then flushes; nothing when out is null.
void ConsoleLine(FILE* out, const std::string& text);

} // namespace corvane
