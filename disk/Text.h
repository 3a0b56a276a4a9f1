// Text in the locale's narrow encoding: this platform's counterpart of the
// ANSI/OEM code pages. UTF-8 under a UTF-8 locale, GBK under a GBK locale.
// Under the plain "C" locale (ASCII) UTF-8 is used, so Chinese texts still
// reach a terminal instead of failing to convert.
#pragma once

#include <string>

namespace JFileHandle {

// The iconv name of the narrow encoding in force ("UTF-8", "GBK", ...).
std::string NarrowCodeset();

enum class ConvertResult { Ok, Untranslatable, Failed };

// UTF-16 to the narrow encoding. Untranslatable: the input is not valid
// UTF-16 (an unpaired surrogate). Failed: a character has no narrow form or
// the converter is unavailable.
ConvertResult Utf16ToNarrow(const std::u16string& in, std::string& out);
// UTF-8 to the narrow encoding; on failure the UTF-8 bytes are returned.
std::string Utf8ToNarrow(const std::string& utf8);
// The narrow encoding to UTF-8; on failure the bytes are returned unchanged.
std::string NarrowToUtf8(const std::string& narrow);

} // namespace JFileHandle
