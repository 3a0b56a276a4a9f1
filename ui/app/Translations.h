// The program's language. English under an English locale; everywhere else,
// the C and POSIX locales (the default) included, the Chinese the program's
// texts are written in. Qt's own texts (standard buttons, file dialogs, the
// replace question) follow in the same language from Qt's translations, so
// no "OK" stands in a Chinese window.
#pragma once

#include <QString>

namespace corvane::ui {

enum class CUiLanguage { Chinese, English };

// The locale messages follow, as POSIX chooses it: LC_ALL, else LC_MESSAGES,
// else LANG ("" when none is set).
QString MessagesLocale();

// "en_US.UTF-8", "en" -> English; "C", "POSIX", "C.UTF-8", "", "zh_CN.GBK"
// and every other language -> Chinese (the program has no other).
CUiLanguage LanguageOfLocale(const QString& posixName);

// Installs the translations of language, replacing those installed before
// (a test switches back and forth). Windows built afterwards show it. False
// when one of them could not be loaded; the texts then stay as written.
bool InstallTranslations(CUiLanguage language);

} // namespace corvane::ui
