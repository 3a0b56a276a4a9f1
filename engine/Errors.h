// Error codes. Every engine failure is an EvaError whose what() is only the
// decimal code ("1" .. "17"); callers turn a message back into the code's
// text with MessageText. A reason (which source, which offset, what the
// system said) travels beside the code for the user, never inside what().
#pragma once

#include <exception>
#include <string>

namespace corvane {

enum ErrorCode : int {
    kOpenDeviceFailed = 1,
    kBufferOverflow = 2,
    kDataNotInit = 3,
    kNoRaidInfo = 4,
    kNoRaidInfo2 = 5,
    kSeriousDamage = 6,
    kNoCompatibleDevice = 7,
    kWriteFailed = 8,
    kReadFailed = 9,
    kCreateThreadFailed = 10,
    kSeekFailed = 11,
    kVhdNameFailed = 12,
    kVhdAttachFailed = 13,
    kSecondIndexFailed = 14,
    kInvalidUtf8 = 15,
    kConversionError = 16,
    kLengthMismatch = 17,
};

class EvaError : public std::exception {
public:
    explicit EvaError(int code, std::string reason = {});
    const char* what() const noexcept override { return m_what.c_str(); }
    int code() const noexcept { return m_code; }
    // Human-readable detail (UTF-8), empty when there is none.
    const std::string& reason() const noexcept { return m_reason; }

private:
    int m_code;
    std::string m_what;
    std::string m_reason;
};

[[noreturn]] void Raise(int code, std::string reason = {});

// The message box caption that goes with every text.
inline constexpr const char* kCaption = "Corvane For HP Eva";
// Shown, not raised, when an analysis is asked for with no source.
inline constexpr const char* kNoSourcesText = "Please Add Disks Of Images";

// Text N of the code table (UTF-8), N from 1 to 17; nullptr otherwise.
const char* CodeText(int code);

// Reads a message as the analysis does: a signed decimal number from its
// leading characters (0 when it does not begin with digits).
int MessageCode(const char* message);

// The text to show for an exception message: text N for N in 1..17; for any
// other message a text that still says something useful (UTF-8).
std::string MessageText(const char* message);

} // namespace corvane
