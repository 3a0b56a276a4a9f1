#include "disk/Text.h"

#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <vector>

namespace JFileHandle {

std::string NarrowCodeset()
{
    const char* cs = nl_langinfo(CODESET);
    std::string s = cs ? cs : "";
    if (s.empty() || s == "ANSI_X3.4-1968" || s == "ASCII" || s == "US-ASCII")
        return "UTF-8";
    return s;
}

namespace {

// Runs one iconv conversion; false when iconv cannot open or convert.
bool Iconv(const char* to, const char* from, const char* in, size_t inLen, std::string& out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::vector<char> buf(inLen * 4 + 16);
    char* inp = const_cast<char*>(in);
    size_t inLeft = inLen;
    char* outp = buf.data();
    size_t outLeft = buf.size();
    size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    bool ok = r != static_cast<size_t>(-1);
    if (ok) {
        // Flush any shift state.
        ok = iconv(cd, nullptr, nullptr, &outp, &outLeft) != static_cast<size_t>(-1);
    }
    iconv_close(cd);
    if (!ok)
        return false;
    out.assign(buf.data(), static_cast<size_t>(outp - buf.data()));
    return true;
}

bool ValidUtf16(const std::u16string& s)
{
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

} // namespace

ConvertResult Utf16ToNarrow(const std::u16string& in, std::string& out)
{
    if (!ValidUtf16(in))
        return ConvertResult::Untranslatable;
    const std::string to = NarrowCodeset();
    if (!Iconv(to.c_str(), "UTF-16LE", reinterpret_cast<const char*>(in.data()),
               in.size() * sizeof(char16_t), out))
        return ConvertResult::Failed;
    return ConvertResult::Ok;
}

std::string Utf8ToNarrow(const std::string& utf8)
{
    const std::string to = NarrowCodeset();
    if (to == "UTF-8" || to == "utf8")
        return utf8;
    std::string out;
    if (!Iconv(to.c_str(), "UTF-8", utf8.data(), utf8.size(), out))
        return utf8;
    return out;
}

std::string NarrowToUtf8(const std::string& narrow)
{
    const std::string from = NarrowCodeset();
    if (from == "UTF-8" || from == "utf8")
        return narrow;
    std::string out;
    if (!Iconv("UTF-8", from.c_str(), narrow.data(), narrow.size(), out))
        return narrow;
    return out;
}

} // namespace JFileHandle
