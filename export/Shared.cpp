#include "export/Shared.h"

#include "disk/Text.h"

namespace corvane {

bool FirstFailure::Record(int code, std::string reason)
{
    if (m_claimed.exchange(1, std::memory_order_acq_rel) != 0)
        return false;
    m_code = code;
    m_reason = std::move(reason);
    return true;
}

void FirstFailure::Reset()
{
    m_code = 0;
    m_reason.clear();
    m_claimed.store(0, std::memory_order_release);
}

const ConsoleTexts& Texts()
{
    static const ConsoleTexts texts{JFileHandle::Utf8ToNarrow("读线程退出"),
                                    JFileHandle::Utf8ToNarrow("写线程退出"),
                                    JFileHandle::Utf8ToNarrow("任务结束！")};
    return texts;
}

void ConsoleLine(FILE* out, const std::string& text)
{
    if (!out)
        return;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

} // namespace corvane
