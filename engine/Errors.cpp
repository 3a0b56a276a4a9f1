#include "engine/Errors.h"

#include <cctype>
#include <climits>
#include <cstdlib>

namespace corvane {

namespace {
// Index N-1 holds text N. Codes 2, 3, 7, 10, 12, 13 keep their texts although
// nothing raises them, so every number keeps its place.
const char* const kTexts[17] = {
    "Open Device Failed!",
    "Buffer Overflow",
    "Data Has Not Been Init",
    "Can Not Find Eva Raid Infomation!",
    "Does Not Find RaidInfo2",
    "Eva Has Been Demage Serious",
    "No Compatible Device Found",
    "Write Failed!",
    "read failed!",
    "create thread failed!",
    "Seek Failed!",
    "获取vhd设备名称失败！",
    "附加vhd失败！S",
    "Find Second Index Failed!",
    "Invalid UTF-8 sequence.",
    "Error in conversion.",
    "sLa falla!",
};
} // namespace

EvaError::EvaError(int code, std::string reason)
    : m_code(code), m_what(std::to_string(code)), m_reason(std::move(reason))
{
}

void Raise(int code, std::string reason)
{
    throw EvaError(code, std::move(reason));
}

const char* CodeText(int code)
{
    if (code < 1 || code > 17)
        return nullptr;
    return kTexts[code - 1];
}

int MessageCode(const char* message)
{
    if (!message)
        return 0;
    const char* p = message;
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return 0;
    long long v = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            return 0; // does not read as any code
        ++p;
    }
    return static_cast<int>(negative ? -v : v);
}

std::string MessageText(const char* message)
{
    const int n = MessageCode(message);
    if (const char* t = CodeText(n))
        return t;
    // A message the table cannot name (an allocation failure reads as 0):
    // say that something failed and pass on what the system said.
    std::string text = "Unexpected error";
    if (message && *message)
        text += std::string(": ") + message;
    return text;
}

} // namespace corvane
